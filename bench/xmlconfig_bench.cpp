// Loading a large ServerConfig.xml (parse, validation, model, cross-checks)
// against a bare parse of the same file by xmllint --noout.
//
//   xmlconfig_bench [runs]            generate, measure, print the figures
//   xmlconfig_bench --load FILE       load once (used to measure a process)
//   xmlconfig_bench --spawn CMD...    run CMD, print its status, peak RSS, cpu, wall
//
// Both sides are also measured as whole processes (start-up included), so
// that time and peak memory compare like with like.
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_process.h"
#include "config/XMLConfig.h"

namespace {

const int kPools = 100;
const int kServersPerPool = 100;
const int kRouters = 20;
const int kCacheServers = 100;
const int kHosts = 100;

// 10,000 application servers on 100 hosts, two ports each, spread over 100
// pools with two routers and extension limits apiece; 100 cache servers.
std::string generateLandscape()
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- generated landscape -->\n<config>\n";
    xml += "  <requestrouters max_cache_items=\"2000\">\n";
    for (int r = 0; r < kRouters; ++r)
        xml += "    <requestrouter name=\"rr-" + std::to_string(r) + "\" host=\"10.0.0." +
               std::to_string(r) + "\" port=\"8000\" monitor_port=\"8001\" mc_port=\"8002\"/>\n";
    xml += "  </requestrouters>\n  <pools>\n";
    for (int p = 0; p < kPools; ++p) {
        xml += "    <pool name=\"pool-" + std::to_string(p) + "\">\n";
        xml += "      <limits servers_per_site=\"10\" servers_per_client=\"3\">\n"
               "        <servers_per_extension extension=\".pl\">4</servers_per_extension>\n"
               "        <servers_per_extension extension=\".cgi\">2</servers_per_extension>\n"
               "      </limits>\n";
        xml += "      <requestrouters>\n        <requestrouter>rr-" + std::to_string(p % kRouters) +
               "</requestrouter>\n        <requestrouter>rr-" + std::to_string((p + 1) % kRouters) +
               "</requestrouter>\n      </requestrouters>\n      <appservers>\n";
        const int port = 9000 + 2 * p;
        for (int s = 0; s < kServersPerPool; ++s) {
            const std::string ports = s % 2 == 0
                                          ? std::to_string(port) + "-" + std::to_string(port + 1)
                                          : std::to_string(port) + "," + std::to_string(port + 1);
            xml += "        <appserver host=\"10.1.0." + std::to_string(s % kHosts) + "\" ports=\"" +
                   ports + "\" priority=\"" + std::to_string(s % 5) + "\" bind=\"true\"/>\n";
        }
        xml += "      </appservers>\n    </pool>\n";
    }
    xml += "  </pools>\n  <cacheservers>\n";
    for (int c = 0; c < kCacheServers; ++c)
        xml += "    <server host=\"10.2.0." + std::to_string(c) + "\" port=\"7000\" enable_cache=\"" +
               (c % 2 ? "yes" : "no") + "\"/>\n";
    xml += "  </cacheservers>\n</config>\n";
    return xml;
}

double seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double cpuSeconds(const struct rusage& usage)
{
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

double processCpuNow()
{
    struct timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

struct ProcessRun {
    double wall = 0;     // seconds
    double cpu = 0;      // user + system seconds
    long maxRssKb = 0;   // peak resident set of the process
    int status = -1;
};

// Runs argv in a child and measures it. Must be called from a small
// process: a child's peak RSS includes what it shared with its parent
// before exec, so the benchmark hands this job to a fresh copy of itself
// (--spawn) rather than forking its own large image.
ProcessRun measureChild(char** argv)
{
    ProcessRun run;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) {
        execvp(argv[0], argv);
        std::_Exit(127);
    }
    struct rusage usage;
    int status = 0;
    while (wait4(pid, &status, 0, &usage) < 0) {
    }
    run.wall = seconds(std::chrono::steady_clock::now() - start);
    run.maxRssKb = usage.ru_maxrss;
    run.cpu = cpuSeconds(usage);
    run.status = status;
    return run;
}

int spawnAndReport(char** argv)
{
    const ProcessRun run = measureChild(argv);
    std::printf("%d %ld %.9f %.9f\n", run.status, run.maxRssKb, run.cpu, run.wall);
    return 0;
}

ProcessRun runProcess(const std::vector<std::string>& command)
{
    std::vector<std::string> argv = {bench::selfPath(), "--spawn"};
    argv.insert(argv.end(), command.begin(), command.end());
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        std::exit(2);
    }
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execv(args[0], args.data());
        std::_Exit(127);
    }
    close(fds[1]);
    std::string out;
    char buffer[256];
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<std::size_t>(got));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);

    ProcessRun run;
    if (std::sscanf(out.c_str(), "%d %ld %lf %lf", &run.status, &run.maxRssKb, &run.cpu,
                    &run.wall) != 4)
        run.status = -1;
    return run;
}

