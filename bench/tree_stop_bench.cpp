// The stop of whole server trees, and the idle daemon, in both kinds of
// containment (CONTAINMENT=cgroup, then CONTAINMENT=session):
//
//   tree_stop_bench [servers] [rounds] [idle-servers] [idle-seconds]
//                                                  (defaults 1000 1 50 30)
//
// 1. `servers` servers of three processes each: a leader that forks two
//    children sharing nothing with it (no socket, no pipe), then listens and
//    ends on the daemon's shutdown request without telling its children.
//    `tarvelsvc -stop` stops them all; the figures are, per round, the time
//    from the last leader's end to the last process of any tree gone, and
//    -stop's whole time. Ends are seen through pidfds (epoll), times are
//    CLOCK_MONOTONIC.
// 2. `idle-servers` such servers with ACCOUNTING_INTERVAL=0, all serving: the
//    daemon's voluntary context switches (every thread, /proc) over
//    `idle-seconds` with nothing happening. 0 idle-seconds skips it.
//
// The server is this program itself, started as <installation>/perl/bin/perl
// (a symlink to it); it reports its three pids into the FIFO
// BENCH_REPORT_FIFO names. Run it as root (cgroup mode needs a writable
// cgroup subtree); it raises its open-file limit for the pidfds.
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "bench_daemon.h"

namespace {

using bench::ms;
using bench::nowNs;

// One server's report: its leader and two children.
struct Report {
    pid_t leader;
    pid_t children[2];
};

// A child that pauses until a signal ends it.
pid_t PausingChild()
{
    const pid_t pid = fork();
    if (pid == 0) {
        for (;;)
            pause();
    }
    return pid;
}

[[noreturn]] void RunServer(int argc, char** argv)
{
    const int port = bench::portArgument(argc, argv);
    Report report{getpid(), {PausingChild(), PausingChild()}};
    const int fd = bench::listenOn(port, 8);
    if (const char* fifo = getenv("BENCH_REPORT_FIFO")) {
        const int out = open(fifo, O_WRONLY | O_CLOEXEC);
        ssize_t ignored = write(out, &report, sizeof report);  // atomic: < PIPE_BUF
        (void)ignored;
        close(out);
    }
    // Ends on the shutdown request only; SIGTERM keeps its default.
    bench::serveUntilShutdown(fd);
}

int Run(const std::string& exe, const char* arg)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execl(exe.c_str(), exe.c_str(), arg, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// Starts the daemon (-start) with `settings`; returns the reports of its
// servers, `servers` of them unless the start failed.
std::vector<Report> StartTrees(const bench::Installation& inst, unsigned servers,
                               const std::string& settings)
{
    bench::writeFile(inst.dir + "/config/tarvelsvc.conf", settings);
    const std::string fifo = inst.dir + "/reports.fifo";
    unlink(fifo.c_str());
    if (mkfifo(fifo.c_str(), 0600) != 0)
        std::exit(2);
    setenv("BENCH_REPORT_FIFO", fifo.c_str(), 1);
    // Held open for reading and writing: never at its end between two servers.
    const int reports = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    const int status = Run(inst.exe, "-start");
    std::vector<Report> got;
    Report report;
    bench::waitFor([&] {
        while (read(reports, &report, sizeof report) == ssize_t(sizeof report))
            got.push_back(report);
        return got.size() >= servers;
    }, 30);
    close(reports);
    if (status != 0)
        std::fprintf(stderr, "-start ended with status %d\n", status);
    return got;
}

// One stop of `servers` trees; adds the figures in ms. False when a process
// outlived the stop by 60 s.
bool StopTrees(const bench::Installation& inst, unsigned servers, const std::string& settings,
               std::vector<double>& afterLeader, std::vector<double>& whole)
{
    const std::vector<Report> reports = StartTrees(inst, servers, settings);
    if (reports.size() != servers) {
        std::fprintf(stderr, "only %zu of %u servers reported\n", reports.size(), servers);
        return false;
    }
    usleep(300 * 1000);
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    std::set<int> leaders, watched;
    for (const Report& r : reports)
        for (pid_t pid : {r.leader, r.children[0], r.children[1]}) {
            const int fd = int(syscall(SYS_pidfd_open, pid, 0));
            epoll_event event{EPOLLIN, {}};
            event.data.fd = fd;
            if (fd < 0 || epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event) != 0)
                return false;
            if (pid == r.leader)
                leaders.insert(fd);
            watched.insert(fd);
        }
    const int64_t begin = nowNs();
    const pid_t ctl = fork();
    if (ctl == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execl(inst.exe.c_str(), inst.exe.c_str(), "-stop", static_cast<char*>(nullptr));
        _exit(127);
    }
    int64_t lastLeader = 0, lastAny = 0;
    std::vector<epoll_event> events(256);
    while (!watched.empty() && nowNs() - begin < int64_t(60e9)) {
        const int n = epoll_wait(poller, events.data(), int(events.size()), 1000);
        const int64_t now = nowNs();
        for (int i = 0; i < n; ++i) {
            const int fd = events[size_t(i)].data.fd;
            epoll_ctl(poller, EPOLL_CTL_DEL, fd, nullptr);
            close(fd);
            if (leaders.count(fd) != 0)
                lastLeader = now;
            lastAny = now;
            watched.erase(fd);
        }
    }
    int status = 0;
    waitpid(ctl, &status, 0);
    const int64_t ctlEnd = nowNs();
    close(poller);
    // What outlived the stop is ended through its pidfd, which names that
    // very process even if its pid was reused.
    for (int fd : watched) {
        syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
        close(fd);
    }
    // We are the subreaper of whatever the daemon left.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (!watched.empty() || status != 0) {
        std::fprintf(stderr, "%zu processes outlived the stop by 60 s (-stop status %d)\n",
                     watched.size(), status);
        return false;
    }
    afterLeader.push_back(ms(lastAny - lastLeader));
    whole.push_back(ms(ctlEnd - begin));
    return true;
}

