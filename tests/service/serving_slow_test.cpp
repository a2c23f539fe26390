// The start time-out and the liveness probe in real time: a server that
// never listens is given up after its time-out and throttled like any quick
// failure; a server that hangs with its port open is restarted by the HTTP
// liveness probe.
#include <gtest/gtest.h>
#include <signal.h>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

std::string Endpoint(unsigned short port)
{
    return "127.0.0.1:" + std::to_string(port);
}

TEST(ServingSlow, ServerThatNeverListensIsStoppedAfterTheStartTimeOutAndThrottled)
{
    Installation inst(Installation::Use::Binary);
    testutil::WriteFile(inst.path("config/tarvelsvc.conf"), "[SERVICE]\nSTART_TIMEOUT=1\n");
    unsigned short mute = inst.port(1);
    RunResult r = inst.Ctl({"-start"}, {"APPSRV_LISTEN_DELAY_" + std::to_string(mute) + "=1000"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "1 of 2 servers serving; " + Endpoint(mute) +
                         " failed: did not accept connections within 1 s; the service keeps "
                         "trying\n")
        << r.err;
    const std::string gaveUp =
        "Server [127.0.0.1]:" + std::to_string(mute) + " did not accept connections within 1 s";
    ASSERT_TRUE(inst.WaitForLog("failed 5 times within 60 s; next start in 120 s", 1, 30000))
        << testutil::ReadFile(inst.log());
    EXPECT_EQ(inst.CountLines(gaveUp), 5);
    // Each was ended through the stop sequence: it does not listen, so the
    // request found no one and SIGTERM followed at once.
    EXPECT_EQ(inst.CountLines("Failed to shut down"), 0);
    std::string object = inst.ServerObject(mute);
    EXPECT_NE(object.find("\"state\": \"throttled\""), std::string::npos) << object;
    EXPECT_NE(object.find("\"ready\": false"), std::string::npos) << object;
    EXPECT_NE(inst.ServerObject(inst.port(0)).find("\"state\": \"serving\""), std::string::npos);
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

TEST(ServingSlow, HungHttpServerIsRestartedByTheLivenessProbe)
{
    Installation inst(Installation::Use::Binary);
    testutil::WriteFile(inst.path("config/tarvelsvc.conf"),
                        "[SERVICE]\nLIVENESS=http\nLIVENESS_PATH=/\nLIVENESS_INTERVAL=1\n"
                        "LIVENESS_TIMEOUT=1\nLIVENESS_FAILURES=3\n");
    ASSERT_EQ(inst.Ctl({"-start"}).exitCode, 0);
    unsigned short port = inst.port(0);
    std::string before = inst.ServerObject(port);
    std::vector<pid_t> servers = inst.Servers();
    ASSERT_EQ(servers.size(), 2u);
    pid_t hung = 0;
    for (pid_t pid : servers)
        if (before.find("\"pid\": " + std::to_string(pid) + ",") != std::string::npos)
            hung = pid;
    ASSERT_GT(hung, 0) << before;
    ASSERT_EQ(kill(hung, SIGUSR1), 0);

    // Not answering first, then restarted after the third failure in a row.
    ASSERT_TRUE(testutil::WaitUntil(
        [&] { return inst.ServerObject(port).find("\"state\": \"not answering\"") != std::string::npos; },
        5000));
    const std::string restarting = "Server [127.0.0.1]:" + std::to_string(port) +
                                   " failed 3 liveness probes in a row; restarting it";
    ASSERT_TRUE(inst.WaitForLog(restarting, 1, 15000)) << testutil::ReadFile(inst.log());
    // A hung server could not answer a shutdown request that the kernel
    // would still queue: SIGTERM comes at once, and no request is sent.
    ASSERT_TRUE(testutil::WaitUntil([&] { return !testutil::ProcessRunning(hung); }, 45000));
    EXPECT_EQ(inst.CountLines("Failed to shut down application server at [127.0.0.1]:" +
                              std::to_string(port) + " after 30 sec."),
              0);
    ASSERT_TRUE(testutil::WaitUntil(
        [&] { return inst.ServerObject(port).find("\"state\": \"serving\"") != std::string::npos; },
        10000));
    std::string after = inst.ServerObject(port);
    EXPECT_EQ(after.find("\"pid\": " + std::to_string(hung) + ","), std::string::npos) << after;
    EXPECT_NE(after.find("\"restarts\": 1,"), std::string::npos) << after;
    EXPECT_NE(after.find("\"probe_failures\": 0"), std::string::npos) << after;
    EXPECT_EQ(inst.CountLines("Server [127.0.0.1]:" + std::to_string(port) + " not answering: "), 1);
    // The other server was never touched.
    EXPECT_EQ(inst.CountLines(restarting), 1);
    EXPECT_EQ(inst.CountLines("liveness probes in a row"), 1);
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

}  // namespace
