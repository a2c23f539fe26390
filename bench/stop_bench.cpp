// How fast the real service stops, through tarvelsvc -start and -stop:
//
//   stop_bench [servers] [rounds]     (defaults 50 3)
//
// 1. Servers that end the moment the shutdown request is in: from the last
//    server's end to the daemon's end, and from the daemon's end to the
//    return of `tarvelsvc -stop`.
// 2. Servers whose port refuses the connection: from the SIGTERM that starts
//    the daemon's stop to the SIGTERM each server gets from the hard stop.
//
// Ends are seen through pidfds, times are CLOCK_MONOTONIC, which every
// process shares. The server is this program itself, started as
// <installation>/perl/bin/perl (a symlink to it); BENCH_SERVER tells it how
// to behave, and it reports into the FIFO BENCH_REPORT_FIFO names (the
// daemon passes its servers no descriptor of its caller).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench_daemon.h"

namespace {

int gReportFd = -1;

using bench::ms;
using bench::nowNs;

int PidfdOpen(pid_t pid)
{
    return int(syscall(SYS_pidfd_open, pid, 0));
}

// What a server reports into the FIFO: its pid once it runs, and the moment it
// got SIGTERM.
struct Report {
    pid_t pid;
    int kind;  // 0 ready, 1 SIGTERM
    int64_t when;
};

void WriteReport(int kind)
{
    Report report{getpid(), kind, nowNs()};
    ssize_t ignored = write(gReportFd, &report, sizeof report);  // atomic: < PIPE_BUF
    (void)ignored;
}

void OnTerm(int)
{
    WriteReport(1);
    _exit(0);
}

[[noreturn]] void RunServer(int argc, char** argv)
{
    const int port = bench::portArgument(argc, argv);
    const char* mode = getenv("BENCH_SERVER");
    const char* fifo = getenv("BENCH_REPORT_FIFO");
    gReportFd = fifo != nullptr ? open(fifo, O_WRONLY | O_CLOEXEC) : -1;
    signal(SIGTERM, OnTerm);
    if (mode != nullptr && strcmp(mode, "end") == 0) {
        const int fd = bench::listenOn(port, 8);
        WriteReport(0);
        // The service's readiness probe connects and sends nothing: only the
        // shutdown request ends the server.
        bench::serveUntilShutdown(fd);
    }
    WriteReport(0);
    for (;;)
        pause();
}

pid_t Spawn(const std::string& exe, const char* sw)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        execl(exe.c_str(), exe.c_str(), sw, nullptr);
        _exit(127);
    }
    return pid;
}

bool ReadReport(int fd, Report& report, int timeoutMs)
{
    size_t got = 0;
    while (got < sizeof report) {
        struct pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, timeoutMs) <= 0)
            return false;
        ssize_t n = read(fd, reinterpret_cast<char*>(&report) + got, sizeof report - got);
        if (n <= 0)
            return false;
        got += size_t(n);
    }
    return true;
}

struct Started {
    pid_t daemon = 0;
    std::vector<pid_t> servers;
    int reports = -1;
};

// Starts the daemon with `mode` servers; its servers report into a FIFO of
// the installation, held open here for reading and writing so that it never
// reads as ended between two servers.
Started StartDaemon(const std::string& exe, unsigned servers, const char* mode)
{
    Started started;
    setenv("BENCH_SERVER", mode, 1);
    std::string fifo = std::filesystem::path(exe).parent_path().parent_path() / "reports.fifo";
    unlink(fifo.c_str());
    if (mkfifo(fifo.c_str(), 0600) != 0)
        exit(2);
    setenv("BENCH_REPORT_FIFO", fifo.c_str(), 1);
    // Servers whose port refuses never serve: without a readiness probe the
    // start does not wait for them, and no start time-out stops them.
    std::string settings =
        std::filesystem::path(exe).parent_path().parent_path() / "config/tarvelsvc.conf";
    if (strcmp(mode, "refuse") == 0)
        bench::writeFile(settings, "[SERVICE]\nREADINESS=none\n");
    else
        unlink(settings.c_str());
    started.reports = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    if (started.reports < 0)
        exit(2);
    pid_t ctl = Spawn(exe, "-start");
    int status = 0;
    waitpid(ctl, &status, 0);
    Report report;
    while (started.servers.size() < servers && ReadReport(started.reports, report, 20000))
        if (report.kind == 0)
            started.servers.push_back(report.pid);
    if (started.servers.size() == servers)
        started.daemon = bench::parentOf(started.servers[0]);
    return started;
}

