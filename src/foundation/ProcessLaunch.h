// How a server's process is made: a clone that shares the service's memory
// until the exec, so that a start does not copy the service's mappings; in
// the child its session, the death signal that ties it to the service,
// default signals, its output file, its cgroup, then execv.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// What a start needs; everything is prepared before the clone.
struct LaunchOptions {
    std::string command;     // words split at blanks, at most 15
    std::string outputFile;  // standard output and error; empty: inherited
    // The server leads a session and process group of its own: a terminal's
    // Ctrl-C or a signal to the service's group does not reach it, and its
    // tree can be told from the service's.
    bool newSession = true;
    int cgroupFd = -1;  // a cgroup v2 directory to start it in (the caller's); -1: none
    // The notification socket's path for NOTIFY_SOCKET; empty: none. The
    // service's own NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID are never
    // passed on: a server must not talk to the service's supervisor.
    std::string notifySocket{};
    unsigned long long watchdogUsec = 0;  // WATCHDOG_USEC for the server; 0: none
    // The caller starts many in a row and calls FinishLaunches() after the
    // last: each child makes its steps and execs while the caller goes on.
    bool overlap = false;
};

// The environment a server with `options` starts with: the service's,
// without its notification variables, with the server's own.
std::vector<std::string> ServerEnvironment(const LaunchOptions& options);

// Starts the server `options` describe. Returns the child's pid, or -1 with
// errno when no child could be made. Without overlap it returns after the
// child's exec (or 10 s, for a child stopped before it). A failing exec is
// logged as the child's line, and the child exits 1.
pid_t LaunchProcess(const LaunchOptions& options);

// Waits until every child launched with overlap has exec'd or ended, and
// logs what failed in them. Cheap when none is pending.
void FinishLaunches();
