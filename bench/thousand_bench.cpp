// A thousand servers from one ServerConfig.xml, against a bare loop that
// forks and execs the same program as often:
//
//   thousand_bench [servers] [kills] [rounds]     (defaults 1000 40 3)
//   thousand_bench --levers [servers] [rounds]    (defaults 1000 3)
//
// 0. The real daemon against a bare loop in C that links libc only: the
//    installed tarvelsvc -console and `libc_loop loop` each start `servers`
//    libc-only servers (see bench_baseline.h), in `rounds` runs that pair the
//    two. Measured by the servers' own first acts: from the launch of the
//    supervisor to the 50th and to the last server's start, and from SIGKILL
//    of a server, all running, to its replacement's start. Ratios daemon /
//    loop per run; the daemon's PSS once all run (`thousand_bench 50` for
//    the figure with 50 servers), and the CPU of a `tarvelsvc -servers`.
// Then the old figures, of the manager loop in a fork of this program:
// 1. Launch: from the fork of the supervisor (which reads the configuration
//    and builds its table first) to the moment the last server runs; the
//    bare loop forks and execs `servers` children in a row.
// 2. Restart latency with all of them running: from SIGKILL of one server to
//    the moment its replacement runs; the bare loop waits with a blocking
//    waitpid for any child and starts the same program again.
// Each round runs both, in turn; the figures are the medians over the
// rounds (launch) and over all kills (restart), and their ratios.
// 3. --levers: what a start costs beyond the bare loop's, one difference at
//    a time (see RunLevers).
//
// The server is this program itself, started as <installation>/perl/bin/perl
// (a symlink to it): it writes its pid and port to the inherited pipe on
// fd 3 and waits for a signal.
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
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "appserver/AppServerManager.h"
#include "bench_baseline.h"
#include "bench_supervisor.h"
#include "foundation/Log.h"

namespace {

const unsigned kFirstPort = 22000;

using Clock = std::chrono::steady_clock;

using bench::kReadyFd;
using bench::ms;
using bench::Ready;

[[noreturn]] void ExecServer(const std::string& perl, const std::string& script, unsigned port)
{
    std::string portText = std::to_string(port);
    char* argv[] = {const_cast<char*>(perl.c_str()), const_cast<char*>(script.c_str()),
                    const_cast<char*>("-port"), const_cast<char*>(portText.c_str()), nullptr};
    execv(argv[0], argv);
    _exit(1);
}

// The bare loop: `servers` forks and execs in a row, then a blocking
// waitpid for any child and the same program again, for ever. Its servers
// are killed by the caller (they have no death signal).
pid_t StartBareLoop(const std::string& dir, unsigned servers)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    std::string perl = dir + "/perl/bin/perl";
    std::string script = dir + "/cart/DE_TARVEL/WebInterface/Scripts/appsrv.pl";
    std::unordered_map<pid_t, unsigned> portOf;
    for (unsigned i = 0; i < servers; ++i) {
        pid_t child = fork();
        if (child == 0)
            ExecServer(perl, script, kFirstPort + i);
        if (child < 0)
            _exit(1);
        portOf[child] = kFirstPort + i;
    }
    for (;;) {
        pid_t ended = waitpid(-1, nullptr, 0);
        if (ended < 0)
            _exit(0);
        unsigned port = portOf[ended];
        portOf.erase(ended);
        pid_t child = fork();
        if (child == 0)
            ExecServer(perl, script, port);
        if (child < 0)
            _exit(1);
        portOf[child] = port;
    }
}

struct Round {
    double launchMs = -1;
    std::vector<double> restarts;
};

// Waits for `servers` reports, then kills `kills` servers spread over all
// of them (one each: the throttle stays out of it), one at a time.
Round Measure(int readFd, Clock::time_point start, unsigned servers, int kills,
              std::vector<Ready>& running)
{
    Round round;
    running.resize(servers);
    for (auto& r : running)
        if (!bench::readReady(readFd, &r))
            return round;
    round.launchMs = ms(Clock::now() - start);
    usleep(300 * 1000);  // the last starts' wake-ups are over
    for (int i = 0; i < kills; ++i) {
        usleep(20000 + (i % 7) * 11000);
        const double latency =
            bench::timeRestart(readFd, running[(size_t(i) * 7919) % servers]);
        if (latency < 0)
            break;
        round.restarts.push_back(latency);
    }
    return round;
}

Round RunSupervisor(const std::string& dir, unsigned servers, int kills)
{
    int readFd = bench::pipeOnReadyFd();
    auto start = Clock::now();
    pid_t sup = bench::startSupervisor(dir);
    close(kReadyFd);
    std::vector<Ready> running;
    Round round = Measure(readFd, start, servers, kills, running);
    kill(sup, SIGTERM);
    waitpid(sup, nullptr, 0);
    close(readFd);
    return round;
}

