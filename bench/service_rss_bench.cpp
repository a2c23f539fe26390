// Resident memory of the running service after start-up, for a landscape of
// many application servers (two of them on this host) against a landscape
// of one server.
//
//   service_rss_bench [servers [tarvelsvc]]   (default 50000, the one built here)
//
// Landscapes, every other server on a host of its own:
//   one server        a single server on 127.0.0.1
//   single ports      `servers` servers with ports="9000", two on 127.0.0.1
//   50-port ranges    the same with ports="9000-9049" on the other hosts
// The real tarvelsvc runs with -console in a throw-away installation whose
// bin/perl is a shell script that sleeps; once its servers have started, its
// VmRSS is read. Bound: each large landscape within 2 MiB of one server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_process.h"

namespace {

typedef std::chrono::steady_clock Clock;

unsigned short freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("finding a free port");
        std::exit(2);
    }
    close(fd);
    return ntohs(address.sin_port);
}

int countStarted(const std::string& log)
{
    std::ifstream in(log);
    std::string line;
    int started = 0;
    while (std::getline(in, line))
        started += line.find("Process::start(): started") != std::string::npos;
    return started;
}

struct Landscape {
    const char* name;
    int others;         // servers on other hosts
    const char* ports;  // of each of them
};

// Installs the landscape, runs the service until its local servers run,
// returns its VmRSS in KiB (-1 on failure) and the file size.
long residentWith(const char* program, const Landscape& landscape, long* fileBytes)
{
    char dir[] = "/tmp/service-rss-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    const std::string base = dir;
    for (const char* sub : {"/perl", "/perl/bin", "/cart", "/config", "/log"})
        mkdir((base + sub).c_str(), 0755);
    bench::writeFile(base + "/perl/bin/perl", "#!/bin/sh\nexec sleep 300\n");
    chmod((base + "/perl/bin/perl").c_str(), 0755);
    bench::writeFile(base + "/config/WebInterface.conf", "[GLOBAL]\n");

    const int local = landscape.others > 0 ? 2 : 1;
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\"?>\n<config>\n<requestrouters>\n"
           "  <requestrouter name=\"rr\" host=\"10.255.0.1\" port=\"8000\"/>\n</requestrouters>\n"
           "<pools>\n<pool name=\"pool\">\n<requestrouters><requestrouter>rr</requestrouter>"
           "</requestrouters>\n<appservers>\n";
    for (int n = 0; n < local; ++n)
        xml << "  <appserver host=\"127.0.0.1\" ports=\"" << freePort() << "\"/>\n";
    for (int n = 0; n < landscape.others; ++n)
        xml << "  <appserver host=\"10." << (n >> 16 & 255) << "." << (n >> 8 & 255) << "."
            << (n & 255) << "\" ports=\"" << landscape.ports << "\"/>\n";
    xml << "</appservers>\n</pool>\n</pools>\n<cacheservers>\n"
           "  <server host=\"10.255.0.2\" port=\"7000\"/>\n</cacheservers>\n</config>\n";
    bench::writeFile(base + "/config/ServerConfig.xml", xml.str());
    *fileBytes = static_cast<long>(xml.str().size());

    const std::string log = base + "/log/Service.log";
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) {
        bench::useInstallation(base);
        setenv("TARVEL_IPLIST", "127.0.0.1", 1);
        unsetenv("TARVEL_IPBINDING");
        unsetenv("TARVEL_ENABLE_IPv6");
        execl(program, program, "-console", static_cast<char*>(nullptr));
        std::_Exit(127);
    }

    long resident = -1;
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (Clock::now() < deadline && countStarted(log) < local &&
           waitpid(pid, nullptr, WNOHANG) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (countStarted(log) >= local) {
        // Let the loop settle into its wait before reading.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        resident = bench::procStatusKb(pid, "VmRSS");
    } else {
        std::fprintf(stderr, "%s: the servers did not start; see %s\n", landscape.name,
                     log.c_str());
    }

    kill(pid, SIGTERM);
    const auto stopBy = Clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > stopBy) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (resident >= 0)
        std::system(("rm -rf '" + base + "'").c_str());
    return resident;
}

}  // namespace

int main(int argc, char** argv)
{
    const int servers = argc > 1 ? std::atoi(argv[1]) : 50000;
    const char* program = argc > 2 ? argv[2] : TARVELSVC_PATH;
    const Landscape landscapes[] = {
        {"one server", 0, ""},
        {"single ports", servers - 2, "9000"},
        {"50-port ranges", servers - 2, "9000-9049"},
    };
    std::printf("VmRSS of tarvelsvc -console with its servers running\n");
    std::printf("  %-16s %9s %10s %10s %12s\n", "landscape", "servers", "file kB", "VmRSS KiB",
                "vs one KiB");
    int result = 0;
    long one = -1;
    for (const Landscape& landscape : landscapes) {
        long fileBytes = 0;
        const long resident = residentWith(program, landscape, &fileBytes);
        if (one < 0)
            one = resident;
        std::printf("  %-16s %9d %10.1f %10ld %12ld\n", landscape.name,
                    landscape.others + (landscape.others > 0 ? 2 : 1), fileBytes / 1e3, resident,
                    resident - one);
        if (resident < 0 || one < 0 || resident - one > 2048)
            result = 1;
    }
    std::printf("%s\n", result == 0 ? "within 2 MiB of one server" : "OUT OF BOUNDS");
    return result;
}