// After a load: 0 when the model holds every port of the landscape.
int checkPorts(XMLConfig::CConfigFile& file)
{
    std::size_t ports = 0;
    StringVector hosts;
    for (int h = 0; h < kHosts; ++h)
        hosts.push_back("10.1.0." + std::to_string(h));
    file.getAppServers(hosts, [&](const std::string&, unsigned short, bool) { ++ports; });
    return ports == static_cast<std::size_t>(kPools * kServersPerPool * 2) ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv)
{
    int childStatus = 0;
    if (bench::runChildMode(argc, argv, checkPorts, &childStatus))
        return childStatus;
    if (argc > 2 && std::strcmp(argv[1], "--spawn") == 0)
        return spawnAndReport(argv + 2);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;

    char dir[] = "/tmp/xmlconfig-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string path = std::string(dir) + "/ServerConfig.xml";
    const std::string xml = generateLandscape();
    std::ofstream(path, std::ios::binary) << xml;
    // A trivial document: what xmllint costs without the file.
    const std::string tiny = std::string(dir) + "/tiny.xml";
    std::ofstream(tiny, std::ios::binary) << "<config/>\n";
    std::printf("landscape: %d application servers in %d pools, %d routers, %d cache servers, "
                "%zu bytes\n",
                kPools * kServersPerPool, kPools, kRouters, kCacheServers, xml.size());

    const std::string self = bench::selfPath();

    // Interleaved, so that both sides see the same machine load.
    std::vector<double> inProcess, inProcessCpu, loadProcess, lintProcess, loadCpu, lintCpu;
    std::vector<double> idleCpu, lintIdleCpu;
    long loadRss = 0, lintRss = 0, idleRss = 0;
    for (int i = 0; i < runs; ++i) {
        const double cpuStart = processCpuNow();
        const auto start = std::chrono::steady_clock::now();
        {
            XMLConfig::CConfigFile file;
            file.loadFile(path.c_str());
        }
        inProcess.push_back(seconds(std::chrono::steady_clock::now() - start));
        inProcessCpu.push_back(processCpuNow() - cpuStart);

        const ProcessRun load = runProcess({self, "--load", path});
        const ProcessRun lint = runProcess({"xmllint", "--noout", path});
        if (load.status != 0 || lint.status != 0) {
            std::fprintf(stderr, "run failed: load status %d, xmllint status %d\n", load.status,
                         lint.status);
            return 1;
        }
        loadProcess.push_back(load.wall);
        lintProcess.push_back(lint.wall);
        loadCpu.push_back(load.cpu);
        lintCpu.push_back(lint.cpu);
        idleCpu.push_back(runProcess({self, "--idle"}).cpu);
        lintIdleCpu.push_back(runProcess({"xmllint", "--noout", tiny}).cpu);
        loadRss = std::max(loadRss, load.maxRssKb);
        lintRss = std::max(lintRss, lint.maxRssKb);
    }
    idleRss = runProcess({self, "--idle"}).maxRssKb;

    const double inMs = bench::median(inProcess, 0) * 1000;
    const double loadMs = bench::median(loadProcess, 0) * 1000;
    const double lintMs = bench::median(lintProcess, 0) * 1000;
    const double inCpuMs = bench::median(inProcessCpu, 0) * 1000;
    const double loadCpuMs = bench::median(loadCpu, 0) * 1000;
    const double lintCpuMs = bench::median(lintCpu, 0) * 1000;
    std::printf("median of %d runs (wall / cpu = user + system):\n", runs);
    std::printf("  loadFile in process          %8.2f ms / %8.2f ms (load and release of the model)\n",
                inMs, inCpuMs);
    std::printf("  loadFile as a process        %8.2f ms / %8.2f ms   peak RSS %6ld KB (idle: %ld KB)\n",
                loadMs, loadCpuMs, loadRss, idleRss);
    std::printf("  xmllint --noout as a process %8.2f ms / %8.2f ms   peak RSS %6ld KB\n", lintMs,
                lintCpuMs, lintRss);
    std::printf("ratio load/xmllint, process to process: wall %.2f, cpu %.2f\n", loadMs / lintMs,
                loadCpuMs / lintCpuMs);
    std::printf("ratio load/xmllint, in-process load to xmllint process: wall %.2f, cpu %.2f\n",
                inMs / lintMs, inCpuMs / lintCpuMs);
    // Start-up taken out on both sides: the load against the bare parse.
    const double loadNet = loadCpuMs - bench::median(idleCpu, 0) * 1000;
    const double lintNet = lintCpuMs - bench::median(lintIdleCpu, 0) * 1000;
    std::printf("net of process start-up (cpu): load %.2f ms, xmllint parse %.2f ms, ratio %.2f\n",
                loadNet, lintNet, loadNet / lintNet);
    struct rusage self_usage;
    getrusage(RUSAGE_SELF, &self_usage);
    std::printf("peak RSS of this benchmark process: %ld KB\n", self_usage.ru_maxrss);

    unlink(path.c_str());
    unlink(tiny.c_str());
    rmdir(dir);
    return loadCpuMs <= lintCpuMs ? 0 : 1;
}