// Round 1: servers that end on the request; -stop does the stop.
bool StopEndingServers(const std::string& exe, unsigned servers, std::vector<double>& daemonAfter,
                       std::vector<double>& stopAfter, std::vector<double>& total)
{
    Started started = StartDaemon(exe, servers, "end");
    if (started.daemon <= 1) {
        fprintf(stderr, "only %zu servers started\n", started.servers.size());
        return false;
    }
    usleep(300 * 1000);
    std::map<int, pid_t> watched;  // pidfd -> pid
    for (pid_t pid : started.servers)
        watched[PidfdOpen(pid)] = pid;
    int daemonFd = PidfdOpen(started.daemon);
    int64_t begin = nowNs();
    pid_t ctl = Spawn(exe, "-stop");
    int ctlFd = PidfdOpen(ctl);
    int64_t lastServer = 0, daemonEnd = 0, ctlEnd = 0;
    while ((!watched.empty() || daemonEnd == 0 || ctlEnd == 0) && nowNs() - begin < 90e9) {
        std::vector<struct pollfd> fds;
        for (const auto& entry : watched)
            fds.push_back({entry.first, POLLIN, 0});
        if (daemonEnd == 0)
            fds.push_back({daemonFd, POLLIN, 0});
        if (ctlEnd == 0)
            fds.push_back({ctlFd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 1000) <= 0)
            continue;
        int64_t now = nowNs();
        for (const auto& fd : fds) {
            if (fd.revents == 0)
                continue;
            if (fd.fd == daemonFd) {
                daemonEnd = now;
            } else if (fd.fd == ctlFd) {
                ctlEnd = now;
            } else {
                lastServer = now;
                watched.erase(fd.fd);
            }
            close(fd.fd);
        }
    }
    int status = 0;
    waitpid(ctl, &status, 0);
    waitpid(started.daemon, nullptr, 0);  // we are its subreaper
    close(started.reports);
    if (!watched.empty() || daemonEnd == 0 || ctlEnd == 0 || status != 0) {
        fprintf(stderr, "stop incomplete (-stop status %d)\n", status);
        return false;
    }
    daemonAfter.push_back(ms(daemonEnd - lastServer));
    stopAfter.push_back(ms(ctlEnd - daemonEnd));
    total.push_back(ms(ctlEnd - begin));
    return true;
}

// Round 2: servers whose port refuses; the bench sends the daemon's SIGTERM.
bool StopRefusingServers(const std::string& exe, unsigned servers, std::vector<double>& late)
{
    Started started = StartDaemon(exe, servers, "refuse");
    if (started.daemon <= 1) {
        fprintf(stderr, "only %zu servers started\n", started.servers.size());
        return false;
    }
    usleep(300 * 1000);
    int64_t begin = nowNs();
    kill(started.daemon, SIGTERM);
    Report report;
    unsigned got = 0;
    while (got < servers && ReadReport(started.reports, report, 20000))
        if (report.kind == 1) {
            late.push_back(ms(report.when - begin));
            ++got;
        }
    waitpid(started.daemon, nullptr, 0);
    close(started.reports);
    return got == servers;
}

}  // namespace

int main(int argc, char** argv)
{
    if (bench::startedAsServer(argv[0]))
        RunServer(argc, argv);

    unsigned servers = argc > 1 ? unsigned(atoi(argv[1])) : 50;
    int rounds = argc > 2 ? atoi(argv[2]) : 3;
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const bench::Installation inst = bench::installDaemon("tarvel-stop-bench-", 21000, servers);
    const std::string& exe = inst.exe;

    std::vector<double> daemonAfter, stopAfter, total, late;
    bool ok = true;
    for (int i = 0; i < rounds && ok; ++i)
        ok = StopEndingServers(exe, servers, daemonAfter, stopAfter, total) &&
             StopRefusingServers(exe, servers, late);
    printf("stop of %u servers that end on the request (%d rounds):\n", servers, rounds);
    printf("  daemon gone after the last server's end: median %.2f ms, max %.2f ms\n",
           bench::median(daemonAfter, -1), bench::maximum(daemonAfter, -1));
    printf("  -stop returned after the daemon was gone: median %.2f ms, max %.2f ms\n",
           bench::median(stopAfter, -1), bench::maximum(stopAfter, -1));
    printf("  -stop start to return: median %.2f ms\n", bench::median(total, -1));
    printf("stop of %u servers that refuse the connection:\n", servers);
    printf("  SIGTERM received after the daemon's SIGTERM: min %.2f ms, median %.2f ms, max %.2f "
           "ms\n",
           bench::minimum(late, -1), bench::median(late, -1),
           bench::maximum(late, -1));
    std::filesystem::remove_all(inst.dir);
    return ok ? 0 : 1;
}
