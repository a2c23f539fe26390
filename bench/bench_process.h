// The benchmarks' shared helpers: a throw-away installation whose servers
// are the benchmark itself, a run of a command as a child of this (small)
// process, what /proc says about a process, the modes in which a benchmark
// loads a ServerConfig.xml as its own measured child, a monotonic clock, and
// a median and extremes.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "config/XMLConfig.h"
#include "foundation/Exceptions.h"

namespace bench {

// CLOCK_MONOTONIC in ns: the clock every process on the machine shares.
inline int64_t nowNs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

inline double ms(int64_t ns)
{
    return double(ns) / 1e6;
}

inline double ms(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// True when this program was started as <installation>/perl/bin/perl: as a
// server of the benchmark's installation.
inline bool startedAsServer(const char* argv0)
{
    const char* name = std::strrchr(argv0, '/');
    return name != nullptr && std::strcmp(name, "/perl") == 0;
}

// The value after the word -port in argv; 0 when there is none.
inline int portArgument(int argc, char** argv)
{
    int port = 0;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "-port") == 0)
            port = std::atoi(argv[i + 1]);
    return port;
}

// Raises the soft limit of open files to the hard one: every server holds its
// listening socket and the daemon its probes; this process needs few, but its
// children inherit the limit.
inline void raiseFileLimit()
{
    struct rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
}

inline std::string selfPath()
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        std::perror("readlink /proc/self/exe");
        std::exit(2);
    }
    self[n] = '\0';
    return self;
}

inline void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// A fresh installation in a new directory /tmp/<prefix>XXXXXX whose bin/perl
// is this program, with `servers` servers on 127.0.0.1 from firstPort on.
inline std::string makeInstallation(const char* prefix, unsigned firstPort, unsigned servers)
{
    std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    const std::string dir = tmpl;
    for (const char* sub : {"/perl", "/perl/bin", "/cart", "/config", "/log"})
        mkdir((dir + sub).c_str(), 0755);
    if (symlink(selfPath().c_str(), (dir + "/perl/bin/perl").c_str()) != 0) {
        std::perror("symlink");
        std::exit(2);
    }
    writeFile(dir + "/config/WebInterface.conf", "[GLOBAL]\n");
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\"?>\n<config>\n<requestrouters>"
        << "<requestrouter name=\"r\" host=\"127.0.0.1\" port=\"1\" monitor_port=\"2\"/>"
        << "</requestrouters>\n<pools><pool name=\"p\"><requestrouters><requestrouter>r"
        << "</requestrouter></requestrouters><appservers>"
        << "<appserver host=\"127.0.0.1\" ports=\"" << firstPort << "-" << firstPort + servers - 1
        << "\"/></appservers></pool></pools>\n"
        << "<cacheservers><server host=\"127.0.0.1\" port=\"3\"/></cacheservers>\n</config>\n";
    writeFile(dir + "/config/ServerConfig.xml", xml.str());
    return dir;
}

// Points the service's environment at the installation in dir.
inline void useInstallation(const std::string& dir)
{
    setenv("TARVEL", dir.c_str(), 1);
    setenv("TARVEL_PERL", (dir + "/perl").c_str(), 1);
    setenv("TARVEL_CARTRIDGES", (dir + "/cart").c_str(), 1);
    setenv("TARVEL_CONFIG", (dir + "/config").c_str(), 1);
    setenv("TARVEL_LOG", (dir + "/log").c_str(), 1);
}

// Runs argv to its end; returns its wait status and its peak resident set in
// KiB, and its whole usage in *usage (may be null). The caller must be
// small: a child starts with its parent's pages, and the peak survives the
// exec. With `quiet` its standard output goes to /dev/null.
inline int runMeasured(const std::vector<std::string>& argv, long* peakKb,
                       struct rusage* usage = nullptr, bool quiet = false)
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) {
        if (quiet)
            dup2(open("/dev/null", O_WRONLY), 1);
        execv(args[0], args.data());
        std::_Exit(127);
    }
    int status = 0;
    struct rusage own;
    while (wait4(pid, &status, 0, &own) < 0) {
    }
    *peakKb = own.ru_maxrss;
    if (usage != nullptr)
        *usage = own;
    return status;
}

// The number of mappings of process pid (its lines in /proc/<pid>/maps).
inline int mappingCount(pid_t pid)
{
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    int n = 0;
    for (std::string line; std::getline(maps, line);)
        ++n;
    return n;
}

// A "Name:   123 kB" line of /proc/<pid>/<file> (status, or smaps_rollup
// for Pss), in KiB; -1 when absent.
inline long procStatusKb(pid_t pid, const char* name, const char* file = "status")
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    const std::string prefix = std::string(name) + ":";
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::atol(line.c_str() + prefix.size());
    return -1;
}

// The fields of /proc/<pid>/stat after the command name: the state (the
// third field) first; none when the process is gone.
inline std::istringstream procStatFields(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t name = stat.rfind(')');
    return std::istringstream(name == std::string::npos ? std::string() : stat.substr(name + 1));
}

// The parent of a process that runs; 0 when it is gone or a zombie.
inline pid_t parentOf(pid_t pid)
{
    std::istringstream fields = procStatFields(pid);
    std::string state;
    pid_t parent = 0;
    fields >> state >> parent;
    return state == "Z" ? 0 : parent;
}

// Loads the ServerConfig.xml at path and returns check(model); 1 when the
// load fails.
template <typename Check>
int loadConfigOnce(const char* path, Check check)
{
    try {
        XMLConfig::CConfigFile file;
        file.loadFile(path);
        return check(file);
    } catch (const CException& e) {
        std::fprintf(stderr, "load failed: %s\n", e.what());
        return 1;
    }
}

// The modes in which a benchmark runs as its own measured child:
// "--load FILE" loads FILE once (see loadConfigOnce), "--idle" ends at once.
// True, with the exit status in *status, when argv asks for one of them.
template <typename Check>
bool runChildMode(int argc, char** argv, Check check, int* status)
{
    if (argc == 3 && std::strcmp(argv[1], "--load") == 0) {
        *status = loadConfigOnce(argv[2], check);
        return true;
    }
    if (argc == 2 && std::strcmp(argv[1], "--idle") == 0) {
        *status = 0;
        return true;
    }
    return false;
}

// The middle value (the upper one of an even count); ifEmpty when there is none.
inline double median(std::vector<double> v, double ifEmpty)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? ifEmpty : v[v.size() / 2];
}

inline double maximum(const std::vector<double>& v, double ifEmpty)
{
    return v.empty() ? ifEmpty : *std::max_element(v.begin(), v.end());
}

inline double minimum(const std::vector<double>& v, double ifEmpty)
{
    return v.empty() ? ifEmpty : *std::min_element(v.begin(), v.end());
}

}  // namespace bench
