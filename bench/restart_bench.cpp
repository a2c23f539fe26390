// Restart latency and the cost of supervising many servers.
//
//   restart_bench [kills] [servers] [idle-seconds] [runs]  (defaults 40 50 30 3)
//
// 0. The real daemon against a bare loop in C that links libc only: the
//    installed tarvelsvc -console and `libc_loop loop` each supervise 20
//    servers (the libc-only server, see bench_baseline.h); from SIGKILL of
//    one to its replacement's own first act, median per run, `runs` runs,
//    each pairing the two, and the ratio daemon / loop per run.
// 1. The manager loop in a fork of this program: restart latency from SIGKILL of a running server to the moment its
//    replacement runs, median over `kills`, measured for the supervision loop
//    of the service (startServers and waitForEvents, as the service runs
//    them) with 20 servers each killed once per round (a server killed five
//    times would trip the throttle) and, side by side, for a bare loop of
//    fork, execv and blocking waitpid restarting the same program: the
//    machine's own limit.
// 2. With `servers` servers on 127.0.0.1: time until all run, the
//    supervisor's resident memory, and its CPU time and voluntary context
//    switches (wake-ups) while idle.
//
// The server is this program itself, started as <installation>/perl/bin/perl
// (a symlink to it): it writes its pid to the inherited pipe on fd 3 and
// waits for a signal. The supervisor runs in a child process, as the daemon
// would; its servers end with it through their death signal.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "bench_baseline.h"
#include "bench_supervisor.h"

namespace {

using bench::kReadyFd;
using bench::ms;
using bench::Ready;

typedef std::chrono::steady_clock Clock;

// The bare loop: fork, execv, blocking waitpid, again.
pid_t StartBareLoop(const std::string& dir)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    std::string perl = dir + "/perl/bin/perl";
    std::string script = dir + "/cart/DE_TARVEL/WebInterface/Scripts/appsrv.pl";
    for (;;) {
        pid_t child = fork();
        if (child == 0) {
            char* argv[] = {const_cast<char*>(perl.c_str()), const_cast<char*>(script.c_str()),
                            const_cast<char*>("-port"), const_cast<char*>("1"), nullptr};
            execv(argv[0], argv);
            _exit(1);
        }
        if (child < 0)
            _exit(1);
        waitpid(child, nullptr, 0);
    }
}

// Kills the running servers in turn, `kills` times, and returns the
// latencies in ms. Quick failures count towards the restart throttle (five
// in a row hold a server back for 120 seconds), so the kills are spread over
// all `servers` servers. `last` is left at the servers running at the end.
std::vector<double> MeasureRestarts(int readFd, int kills, int servers, std::vector<pid_t>& last)
{
    std::vector<double> latencies;
    std::vector<Ready> running(servers);
    for (auto& r : running)
        if (!bench::readReady(readFd, &r))
            return latencies;
    for (int i = 0; i < kills; ++i) {
        // Let the supervisor settle into its sleep, at varying phases.
        usleep(20000 + (i % 7) * 11000);
        const double latency = bench::timeRestart(readFd, running[i % servers]);
        if (latency < 0)
            break;
        latencies.push_back(latency);
    }
    last.clear();
    for (const auto& r : running)
        last.push_back(r.pid);
    return latencies;
}

// utime + stime in seconds.
double CpuSeconds(pid_t pid)
{
    std::istringstream fields = bench::procStatFields(pid);
    std::string f;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14)
            utime = std::stoul(f);
        if (i == 15)
            stime = std::stoul(f);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// Section 0; see the top of this file.
void DaemonAgainstLibcLoop(int runs)
{
    const unsigned kServers = 20;
    bench::Installation inst = bench::installBaseline("tarvel-restart-", 24000, kServers);
    std::printf("real tarvelsvc against a libc-only fork/exec/waitpid loop, %u servers, load %s:\n",
                kServers, bench::loadAverage().c_str());
    std::vector<double> ratios;
    for (int run = 1; run <= runs; ++run) {
        const auto d = bench::runRound(inst, kServers, true, int(kServers));
        const auto l = bench::runRound(inst, kServers, false, int(kServers));
        std::printf("  run %d (%zu / %zu kills):\n", run, d.restartMs.size(), l.restartMs.size());
        ratios.push_back(bench::reportPair("restart, kill to first act:",
                                           bench::median(d.restartMs, -1),
                                           bench::median(l.restartMs, -1)));
    }
    std::printf("  ratio daemon / libc loop, median of %d runs: %.2f (goal <= 1.10), load %s\n", runs,
                bench::median(ratios, -1), bench::loadAverage().c_str());
    std::filesystem::remove_all(inst.dir);
    // Both at once, kills alternating: the figure least moved by drift.
    const auto paired = bench::pairedRestarts(kServers, int(kServers) * runs);
    std::printf("  paired, both running, kills alternating (%zu / %zu):\n", paired.first.size(),
                paired.second.size());
    bench::reportPair("restart, kill to first act:", bench::median(paired.first, -1),
                      bench::median(paired.second, -1));
}

