// Times the gentle stop of 1 and of 200 application servers that end on the
// request. The servers are stopped in parallel, so 200 must not take more
// than twice as long as one; exit status 1 when they do.
//
// Two kinds of server are measured: one that ends the moment the request is
// in, and, for the verdict, servers that need a moment to shut down, as real
// ones do: they end 2 seconds after the request.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "../tests/appserver/gentle_stop_peer.h"
#include "../tests/appserver/manager_peer.h"
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
        record.mPid = peer.pid;
        record.mState = ServerState::Running;
        table.push_back(record);
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

// Milliseconds from the start of the stop (gentle, then hard) of n servers
// whose port refuses the connection until the hard stop has sent the last
// SIGTERM, and until every server has ended.
void TimeRefusedStop(int n, const std::string& dir, double& signalled, double& ended)
{
    CAppServerManager manager;
    auto& table = ManagerTestPeer::records(manager);
    for (int i = 0; i < n; ++i) {
        // A port that was just free and is closed again: it refuses.
        unsigned short port = 0;
        close(gentlestop::ListenOn("127.0.0.1", port));
        AppServerProcess record(dir, "", "127.0.0.1", port, 0);
        record.mPid = gentlestop::StartIdleChild();
        record.mState = ServerState::Running;
        table.push_back(record);
    }
    auto start = std::chrono::steady_clock::now();
    manager.stopServers();
    // The hard stop sends every SIGTERM in one loop right at its start.
    signalled = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
    manager.stopServers();
    ended = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
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
    double signalled = 0, ended = 0;
    TimeRefusedStop(50, dir, signalled, ended);
    printf("50 servers refusing the connection: all SIGTERMs sent %.2f ms after the stop began, "
           "all ended after %.2f ms\n",
           signalled, ended);
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
