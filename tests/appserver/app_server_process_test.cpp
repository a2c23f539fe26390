// The command line, the start throttle, the decoding of a child's end and
// the signal set-up of the supervising process.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>

#include "appserver/AppServerProcess.h"
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
    EXPECT_EQ(plain.mState, ServerState::NotStarted);
    EXPECT_EQ(plain.mPid, 0);
    EXPECT_EQ(plain.mFailCount, 0);
    EXPECT_EQ(plain.mStartTime, 0);
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

// updateTerminated with wait statuses made by hand: the decoding, the
// failure count and the log line do not depend on a real child.
class UpdateTerminated : public ::testing::Test {
protected:
    Installation inst;
    AppServerProcess p{"/base", "", "", 8001, 0};
    void SetUp() override
    {
        p.mState = ServerState::Running;
        p.mStartTime = 1000;
    }
    std::string line(const std::string& tail)
    {
        return "Process::updateTerminated(): \"" + p.mCommand + "\" " + tail;
    }
};

TEST_F(UpdateTerminated, ExitCodeIsAQuickFailureWithExitStateLine)
{
    p.updateTerminated(3 << 8, 1059);
    EXPECT_EQ(p.mState, ServerState::Ended);
    EXPECT_EQ(p.mStatus, 3 << 8);
    EXPECT_EQ(p.mFailCount, 1);
    EXPECT_EQ(inst.countMessage(line("terminated with exit-state 3")), 1);
}

TEST_F(UpdateTerminated, FailureAfterSixtySecondsResetsCount)
{
    p.mFailCount = 4;
    p.updateTerminated(255 << 8, 1060);
    EXPECT_EQ(p.mFailCount, 0);
    EXPECT_EQ(inst.countMessage(line("terminated with exit-state 255")), 1);
}

TEST_F(UpdateTerminated, CleanExitResetsCountWithoutLine)
{
    p.mFailCount = 4;
    p.updateTerminated(0, 1001);
    EXPECT_EQ(p.mState, ServerState::Ended);
    EXPECT_EQ(p.mFailCount, 0);
    EXPECT_TRUE(inst.messages().empty());
}

TEST_F(UpdateTerminated, CoreFlagGivesSegmentationFaultLineWhateverTheSignal)
{
    p.updateTerminated(0x80 | SIGABRT, 1001);
    EXPECT_EQ(p.mFailCount, 1);
    EXPECT_EQ(inst.countMessage(line("terminated due to a segmentation fault (core dumped)")), 1);
    EXPECT_EQ(inst.messages().size(), 1u);
}

TEST_F(UpdateTerminated, SignalGivesUnhandledSignalLine)
{
    p.updateTerminated(SIGKILL, 1001);
    EXPECT_EQ(p.mFailCount, 1);
    p.updateTerminated(SIGTERM, 1001);
    EXPECT_EQ(p.mFailCount, 2);
    EXPECT_EQ(inst.countMessage(line("terminated due to an unhandled signal #9")), 1);
    EXPECT_EQ(inst.countMessage(line("terminated due to an unhandled signal #15")), 1);
}

// The throttle decides before fork, so it is tested on records whose start
// time is set by hand; a real start uses the stub perl (a sleeping child).
class Restart : public ::testing::Test {
protected:
    Installation inst;
    AppServerProcess p{"/base", "", "", 8001, 0};
    void TearDown() override
    {
        if (p.mState == ServerState::Running)
            testutil::KillAndReap(p.mPid);
    }
};

TEST_F(Restart, FiveQuickFailuresHoldBackStartsFor120Seconds)
{
    time_t now = time(nullptr);
    p.mFailCount = 5;
    p.mStartTime = now - 100;
    p.restart();
    EXPECT_EQ(p.mState, ServerState::NotStarted);
    EXPECT_EQ(p.mStartTime, now - 100);

    p.mFailCount = 4;  // four failures do not throttle
    p.restart();
    EXPECT_EQ(p.mState, ServerState::Running);
    EXPECT_GE(p.mStartTime, now);
}

// The throttle's start is logged once per hold, and its end once the
// restarted server has run for a minute; the loop is told when to look.
TEST_F(Restart, ThrottleIsLoggedWhenItHoldsAndWhenItIsLifted)
{
    const std::string holds = "Process::restart(): \"" + p.mCommand +
                              "\" failed 5 times within 60 s; next start in 120 s";
    const std::string lifted = "Process::restart(): \"" + p.mCommand + "\" runs again; throttle lifted";
    time_t now = time(nullptr);
    p.mState = ServerState::Ended;
    p.mFailCount = 5;
    p.mStartTime = now - 10;
    EXPECT_EQ(p.nextDeadline(), now - 10 + 120);
    p.restart();
    p.restart();
    EXPECT_EQ(p.mState, ServerState::Ended);
    EXPECT_EQ(inst.countMessage(holds), 1);

    p.mStartTime = now - 120;
    p.restart();
    ASSERT_EQ(p.mState, ServerState::Running);
    EXPECT_EQ(p.mRestarts, 0u);
    EXPECT_EQ(p.nextDeadline(), p.mStartTime + 60);
    EXPECT_FALSE(p.liftThrottle(p.mStartTime + 59));
    EXPECT_TRUE(p.liftThrottle(p.mStartTime + 60));
    EXPECT_FALSE(p.liftThrottle(p.mStartTime + 61));
    EXPECT_EQ(p.mFailCount, 0);
    EXPECT_EQ(p.nextDeadline(), 0);
    EXPECT_EQ(inst.countMessage(lifted), 1);
    EXPECT_EQ(inst.countMessage(holds), 1);
}

TEST_F(Restart, ThrottledRecordStartsAgain120SecondsAfterLastStart)
{
    p.mFailCount = 7;
    p.mStartTime = time(nullptr) - 120;
    p.restart();
    EXPECT_EQ(p.mState, ServerState::Running);
    EXPECT_TRUE(testutil::ProcessRunning(p.mPid));
    EXPECT_EQ(p.mFailCount, 7);  // only an end changes the count
    EXPECT_EQ(inst.countMessage("Process::start(): started \"" + p.mCommand + "\""), 1);
}

TEST_F(Restart, RunningRecordIsLeftAlone)
{
    p.restart();
    ASSERT_EQ(p.mState, ServerState::Running);
    pid_t first = p.mPid;
    time_t started = p.mStartTime;
    p.restart();
    EXPECT_EQ(p.mPid, first);
    EXPECT_EQ(p.mStartTime, started);
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
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGABRT, SIGPWR})
        EXPECT_TRUE(Blocked(sig)) << sig;
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGUSR1, SIGHUP})
        EXPECT_FALSE(Blocked(sig)) << sig;
    EXPECT_GE(servicectl::SignalDescriptor(), 0);
}

}  // namespace
