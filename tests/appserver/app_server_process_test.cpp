// The command line, the start throttle, the decoding of a child's end and
// the signal set-up of the supervising process.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <ctime>

#include "appserver/AppServerProcess.h"
#include "shared/manager_peer.h"
#include "servicectl/Signals.h"
#include "foundation/Exceptions.h"
#include "common/installation.h"

using testutil::Installation;

namespace {

std::string CommandWithoutOptions(const Installation& inst, const std::string& tail)
{
    return inst.perl() + " " + inst.script() + tail;
}

TEST(AppServerProcessCommand, BuiltFromEnvironmentOptionsHostPortAndBind)
{
    Installation inst;
    AppServerProcess plain("/base", "", "", 8001, 0);
    EXPECT_EQ(plain.mCommand, CommandWithoutOptions(inst, " -port 8001"));
    EXPECT_EQ(plain.mState, ServerState::Down);
    EXPECT_EQ(plain.mPid, 0);
    EXPECT_EQ(plain.mFailCount, 0);
    EXPECT_EQ(plain.mStartTime, 0);
    EXPECT_TRUE(ManagerTestPeer::dueToStart(plain, AppServerProcess::Clock::now()));
    EXPECT_EQ(plain.mBaseDir, "/base");
    EXPECT_EQ(plain.mPort, 8001);
    EXPECT_EQ(plain.mHost, "");

    AppServerProcess full("/base", "-w -Ilib", "10.0.0.5", 65535, 1);
    EXPECT_EQ(full.mCommand,
              inst.perl() + " -w -Ilib " + inst.script() + " -localip 10.0.0.5 -port 65535 -bind");
    EXPECT_EQ(full.mHost, "10.0.0.5");
}

TEST(AppServerProcessCommand, TrailingSlashOfDirectoriesDropped)
{
    Installation inst;
    setenv("TARVEL_PERL", "/opt/perl/", 1);
    setenv("TARVEL_CARTRIDGES", "/opt/cart/", 1);
    AppServerProcess p("/base", "", "10.0.0.5", 8001, 1);
    EXPECT_EQ(p.mCommand,
              "/opt/perl/bin/perl /opt/cart/DE_TARVEL/WebInterface/Scripts/appsrv.pl -localip "
              "10.0.0.5 -port 8001 -bind");
}

TEST(AppServerProcessCommand, MissingDirectoryVariableThrows)
{
    Installation inst;
    unsetenv("TARVEL_CARTRIDGES");
    EXPECT_THROW(AppServerProcess("/base", "", "", 8001, 0), CWIException);
    setenv("TARVEL_CARTRIDGES", "/c", 1);
    unsetenv("TARVEL_PERL");
    EXPECT_THROW(AppServerProcess("/base", "", "", 8001, 0), CWIException);
}

// onEnd with wait statuses made by hand: the decoding, the failure count
// and the log line do not depend on a real child.
class UpdateTerminated : public ::testing::Test {
protected:
    using Clock = AppServerProcess::Clock;
    Installation inst;
    AppServerProcess p{"/base", "", "", 8001, 0};
    Clock::time_point started = Clock::now();
    void SetUp() override
    {
        ManagerTestPeer::place(p, ServerState::Serving);
        p.mStarted = started;
    }
    void end(int status, int secondsAfterStart)
    {
        ManagerTestPeer::place(p, ServerState::Serving);
        p.onEnd(status, started + std::chrono::seconds(secondsAfterStart));
    }
    std::string line(const std::string& tail)
    {
        return "Process::updateTerminated(): \"" + p.mCommand + "\" " + tail;
    }
};

TEST_F(UpdateTerminated, ExitCodeIsAQuickFailureWithExitStateLine)
{
    end(3 << 8, 59);
    EXPECT_EQ(p.mState, ServerState::Down);
    EXPECT_EQ(p.mStatus, 3 << 8);
    EXPECT_EQ(p.mFailCount, 1);
    EXPECT_EQ(inst.countMessage(line("terminated with exit-state 3")), 1);
}

TEST_F(UpdateTerminated, FailureAfterSixtySecondsResetsCount)
{
    p.mFailCount = 4;
    end(255 << 8, 60);
    EXPECT_EQ(p.mFailCount, 0);
    EXPECT_EQ(inst.countMessage(line("terminated with exit-state 255")), 1);
}

TEST_F(UpdateTerminated, CleanExitResetsCountWithoutLine)
{
    p.mFailCount = 4;
    end(0, 1);
    EXPECT_EQ(p.mState, ServerState::Down);
    EXPECT_EQ(p.mFailCount, 0);
    EXPECT_TRUE(inst.messages().empty());
}

TEST_F(UpdateTerminated, CoreFlagGivesSegmentationFaultLineWhateverTheSignal)
{
    end(0x80 | SIGABRT, 1);
    EXPECT_EQ(p.mFailCount, 1);
    EXPECT_EQ(inst.countMessage(line("terminated due to a segmentation fault (core dumped)")), 1);
    EXPECT_EQ(inst.messages().size(), 1u);
}

TEST_F(UpdateTerminated, SignalGivesUnhandledSignalLine)
{
    end(SIGKILL, 1);
    EXPECT_EQ(p.mFailCount, 1);
    end(SIGTERM, 1);
    EXPECT_EQ(p.mFailCount, 2);
    EXPECT_EQ(inst.countMessage(line("terminated due to an unhandled signal #9")), 1);
    EXPECT_EQ(inst.countMessage(line("terminated due to an unhandled signal #15")), 1);
}

// The throttle as the record lives it, with real starts of the stub perl
// (a sleeping child) and ends made by hand.
class Restart : public ::testing::Test {
protected:
    using Clock = AppServerProcess::Clock;
    Installation inst;
    AppServerProcess p{"/base", "", "", 8001, 0};
    void TearDown() override
    {
        if (HasProcess(p.mState))
            testutil::KillAndReap(p.mPid);
    }
    // Starts the record and has its process fail quickly `times` times.
    void failQuickly(int times)
    {
        for (int i = 0; i < times; ++i) {
            ASSERT_TRUE(ManagerTestPeer::dueToStart(p, Clock::now())) << i;
            p.start(Clock::now());
            ASSERT_EQ(p.mState, ServerState::Serving);
            testutil::KillAndReap(p.mPid);
            p.onEnd(SIGKILL, Clock::now());
        }
    }
};

// Five quick failures hold the next start back until 120 s after the last
// start, with one line; a minute of running lifts the throttle, with one line.
TEST_F(Restart, ThrottleIsLoggedWhenItHoldsAndWhenItIsLifted)
{
    const std::string holds = "Process::restart(): \"" + p.mCommand +
                              "\" failed 5 times within 60 s; next start in 120 s";
    const std::string lifted = "Process::restart(): \"" + p.mCommand + "\" runs again; throttle lifted";
    failQuickly(4);
    EXPECT_EQ(p.mState, ServerState::Down);
    failQuickly(1);
    ASSERT_EQ(p.mState, ServerState::Throttled);
    EXPECT_EQ(p.mFailCount, 5);
    EXPECT_EQ(p.mDeadline, p.mStarted + std::chrono::seconds(120));
    EXPECT_FALSE(ManagerTestPeer::dueToStart(p, Clock::now()));
    EXPECT_EQ(p.throttledUntil(), p.mStartTime + 120);
    EXPECT_EQ(inst.countMessage(holds), 1);

    p.onDeadline(Clock::now());  // the loop calls it once the deadline has come
    ASSERT_TRUE(ManagerTestPeer::dueToStart(p, Clock::now()));
    p.start(Clock::now());
    ASSERT_EQ(p.mState, ServerState::Serving);
    EXPECT_EQ(p.mRestarts, 5u);
    EXPECT_EQ(p.mDeadline, p.mStarted + std::chrono::seconds(60));
    p.onDeadline(Clock::now());
    EXPECT_EQ(p.mFailCount, 0);
    EXPECT_EQ(p.mDeadline, Clock::time_point::max());
    EXPECT_EQ(inst.countMessage(lifted), 1);
    EXPECT_EQ(inst.countMessage(holds), 1);
}

TEST_F(Restart, FailedForkIsCountedAndTriedAgainASecondLater)
{
    // A real fork failure needs a process limit (supervision_test.cpp); what
    // follows it is the table's.
    ServerFacts facts;
    const ServerRow* t = FindRow(ServerState::Starting, ServerEvent::ForkFailed, facts);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->next, ServerState::Down);
    EXPECT_EQ(t->base, DeadlineBase::Now);
    EXPECT_EQ(ServerWait(t->wait, std::chrono::seconds(60)), std::chrono::seconds(1));
    EXPECT_EQ(t->announce, Announcement::Failed);
    facts.failureThrottles = true;
    t = FindRow(ServerState::Starting, ServerEvent::ForkFailed, facts);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->next, ServerState::Throttled);
    EXPECT_EQ(t->base, DeadlineBase::LastStart);
    EXPECT_EQ(ServerWait(t->wait, std::chrono::seconds(60)), std::chrono::seconds(120));
}

TEST_F(Restart, RunningRecordIsNotStartedTwice)
{
    p.start(Clock::now());
    ASSERT_EQ(p.mState, ServerState::Serving);
    EXPECT_FALSE(ManagerTestPeer::dueToStart(p, Clock::now()));
    EXPECT_TRUE(testutil::ProcessRunning(p.mPid));
    EXPECT_EQ(inst.countMessage("Process::start(): started \"" + p.mCommand + "\""), 1);
}

bool Blocked(int sig)
{
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, sig) == 1;
}

// Blocked for good (no handler runs for them; the loop reads them), and
// nothing else: a fault signal blocked would kill the process outright.
TEST(WatchSignals, BlocksChildAndTerminationSignalsOnly)
{
    servicectl::WatchSignals();
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGABRT, SIGPWR, SIGHUP})
        EXPECT_TRUE(Blocked(sig)) << sig;
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGUSR1})
        EXPECT_FALSE(Blocked(sig)) << sig;
    EXPECT_GE(servicectl::SignalDescriptor(), 0);
}

}  // namespace