Round RunBareLoop(const std::string& dir, unsigned servers, int kills)
{
    int readFd = bench::pipeOnReadyFd();
    auto start = Clock::now();
    pid_t loop = StartBareLoop(dir, servers);
    close(kReadyFd);
    std::vector<Ready> running;
    Round round = Measure(readFd, start, servers, kills, running);
    kill(loop, SIGKILL);
    waitpid(loop, nullptr, 0);
    for (const Ready& r : running)
        kill(r.pid, SIGKILL);
    close(readFd);
    return round;
}

// What one start costs, lever by lever: launchers that differ from the bare
// loop in one respect each start `servers` servers in a row, and the time
// until all of them run is taken. See RunLevers.
enum Lever { kBare, kBigParent, kResetSignals, kLogLine, kVfork, kLevers };
const char* const kLeverNames[kLevers] = {
    "bare fork/exec from a small process",
    "fork/exec from the supervisor's memory",
    "  + 62 signals reset in the child",
    "  + a log line per start",
    "vfork/exec from the supervisor's memory",
};

void ResetSignalsInChild()
{
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP)
            signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// One start of the lever's kind. The argument vector is made before the
// fork: a vfork child must not allocate.
__attribute__((noinline)) void StartOne(const std::string& perl, const std::string& script,
                                        unsigned port, Lever lever)
{
    std::string portText = std::to_string(port);
    char* argv[] = {const_cast<char*>(perl.c_str()), const_cast<char*>(script.c_str()),
                    const_cast<char*>("-port"), const_cast<char*>(portText.c_str()), nullptr};
    pid_t child = lever == kVfork ? vfork() : fork();
    if (child == 0) {
        if (lever == kResetSignals || lever == kLogLine)
            ResetSignalsInChild();
        execv(argv[0], argv);
        _exit(1);
    }
}

[[noreturn]] void RunLauncher(const std::string& dir, unsigned servers, Lever lever)
{
    bench::useInstallation(dir);
    CLog::setFileName((dir + "/log/Service.log").c_str());
    std::unique_ptr<CAppServerManager> manager;
    if (lever != kBare) {
        // The table of `servers` records, as the supervisor holds it.
        manager = std::make_unique<CAppServerManager>();
        manager->setIPList(std::vector<std::string>{"127.0.0.1"});
        manager->buildTables();
    }
    std::string perl = dir + "/perl/bin/perl";
    std::string script = dir + "/cart/DE_TARVEL/WebInterface/Scripts/appsrv.pl";
    for (unsigned i = 0; i < servers; ++i) {
        StartOne(perl, script, kFirstPort + i, lever);
        if (lever == kLogLine)
            KXLogWrite(CLog::_pKXLog, "Process::start(): started \"%s %s -port %u\"",
                       perl.c_str(), script.c_str(), kFirstPort + i);
    }
    for (;;)
        pause();
}

