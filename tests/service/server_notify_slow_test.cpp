// The notification socket under way: a server that stops sending WATCHDOG=1
// is restarted through the stop sequence, and a server flooding the socket
// does not keep the loop from restarting another.
#include <gtest/gtest.h>
#include <signal.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

// The demo's first server never sends WATCHDOG=1: a second after it
// serves, it is asked to shut down (the request, not a signal) and started
// again. The second's child (not the server, in its session) keeps it alive.
TEST(ServerNotifySlow, MissedWatchdogRestartsThroughTheStopSequence)
{
    Installation inst(Installation::Use::Binary);
    testutil::WriteFile(inst.path("config/tarvelsvc.conf"),
                        "[SERVICE]\nREADINESS=notify\nLIVENESS=watchdog\nLIVENESS_INTERVAL=1\n");
    std::string notes = inst.path("notes.log");
    RunResult r = inst.Ctl({"-start"}, {"APPSRV_NOTIFY=1", "APPSRV_LOG=" + notes,
                                        "APPSRV_NOTIFY_WATCHDOG_" + std::to_string(inst.port(1)) + "=1"});
    pid_t kept = inst.ServerPid(inst.port(1));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err << testutil::ReadFile(inst.log());
    unsigned short port = inst.port(0);
    pid_t first = inst.ServerPid(port);
    std::string missed =
        "Server [127.0.0.1]:" + std::to_string(port) + " sent no WATCHDOG=1 within 1 s; restarting it";
    ASSERT_TRUE(inst.WaitForLog(missed, 1, 15000)) << testutil::ReadFile(inst.log());
    ASSERT_TRUE(testutil::WaitUntil(
        [&] {
            std::string object = inst.ServerObject(port);
            return object.find("\"state\": \"serving\"") != std::string::npos &&
                   inst.ServerPid(port) != first;
        },
        15000));
    EXPECT_NE(testutil::ReadFile(notes).find(std::to_string(first) + "] 127.0.0.1:" +
                                             std::to_string(port) +
                                             " shutdown request received, exiting"),
              std::string::npos)
        << testutil::ReadFile(notes);
    EXPECT_EQ(inst.CountLines("Failed to shut down"), 0);
    EXPECT_EQ(inst.CountLines("liveness probes in a row"), 0);
    // By now the first was failed twice or more; the kept one never was.
    ASSERT_TRUE(inst.WaitForLog(missed, 2, 15000));
    EXPECT_EQ(inst.CountLines("Server [127.0.0.1]:" + std::to_string(inst.port(1)) + " sent no"), 0);
    EXPECT_EQ(inst.ServerPid(inst.port(1)), kept);
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

// Sends `message` to the datagram socket at `path` from this process; true when it went.
bool SendDatagram(const std::string& path, const std::string& message)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool sent = fd >= 0 && sendto(fd, message.data(), message.size(), 0,
                                  reinterpret_cast<sockaddr*>(&address), sizeof address) ==
                               static_cast<ssize_t>(message.size());
    if (fd >= 0)
        close(fd);
    return sent;
}

// A READY=1 from outside the server's tree (this test, same user) is
// refused: the server that listens but never says so is given up at its
// time-out, while -start waits for it.
TEST(ServerNotifySlow, ReadyFromOutsideTheServerTreeIsRefused)
{
    Installation inst(Installation::Use::Binary);
    testutil::WriteFile(inst.path("config/tarvelsvc.conf"),
                        "[SERVICE]\nREADINESS=notify\nSTART_TIMEOUT=3\n");
    unsigned short mute = inst.port(1);
    auto start = std::async(std::launch::async, [&] {
        return inst.Ctl({"-start"}, {"APPSRV_NOTIFY_" + std::to_string(inst.port(0)) + "=1"});
    });
    ASSERT_TRUE(testutil::WaitUntil([&] { return testutil::PortOpen(mute); }, 15000));
    EXPECT_TRUE(SendDatagram(inst.path("run/notify"), "READY=1\n"));
    RunResult r = start.get();
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_EQ(r.out, "1 of 2 servers serving; 127.0.0.1:" + std::to_string(mute) +
                         " failed: did not accept connections within 3 s; the service keeps "
                         "trying\n");
    EXPECT_NE(inst.Ctl({"-metrics"}).out.find("tarvel_notify_dropped_total{reason=\"foreign\"} 1\n"),
              std::string::npos);
    EXPECT_EQ(inst.CountLines(", in no server's tree"), 1) << testutil::ReadFile(inst.log());
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

// Kills the server on `port` and waits for its `serving`-th "serving after"
// line; the milliseconds that took, or -1 when it did not come.
long long KillAndTimeRestart(Installation& inst, unsigned short port, int serving)
{
    pid_t killed = inst.ServerPid(port);
    auto began = std::chrono::steady_clock::now();
    if (killed <= 0 || kill(killed, SIGKILL) != 0)
        return -1;
    std::string line = "Server [127.0.0.1]:" + std::to_string(port) + " serving after";
    if (!inst.WaitForLog(line, serving, 15000))
        return -1;
    return static_cast<long long>(testutil::ElapsedMs(began));
}

// One server sends 100,000 datagrams the service does not take while the
// other is killed: the killed one is restarted all the same, and the flood
// is counted. The delay is a figure, not a bound (see bench/).
TEST(ServerNotifySlow, FloodDoesNotKeepAKilledServerDown)
{
    Installation inst(Installation::Use::Binary);
    testutil::WriteFile(inst.path("config/tarvelsvc.conf"), "[SERVICE]\nREADINESS=notify\n");
    unsigned short flooder = inst.port(0), victim = inst.port(1);
    RunResult r = inst.Ctl({"-start"}, {"APPSRV_NOTIFY=1",
                                        "APPSRV_NOTIFY_FLOOD_" + std::to_string(flooder) + "=100000"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err << testutil::ReadFile(inst.log());
    // Killed at once, while the flood runs; then again once it is over, for
    // the figure without it.
    long long during = KillAndTimeRestart(inst, victim, 2);
    const std::string counted = "tarvel_notify_dropped_total{reason=\"unknown\"} 100000\n";
    EXPECT_TRUE(testutil::WaitUntil(
        [&] { return inst.Ctl({"-metrics"}).out.find(counted) != std::string::npos; }, 60000, 200))
        << inst.Ctl({"-metrics"}).out;
    long long after = KillAndTimeRestart(inst, victim, 3);
    std::printf("killed server serving again after %lld ms during the flood, %lld ms after it\n",
                during, after);
    EXPECT_GE(during, 0);
    EXPECT_GE(after, 0);
    EXPECT_EQ(inst.CountLines("Notification socket "), 1) << testutil::ReadFile(inst.log());
    EXPECT_EQ(inst.CountLines("nothing this service takes in \"FLOOD=1"), 1);
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

}  // namespace