void Stop(pid_t pid)
{
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv)
{
    // Started as a server: report, then wait for the end.
    if (bench::startedAsServer(argv[0]))
        return bench::runReadyServer(argc, argv);

    int kills = argc > 1 ? atoi(argv[1]) : 40;
    unsigned servers = argc > 2 ? unsigned(atoi(argv[2])) : 50;
    int idleSeconds = argc > 3 ? atoi(argv[3]) : 30;
    int runs = argc > 4 ? atoi(argv[4]) : 3;
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    bench::raiseFileLimit();
    DaemonAgainstLibcLoop(runs);
    if (getenv("BENCH_DAEMON_ONLY") != nullptr)
        return 0;

    // 1. Restart latency, both loops in the same run, alternating.
    const int kLatencyServers = 20;
    std::string dir = bench::makeInstallation("tarvel-bench-", 20000, kLatencyServers);
    std::string bareDir = bench::makeInstallation("tarvel-bench-", 20000, 1);
    std::vector<std::string> dirs{dir, bareDir};
    std::vector<double> supervised, bare;
    for (int round = 0; round < 2; ++round) {
        int readFd = bench::pipeOnReadyFd();
        pid_t sup = bench::startSupervisor(dir);
        close(kReadyFd);
        std::vector<pid_t> last;
        auto s = MeasureRestarts(readFd, std::min(kills / 2, kLatencyServers), kLatencyServers,
                                 last);
        Stop(sup);
        close(readFd);
        supervised.insert(supervised.end(), s.begin(), s.end());

        readFd = bench::pipeOnReadyFd();
        pid_t loop = StartBareLoop(bareDir);
        close(kReadyFd);
        auto b = MeasureRestarts(readFd, std::min(kills / 2, kLatencyServers), 1, last);
        Stop(loop);
        for (pid_t pid : last)
            kill(pid, SIGKILL);  // the bare loop's server has no death signal
        close(readFd);
        bare.insert(bare.end(), b.begin(), b.end());
    }
    printf("manager loop in a fork of this program (%d mappings) against a bare loop forked from\n"
           "this program, restart latency, SIGKILL to running replacement (%zu / %zu kills):\n",
           bench::mappingCount(getpid()),
           supervised.size(), bare.size());
    printf("  supervisor loop: median %.3f ms (min %.3f, max %.3f)\n",
           bench::median(supervised, 0),
           *std::min_element(supervised.begin(), supervised.end()),
           *std::max_element(supervised.begin(), supervised.end()));
    printf("  bare fork/execv/waitpid loop: median %.3f ms (min %.3f, max %.3f)\n",
           bench::median(bare, 0),
           *std::min_element(bare.begin(), bare.end()),
           *std::max_element(bare.begin(), bare.end()));
    printf("  ratio: %.2f\n", bench::median(supervised, 0) / bench::median(bare, 0));

    // 2. Many servers.
    dir = bench::makeInstallation("tarvel-bench-", 20001, servers);
    dirs.push_back(dir);
    int readFd = bench::pipeOnReadyFd();
    auto t0 = Clock::now();
    pid_t sup = bench::startSupervisor(dir);
    close(kReadyFd);
    unsigned running = 0;
    Ready ready;
    while (running < servers && bench::readReady(readFd, &ready))
        ++running;
    double allRunMs = ms(Clock::now() - t0);
    printf("%u servers: all %u running after %.1f ms\n", servers, running, allRunMs);
    printf("  supervisor memory: VmRSS %ld kB, VmHWM %ld kB\n",
           bench::procStatusKb(sup, "VmRSS"), bench::procStatusKb(sup, "VmHWM"));
    // Settled: the last start's wake-ups are over.
    sleep(1);
    double cpu0 = CpuSeconds(sup);
    long switches0 = bench::procStatusKb(sup, "voluntary_ctxt_switches");
    auto idle0 = Clock::now();
    sleep(idleSeconds);
    double cpu = CpuSeconds(sup) - cpu0;
    long switches = bench::procStatusKb(sup, "voluntary_ctxt_switches") - switches0;
    double wall = ms(Clock::now() - idle0) / 1000;
    printf("  supervisor CPU over %.1f idle seconds: %.0f ms (%.3f%% of one core)\n", wall,
           cpu * 1000, 100 * cpu / wall);
    printf("  supervisor voluntary context switches while idle: %ld\n", switches);
    Stop(sup);
    close(readFd);
    for (const auto& d : dirs)
        std::filesystem::remove_all(d);
    return 0;
}