// Milliseconds from the launcher's fork until all its servers run.
double TimeLever(const std::string& dir, unsigned servers, Lever lever)
{
    int readFd = bench::pipeOnReadyFd();
    auto start = Clock::now();
    pid_t launcher = fork();
    if (launcher == 0)
        RunLauncher(dir, servers, lever);
    close(kReadyFd);
    std::vector<Ready> running(servers);
    double elapsed = -1;
    bool all = true;
    for (auto& r : running)
        all = all && bench::readReady(readFd, &r);
    if (all)
        elapsed = ms(Clock::now() - start);
    kill(launcher, SIGKILL);
    waitpid(launcher, nullptr, 0);
    for (const Ready& r : running)
        if (r.pid > 0)
            kill(r.pid, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    close(readFd);
    return elapsed;
}

// Each lever `rounds` times, in turn; medians and the cost per start over
// the bare loop.
int RunLevers(unsigned servers, int rounds)
{
    std::string dir = bench::makeInstallation("tarvel-thousand-", kFirstPort, servers);
    std::vector<double> times[kLevers];
    for (int i = 0; i < rounds; ++i)
        for (int lever = 0; lever < kLevers; ++lever)
            times[lever].push_back(TimeLever(dir, servers, Lever(lever)));
    double bare = bench::median(times[kBare], -1);
    printf("launch of %u servers, median of %d rounds:\n", servers, rounds);
    for (int lever = 0; lever < kLevers; ++lever) {
        double ms = bench::median(times[lever], -1);
        printf("  %-42s %9.3f ms, ratio %.2f, %+7.1f us per start\n", kLeverNames[lever], ms,
               ms / bare, (ms - bare) * 1000 / servers);
    }
    std::filesystem::remove_all(dir);
    return 0;
}

// Section 0; see the top of this file.
void DaemonAgainstLibcLoop(unsigned servers, int kills, int runs)
{
    bench::Installation inst = bench::installBaseline("tarvel-thousand-", 24000, servers);
    std::printf("real tarvelsvc against a libc-only fork/exec/waitpid loop, %u servers, load %s:\n",
                servers, bench::loadAverage().c_str());
    std::printf("  shared objects tarvelsvc maps, as ldd lists them: %d\n",
                bench::sharedObjects(inst.exe));
    const size_t fiftieth = std::min<size_t>(50, servers) - 1;
    std::vector<double> to50, toLast, restart;
    for (int run = 1; run <= runs; ++run) {
        const auto d = bench::runRound(inst, servers, true, kills / runs);
        const auto l = bench::runRound(inst, servers, false, kills / runs);
        if (d.startMs.size() < servers || l.startMs.size() < servers)
            continue;
        std::printf("  run %d (%zu / %zu kills):\n", run, d.restartMs.size(), l.restartMs.size());
        to50.push_back(bench::reportPair("start-all to the 50th:", d.startMs[fiftieth],
                                         l.startMs[fiftieth]));
        toLast.push_back(bench::reportPair("start-all to the last:", d.startMs.back(),
                                           l.startMs.back()));
        restart.push_back(bench::reportPair("restart, all running:",
                                            bench::median(d.restartMs, -1),
                                            bench::median(l.restartMs, -1)));
        std::printf("    daemon PSS, all running: %ld kB (goal for 50 servers: <= 2048)\n",
                    d.pssKb);
        std::printf("    client tarvelsvc -servers: %.2f ms CPU (goal <= 2), %ld page faults, "
                    "median of 20\n",
                    d.clientCpuMs, d.clientFaults);
    }
    std::printf("  ratios daemon / libc loop, median of %zu runs: to the 50th %.2f (goal <= 1.15), "
                "to the last %.2f (goal <= 1.10), restart %.2f (goal <= 1.15); load %s\n",
                to50.size(), bench::median(to50, -1), bench::median(toLast, -1),
                bench::median(restart, -1), bench::loadAverage().c_str());
    // BENCH_KEEP keeps the installation, its log included, to look at.
    if (std::getenv("BENCH_KEEP") == nullptr)
        std::filesystem::remove_all(inst.dir);
}

void Report(const char* what, double supervised, double bare, double target)
{
    printf("  %-34s supervisor %9.3f ms, bare loop %9.3f ms, ratio %.2f (target <= %.2f)\n", what,
           supervised, bare, supervised / bare, target);
}

}  // namespace

int main(int argc, char** argv)
{
    if (bench::startedAsServer(argv[0]))
        return bench::runReadyServer(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (argc >= 2 && strcmp(argv[1], "--levers") == 0)
        return RunLevers(argc > 2 ? unsigned(atoi(argv[2])) : 1000, argc > 3 ? atoi(argv[3]) : 3);
    unsigned servers = argc > 1 ? unsigned(atoi(argv[1])) : 1000;
    int kills = argc > 2 ? atoi(argv[2]) : 40;
    int rounds = argc > 3 ? atoi(argv[3]) : 3;
    bench::raiseFileLimit();
    DaemonAgainstLibcLoop(servers, kills, rounds);
    if (getenv("BENCH_DAEMON_ONLY") != nullptr)
        return 0;

    std::string dir = bench::makeInstallation("tarvel-thousand-", kFirstPort, servers);
    std::vector<double> launchS, launchB, restartS, restartB;
    for (int i = 0; i < rounds; ++i) {
        Round s = RunSupervisor(dir, servers, kills / rounds);
        Round b = RunBareLoop(dir, servers, kills / rounds);
        launchS.push_back(s.launchMs);
        launchB.push_back(b.launchMs);
        restartS.insert(restartS.end(), s.restarts.begin(), s.restarts.end());
        restartB.insert(restartB.end(), b.restarts.begin(), b.restarts.end());
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    printf("manager loop in a fork of this program (%d mappings) against a bare loop forked from\n"
           "this program, %u servers from one ServerConfig.xml, %d rounds, %zu / %zu kills:\n",
           bench::mappingCount(getpid()), servers, rounds,
           restartS.size(), restartB.size());
    Report("launch to the last server running:", bench::median(launchS, -1),
           bench::median(launchB, -1), 1.10);
    Report("restart latency, all running:", bench::median(restartS, -1),
           bench::median(restartB, -1), 1.15);
    std::filesystem::remove_all(dir);
    return 0;
}
