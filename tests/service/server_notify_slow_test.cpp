// The notification socket under way: a server that stops sending WATCHDOG=1
// is restarted through the stop sequence, and a server flooding the socket
// does not keep the loop from restarting another.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

// The JSON object of the server on `port` in -servers -json.
std::string ObjectOf(Installation& inst, unsigned short port)
{
    RunResult r = inst.Ctl({"-servers", "-json"});
    size_t at = r.out.find("\"port\": " + std::to_string(port) + ",");
    return at == std::string::npos ? "" : r.out.substr(at, r.out.find('}', at) - at);
}

pid_t PidOf(Installation& inst, unsigned short port)
{
    std::string object = ObjectOf(inst, port);
    size_t at = object.find("\"pid\": ");
    return at == std::string::npos ? 0 : static_cast<pid_t>(std::stol(object.substr(at + 7)));
}

// The demo never sends WATCHDOG=1: a second after it serves, it is asked to
// shut down (the request, not a signal) and started again.
TEST(ServerNotifySlow, MissedWatchdogRestartsThroughTheStopSequence)
{
    Installation inst(Installation::Use::Binary);
    testutil::WriteFile(inst.path("config/tarvelsvc.conf"),
                        "[SERVICE]\nREADINESS=notify\nLIVENESS=watchdog\nLIVENESS_INTERVAL=1\n");
    std::string notes = inst.path("notes.log");
    RunResult r = inst.Ctl({"-start"}, {"APPSRV_NOTIFY=1", "APPSRV_LOG=" + notes});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err << testutil::ReadFile(inst.log());
    unsigned short port = inst.port(0);
    pid_t first = PidOf(inst, port);
    std::string missed =
        "Server [127.0.0.1]:" + std::to_string(port) + " sent no WATCHDOG=1 within 1 s; restarting it";
    ASSERT_TRUE(inst.WaitForLog(missed, 1, 15000)) << testutil::ReadFile(inst.log());
    ASSERT_TRUE(testutil::WaitUntil(
        [&] {
            std::string object = ObjectOf(inst, port);
            return object.find("\"state\": \"serving\"") != std::string::npos &&
                   PidOf(inst, port) != first;
        },
        15000));
    EXPECT_NE(testutil::ReadFile(notes).find(std::to_string(first) + "] 127.0.0.1:" +
                                             std::to_string(port) +
                                             " shutdown request received, exiting"),
              std::string::npos)
        << testutil::ReadFile(notes);
    EXPECT_EQ(inst.CountLines("Failed to shut down"), 0);
    EXPECT_EQ(inst.CountLines("liveness probes in a row"), 0);
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
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
    pid_t killed = PidOf(inst, victim);
    ASSERT_GT(killed, 0);
    std::string before = inst.Ctl({"-metrics"}).out;
    size_t at = before.find("tarvel_notify_dropped_total{reason=\"unknown\"} ");
    std::printf("%s", at == std::string::npos ? "no count\n" : before.substr(at, before.find('\n', at) + 1 - at).c_str());
    auto began = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(killed, SIGKILL), 0);
    std::string serving = "Server [127.0.0.1]:" + std::to_string(victim) + " serving after";
    ASSERT_TRUE(inst.WaitForLog(serving, 2, 15000)) << testutil::ReadFile(inst.log());
    std::printf("killed server serving again after %lld ms during the flood\n",
                static_cast<long long>(testutil::ElapsedMs(began)));
    // Every datagram is read and counted; the log tells of them at most once a minute.
    const std::string counted = "tarvel_notify_dropped_total{reason=\"unknown\"} 100000\n";
    EXPECT_TRUE(testutil::WaitUntil(
        [&] { return inst.Ctl({"-metrics"}).out.find(counted) != std::string::npos; }, 60000, 200))
        << inst.Ctl({"-metrics"}).out;
    EXPECT_EQ(inst.CountLines("Notification socket "), 1) << testutil::ReadFile(inst.log());
    EXPECT_EQ(inst.CountLines("nothing this service takes in \"FLOOD=1"), 1);
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

}  // namespace
