// Times the gentle stop of 1 and of 200 application servers that end on the
// request. The servers are stopped in parallel, so 200 must not take more
// than twice as long as one; exit status 1 when they do. Then the stop of
// 1000 servers whose port refuses the request: when the first of them got
// SIGTERM, as the servers themselves tell.
//
// Two kinds of server are measured: one that ends the moment the request is
// in, and, for the verdict, servers that need a moment to shut down, as real
// ones do: they end 2 seconds after the request.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/gentle_stop_peer.h"
#include "shared/manager_peer.h"
#include "appserver/AppServerManager.h"
#include "foundation/Log.h"

namespace {

// Seconds for one gentle stop of n servers; -1 when one was not stopped.
double TimeGentleStop(int n, gentlestop::Behaviour behaviour, const std::string& dir)
{
    CAppServerManager manager;
    auto& table = ManagerTestPeer::records(manager);
    for (int i = 0; i < n; ++i) {
        auto peer = gentlestop::StartPeer("127.0.0.1", behaviour);
        AppServerProcess record(dir, "", "127.0.0.1", peer.port, 0);
        ManagerTestPeer::place(record, ServerState::Serving, peer.pid);
        ManagerTestPeer::add(manager, record);
    }
    auto start = std::chrono::steady_clock::now();
    manager.stopServers();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int left = 0;
    for (const auto& record : table)
        if (record.mState != ServerState::Down)
            ++left;
    if (left != 0) {
        fprintf(stderr, "%d of %d servers were not stopped\n", left, n);
        manager.stopServers();
        return -1;
    }
    return seconds;
}

int gTermPipe = -1;

// In a stand-in: the moment SIGTERM came, on the steady clock that every
// process shares, then the end.
void OnTerm(int)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t ns = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
    ssize_t ignored = write(gTermPipe, &ns, sizeof ns);
    (void)ignored;
    _exit(0);
}

double MsAfter(int64_t ns, std::chrono::steady_clock::time_point start)
{
    return double(ns - std::chrono::duration_cast<std::chrono::nanoseconds>(
                           start.time_since_epoch())
                           .count()) /
           1e6;
}

// The stop of n servers whose port refuses the connection: milliseconds from
// its start until the first and the last server got SIGTERM (as each of them
// tells on a pipe), and until the stop was done.
void TimeRefusedStop(int n, const std::string& dir, double& first, double& last, double& ended)
{
    CAppServerManager manager;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        exit(2);
    gTermPipe = fds[1];
    // Inherited by every fork: no stand-in can miss its SIGTERM.
    struct sigaction term{}, previous{};
    term.sa_handler = OnTerm;
    sigaction(SIGTERM, &term, &previous);
    for (int i = 0; i < n; ++i) {
        // A port that was just free and is closed again: it refuses.
        unsigned short port = 0;
        close(gentlestop::ListenOn("127.0.0.1", port));
        AppServerProcess record(dir, "", "127.0.0.1", port, 0);
        ManagerTestPeer::place(record, ServerState::Serving, gentlestop::StartIdleChild());
        ManagerTestPeer::add(manager, record);
    }
    sigaction(SIGTERM, &previous, nullptr);
    auto start = std::chrono::steady_clock::now();
    manager.stopServers();
    ended = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
    close(fds[1]);
    std::vector<double> times;
    for (int64_t ns; read(fds[0], &ns, sizeof ns) == sizeof ns;)
        times.push_back(MsAfter(ns, start));
    close(fds[0]);
    std::sort(times.begin(), times.end());
    first = times.empty() ? -1 : times.front();
    last = times.empty() ? -1 : times.back();
    if (int(times.size()) != n)
        fprintf(stderr, "%zu of %d servers told of their SIGTERM\n", times.size(), n);
}

}  // namespace

int main()
{
    char dirTemplate[] = "/tmp/gentle-stop-bench-XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (dir == nullptr) {
        perror("mkdtemp");
        return 2;
    }
    setenv("TARVEL", dir, 1);
    setenv("TARVEL_PERL", dir, 1);
    setenv("TARVEL_CARTRIDGES", dir, 1);
    std::string log = std::string(dir) + "/Service.log";
    CLog::setFileName(log.c_str());

    using gentlestop::Behaviour;
    double oneAtOnce = TimeGentleStop(1, Behaviour::EndAtOnce, dir);
    double manyAtOnce = TimeGentleStop(200, Behaviour::EndAtOnce, dir);
    double one = TimeGentleStop(1, Behaviour::EndAfter2s, dir);
    double many = TimeGentleStop(200, Behaviour::EndAfter2s, dir);
    double first = 0, last = 0, ended = 0;
    TimeRefusedStop(1000, dir, first, last, ended);
    printf("1000 servers refusing the connection: first SIGTERM %.2f ms after the stop began "
           "(target <= 20 ms), last %.2f ms, stop done after %.2f ms\n",
           first, last, ended);
    printf("servers ending at once:       1 in %.3f s, 200 in %.3f s (%.2f times)\n", oneAtOnce,
           manyAtOnce, manyAtOnce / oneAtOnce);
    printf("servers ending 2 s after it:  1 in %.3f s, 200 in %.3f s (%.2f times)\n", one, many,
           many / one);
    unlink(log.c_str());
    rmdir(dir);
    if (oneAtOnce < 0 || manyAtOnce < 0 || one < 0 || many < 0 || many > 2 * one) {
        printf("FAILED: 200 servers must take at most twice as long as one\n");
        return 1;
    }
    return 0;
}
