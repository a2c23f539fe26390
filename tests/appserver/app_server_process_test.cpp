// The command line, the start throttle, the decoding of a child's end and
// the signal guard of one process record.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>

#include "appserver/AppServerProcess.h"
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
    EXPECT_EQ(plain.mState, -1);
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
        p.mState = 1;
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
    EXPECT_EQ(p.mState, 0);
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
    EXPECT_EQ(p.mState, 0);
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
        if (p.mState == 1)
            testutil::KillAndReap(p.mPid);
    }
};

TEST_F(Restart, FiveQuickFailuresHoldBackStartsFor120Seconds)
{
    time_t now = time(nullptr);
    p.mFailCount = 5;
    p.mStartTime = now - 100;
    p.restart();
    EXPECT_EQ(p.mState, -1);
    EXPECT_EQ(p.mStartTime, now - 100);

    p.mFailCount = 4;  // four failures do not throttle
    p.restart();
    EXPECT_EQ(p.mState, 1);
    EXPECT_GE(p.mStartTime, now);
}

TEST_F(Restart, ThrottledRecordStartsAgain120SecondsAfterLastStart)
{
    p.mFailCount = 7;
    p.mStartTime = time(nullptr) - 120;
    p.restart();
    EXPECT_EQ(p.mState, 1);
    EXPECT_TRUE(testutil::ProcessRunning(p.mPid));
    EXPECT_EQ(p.mFailCount, 7);  // only an end changes the count
    EXPECT_EQ(inst.countMessage("Process::start(): started \"" + p.mCommand + "\""), 1);
}

TEST_F(Restart, RunningRecordIsLeftAlone)
{
    p.restart();
    ASSERT_EQ(p.mState, 1);
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

TEST(CBlockAllSignals, BlocksEverythingAndUnblocksEverythingAtTheEnd)
{
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, SIGUSR1);
    sigprocmask(SIG_BLOCK, &one, nullptr);
    {
        CBlockAllSignals guard;
        EXPECT_TRUE(Blocked(SIGCHLD));
        EXPECT_TRUE(Blocked(SIGTERM));
        EXPECT_TRUE(Blocked(SIGUSR1));
    }
    // Unblocked whatever the mask was before the guard.
    EXPECT_FALSE(Blocked(SIGUSR1));
    EXPECT_FALSE(Blocked(SIGCHLD));
}

}  // namespace