// The daemon's voluntary context switches over `seconds` with `servers`
// serving and no accounting; -1 when the start failed.
long IdleSwitches(const bench::Installation& inst, unsigned servers, const char* mode, int seconds)
{
    const std::vector<Report> reports = StartTrees(
        inst, servers,
        std::string("[SERVICE]\nCONTAINMENT=") + mode + "\nACCOUNTING_INTERVAL=0\n");
    if (reports.size() != servers)
        return -1;
    const pid_t daemon = bench::parentOf(reports[0].leader);
    sleep(2);  // the start's own work settles
    const long before = bench::usageOf(daemon).voluntary;
    sleep(unsigned(seconds));
    const long after = bench::usageOf(daemon).voluntary;
    Run(inst.exe, "-stop");
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    return after - before;
}

}  // namespace

int main(int argc, char** argv)
{
    if (bench::startedAsServer(argv[0]))
        RunServer(argc, argv);
    const unsigned servers = argc > 1 ? unsigned(atoi(argv[1])) : 1000;
    const int rounds = argc > 2 ? atoi(argv[2]) : 1;
    const unsigned idleServers = argc > 3 ? unsigned(atoi(argv[3])) : 50;
    const int idleSeconds = argc > 4 ? atoi(argv[4]) : 30;
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    bench::raiseFileLimit();
    const unsigned most = servers > idleServers ? servers : idleServers;
    const int firstPort = bench::freePorts(int(most), 23000);
    bench::Installation inst =
        bench::installDaemon("tarvel-tree-stop-bench-", unsigned(firstPort), servers);
    bool ok = true;
    for (const char* mode : {"cgroup", "session"}) {
        std::vector<double> afterLeader, whole;
        const std::string settings = std::string("[SERVICE]\nCONTAINMENT=") + mode + "\n";
        bool done = true;
        for (int i = 0; i < rounds && done; ++i)
            done = StopTrees(inst, servers, settings, afterLeader, whole);
        ok = ok && done;
        std::printf("%s: stop of %u servers of 3 processes (%d rounds): last process gone after "
                    "the last leader's end: median %.2f ms, max %.2f ms; -stop whole: median "
                    "%.1f ms\n",
                    mode, servers, rounds, bench::median(afterLeader, -1),
                    bench::maximum(afterLeader, -1), bench::median(whole, -1));
    }
    if (idleSeconds > 0) {
        std::filesystem::remove_all(inst.dir);
        inst = bench::installDaemon("tarvel-tree-idle-bench-", unsigned(firstPort), idleServers);
        for (const char* mode : {"cgroup", "session"})
            std::printf("%s: idle %d s with %u servers, accounting off: %ld voluntary context "
                        "switches of the daemon\n",
                        mode, idleSeconds, idleServers,
                        IdleSwitches(inst, idleServers, mode, idleSeconds));
    }
    std::filesystem::remove_all(inst.dir);
    return ok ? 0 : 1;
}
