// Gentle stop of servers that ignore the request: each is given 30 seconds,
// all at the same time, then left to the hard stop's SIGTERM.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "appserver/AppServerManager.h"
#include "common/test_util.h"
#include "gentle_stop_fixture.h"

namespace {

using gentlestop::Behaviour;
using Clock = std::chrono::steady_clock;

class GentleStopSlowTest : public gentlestop::Fixture {
protected:
    // Starts n servers that ignore the request, runs the gentle stop and
    // returns its duration in seconds.
    double StopIgnoringServers(int n)
    {
        for (int i = 0; i < n; ++i) {
            peers.push_back(gentlestop::StartPeer("127.0.0.1", Behaviour::IgnoreRequest));
            AppServerProcess record(dir.path(), "", "127.0.0.1", peers.back().port, 0);
            ManagerTestPeer::place(record, ServerState::Serving, peers.back().pid);
            ManagerTestPeer::add(*manager, record);
        }
        auto start = Clock::now();
        manager->stopServers();
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    std::string FailureLine(const gentlestop::Peer& peer)
    {
        return "Failed to shut down application server at [127.0.0.1]:" +
               std::to_string(peer.port) + " after 30 sec. (0)";
    }

    // SIGTERM ended what the request could not.
    void ExpectHardStopTerminates()
    {
        for (const auto& record : manager->processes()) {
            EXPECT_EQ(record.mState, ServerState::Down);
            int status = record.mStatus;
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        }
    }

};

TEST_F(GentleStopSlowTest, ServerThatIgnoresTheRequestGetsThirtySecondsThenSIGTERM)
{
    double seconds = StopIgnoringServers(1);
    EXPECT_GE(seconds, 29.9);
    EXPECT_LE(seconds, 31.5);
    EXPECT_EQ(testutil::CountLinesContaining(logPath, FailureLine(peers[0])), 1)
        << testutil::ReadFile(logPath);
    // Besides, only the progress line every 5 s naming the server while the
    // request's 30 s run.
    int progress = testutil::CountLinesContaining(
        logPath, "gentleStopServers(): waiting for 1 server(s): 127.0.0.1:" +
                     std::to_string(peers[0].port));
    EXPECT_GE(progress, 5) << testutil::ReadFile(logPath);
    EXPECT_LE(progress, 6) << testutil::ReadFile(logPath);
    EXPECT_EQ(testutil::ReadLines(logPath).size(), 1u + progress) << testutil::ReadFile(logPath);
    ExpectHardStopTerminates();
}

TEST_F(GentleStopSlowTest, TwoServersThatIgnoreItTakeThirtySecondsNotSixty)
{
    double seconds = StopIgnoringServers(2);
    EXPECT_GE(seconds, 29.9);
    EXPECT_LE(seconds, 32.0);
    for (const auto& peer : peers)
        EXPECT_EQ(testutil::CountLinesContaining(logPath, FailureLine(peer)), 1)
            << testutil::ReadFile(logPath);
    ExpectHardStopTerminates();
}

}  // namespace
