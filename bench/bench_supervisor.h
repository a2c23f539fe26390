// The benchmarks that run the service's supervision loop in a child of their
// own, against bare fork/exec loops: the pipe on which the servers report
// that they run, the server (this program itself, started as
// <installation>/perl/bin/perl: it writes its pid and port to the inherited
// fd 3 and waits for a signal), the supervisor, and one timed restart.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "appserver/AppServerManager.h"
#include "bench_process.h"
#include "foundation/Log.h"
#include "servicectl/Signals.h"

namespace bench {

const int kReadyFd = 3;

// What a server reports on fd 3 once it runs.
struct Ready {
    pid_t pid;
    int port;
};

// Reads one report; false at the end of the pipe or on an error.
inline bool readReady(int fd, Ready* ready)
{
    size_t got = 0;
    while (got < sizeof *ready) {
        ssize_t n = read(fd, reinterpret_cast<char*>(ready) + got, sizeof *ready - got);
        if (n <= 0)
            return false;
        got += size_t(n);
    }
    return true;
}

// A pipe whose write end is fd 3 (inherited by the servers) and whose read
// end stays with this process only; returns the read end.
inline int pipeOnReadyFd()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("pipe");
        std::exit(2);
    }
    const int readFd = fcntl(fds[0], F_DUPFD_CLOEXEC, 10);
    close(fds[0]);
    if (fds[1] == kReadyFd) {
        fcntl(kReadyFd, F_SETFD, 0);
    } else {
        dup2(fds[1], kReadyFd);
        close(fds[1]);
    }
    return readFd;
}

// The server's main: reports on fd 3, then waits for the end; returns 1 when
// the report cannot be written.
inline int runReadyServer(int argc, char** argv)
{
    const Ready ready{getpid(), portArgument(argc, argv)};
    if (write(kReadyFd, &ready, sizeof ready) != sizeof ready)
        return 1;
    for (;;)
        pause();
}

// The supervisor: the service loop until SIGTERM, as the service runs it;
// its servers end with it through their death signal.
inline pid_t startSupervisor(const std::string& dir)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    try {
        useInstallation(dir);
        CLog::setFileName((dir + "/log/Service.log").c_str());
        CAppServerManager manager;
        manager.setIPList(std::vector<std::string>{"127.0.0.1"});
        manager.buildTables();
        while (!servicectl::StopRequested()) {
            manager.startServers();
            manager.waitForEvents();
        }
        _exit(0);
    } catch (std::exception& e) {
        std::fprintf(stderr, "supervisor: %s\n", e.what());
    }
    _exit(1);
}

// SIGKILL of victim, then the report of its replacement, which becomes the
// victim; returns the ms in between, or -1 when no replacement reported.
inline double timeRestart(int readFd, Ready& victim)
{
    const auto t0 = std::chrono::steady_clock::now();
    kill(victim.pid, SIGKILL);
    Ready replacement;
    if (!readReady(readFd, &replacement))
        return -1;
    const double latency = ms(std::chrono::steady_clock::now() - t0);
    if (replacement.port != victim.port)
        std::fprintf(stderr, "unexpected start of port %d\n", replacement.port);
    victim = replacement;
    return latency;
}

}  // namespace bench
