// The restart throttle in real time, driven like the service loop: a server
// that fails fast five times in a row is tried again only 120 seconds after
// its last start, and a run of 60 seconds or more clears its record.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <functional>

#include "appserver/AppServerManager.h"
#include "common/installation.h"
#include "local_table.h"
#include "shared/manager_peer.h"

using testutil::Installation;

namespace {

TEST(Throttle, FiveQuickFailuresThenOneTryPer120SecondsAndALongRunResets)
{
    Installation inst;
    CAppServerManager manager;
    BuildLocalTable(inst, manager, "8001");
    const AppServerProcess& p = manager.processes()[0];
    const std::string started = "Process::start(): started \"" + p.mCommand + "\"";

    // One pass of the service loop until the condition holds; bounded.
    auto loopUntil = [&](const std::function<bool()>& done, int seconds) {
        time_t end = time(nullptr) + seconds;
        while (!done() && time(nullptr) < end) {
            manager.startServers();
            manager.waitAndUpdateTerminated(1000);
        }
        return done();
    };

    setenv("STUB_EXIT", "1", 1);
    ASSERT_TRUE(loopUntil([&] { return p.mFailCount == 5 && p.mState == ServerState::Throttled; }, 60));
    EXPECT_EQ(inst.countMessage(started), 5);
    EXPECT_EQ(inst.countMessage("Process::updateTerminated(): \"" + p.mCommand +
                                "\" terminated with exit-state 1"),
              5);
    time_t fifth = p.mStartTime;

    // From now on the server would run; the throttle still holds it back.
    unsetenv("STUB_EXIT");
    ASSERT_TRUE(loopUntil([&] { return p.mState == ServerState::Serving; }, 130));
    EXPECT_GE(p.mStartTime, fifth + 120);
    EXPECT_LE(p.mStartTime, fifth + 122);
    EXPECT_EQ(inst.countMessage(started), 6);
    EXPECT_EQ(p.mFailCount, 5);
    const std::string holds =
        "Process::restart(): \"" + p.mCommand + "\" failed 5 times within 60 s; next start in 120 s";
    const std::string lifted = "Process::restart(): \"" + p.mCommand + "\" runs again; throttle lifted";
    EXPECT_EQ(inst.countMessage(holds), 1);
    EXPECT_EQ(inst.countMessage(lifted), 0);

    // A signal after 60 seconds of running is a failure, but not a quick one.
    time_t sixth = p.mStartTime;
    loopUntil([&] { return time(nullptr) >= sixth + 61; }, 70);
    ASSERT_EQ(p.mState, ServerState::Serving);
    EXPECT_EQ(inst.countMessage(lifted), 1);
    EXPECT_EQ(p.mFailCount, 0);
    kill(p.mPid, SIGKILL);
    ASSERT_TRUE(loopUntil([&] { return p.mState == ServerState::Down; }, 10));
    EXPECT_EQ(p.mFailCount, 0);
    manager.startServers();
    EXPECT_EQ(p.mState, ServerState::Serving);
    EXPECT_EQ(inst.countMessage(started), 7);
    manager.stopServers();
}

}  // namespace
