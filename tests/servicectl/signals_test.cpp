// Termination signals to a service running in the foreground (-console).
#include "fake/fake_fixture.h"

namespace {

using faketest::FakeService;

class Console : public ::testing::Test {
protected:
    pid_t StartConsole(const std::vector<std::string>& env = {})
    {
        std::vector<std::string> fullEnv{"FAKE_LOG=" + mFake.log()};
        fullEnv.insert(fullEnv.end(), env.begin(), env.end());
        pid_t pid = testutil::Spawn({mFake.exe(), "-console"}, fullEnv);
        mChildren.push_back(pid);
        EXPECT_TRUE(mFake.WaitForLog("FAKE service runs"));
        return pid;
    }
    ~Console() override
    {
        for (pid_t pid : mChildren)
            testutil::KillAndReap(pid);
    }

    testutil::TempDir mDir;
    FakeService mFake{mDir.path()};
    std::vector<pid_t> mChildren;
};

// True while `signal` is pending for the process: the service blocks it
// until its own thread reads it.
bool Pending(pid_t pid, int signal)
{
    for (const auto& line : testutil::ReadLines("/proc/" + std::to_string(pid) + "/status"))
        if (line.rfind("ShdPnd:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) & (1ull << (signal - 1))) != 0;
    return false;
}

class Signals : public Console, public ::testing::WithParamInterface<int> {};

// Each of these stops the service gracefully, and is logged once by the
// service before its last line.
TEST_P(Signals, StopsGracefully)
{
    int signal = GetParam();
    pid_t pid = StartConsole();
    ASSERT_EQ(kill(pid, signal), 0);
    int status = FakeService::WaitForExit(pid, 5000);
    ASSERT_NE(status, -1) << "did not stop";
    ASSERT_TRUE(WIFEXITED(status)) << "killed by " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string line = "] Signal received: " + std::to_string(signal);
    EXPECT_EQ(mFake.CountLines(line), 1);
    EXPECT_EQ(mFake.CountLines("Signal received"), 1);
    EXPECT_EQ(mFake.CountLines("FAKE service stops"), 1);
    EXPECT_LT(mFake.LineOf(line), mFake.LineOf("FAKE service stops"));
}

INSTANTIATE_TEST_SUITE_P(Termination, Signals,
                         ::testing::Values(SIGTERM, SIGINT, SIGPWR, SIGFPE, SIGILL, SIGABRT));

TEST_F(Console, SignalsDuringTheStopAreEachLoggedOnce)
{
    pid_t pid = StartConsole({"FAKE_STOP_MS=1000"});
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    ASSERT_TRUE(mFake.WaitForLog("FAKE service stopping"));
    ASSERT_EQ(kill(pid, SIGINT), 0);
    ASSERT_EQ(kill(pid, SIGPWR), 0);
    int status = FakeService::WaitForExit(pid, 5000);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    int stops = mFake.LineOf("FAKE service stops");
    for (int signal : {SIGTERM, SIGINT, SIGPWR}) {
        std::string line = "] Signal received: " + std::to_string(signal);
        EXPECT_EQ(mFake.CountLines(line), 1) << signal;
        EXPECT_LT(mFake.LineOf(line), stops) << signal;
    }
}

// SIGHUP is a reload request read by the service thread, never a stop,
// even when the caller left it at its default action.
TEST_F(Console, HangupIsReadAsAReloadRequestNotAStop)
{
    struct sigaction previous, fallback;
    memset(&fallback, 0, sizeof fallback);
    fallback.sa_handler = SIG_DFL;
    sigaction(SIGHUP, &fallback, &previous);
    pid_t pid = StartConsole();
    sigaction(SIGHUP, &previous, nullptr);
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_TRUE(mFake.WaitForLog("Signal received: 1; reloading the configuration"));
    EXPECT_TRUE(testutil::ProcessRunning(pid));
    EXPECT_EQ(mFake.CountLines("FAKE service stops"), 0);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = FakeService::WaitForExit(pid, 5000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Console, SegvAndBusEndTheProcessAtOnce)
{
    for (int signal : {SIGSEGV, SIGBUS}) {
        testutil::WriteFile(mFake.log(), "");
        // A SIGTERM just before is still logged, before the fatal one.
        pid_t pid = StartConsole({"FAKE_STOP_MS=3000"});
        ASSERT_EQ(kill(pid, SIGTERM), 0);
        ASSERT_TRUE(mFake.WaitForLog("FAKE service stopping"));
        ASSERT_EQ(kill(pid, SIGINT), 0);
        // Arrived before the fatal one; still unread, it is logged first.
        ASSERT_TRUE(testutil::WaitUntil([&] { return Pending(pid, SIGINT); }, 2000, 5));
        ASSERT_EQ(kill(pid, signal), 0);
        int status = FakeService::WaitForExit(pid, 2000);
        ASSERT_TRUE(WIFEXITED(status)) << signal;
        EXPECT_EQ(WEXITSTATUS(status), 1) << signal;
        std::string number = std::to_string(signal);
        EXPECT_EQ(mFake.CountLines("] Signal received: " + number), 1) << signal;
        EXPECT_EQ(mFake.CountLines("] Shutting down due to signal " + number), 1) << signal;
        EXPECT_EQ(mFake.CountLines("] Signal received: 2"), 1) << signal;
        EXPECT_LT(mFake.LineOf("Signal received: 2"), mFake.LineOf("Signal received: " + number));
        EXPECT_LT(mFake.LineOf("Signal received: " + number),
                  mFake.LineOf("Shutting down due to signal"));
        EXPECT_EQ(mFake.CountLines("FAKE service stops"), 0) << signal;
    }
}

// A SIGILL raised by the service's own instruction: the handler must not
// return into that instruction again and again.
TEST_F(Console, FaultingInstructionEndsTheProcessAtOnce)
{
    pid_t pid = StartConsole({"FAKE_TRAP=1"});
    int status = FakeService::WaitForExit(pid, 2000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(mFake.CountLines("] Signal received: 4"), 1);
    EXPECT_EQ(mFake.CountLines("] Shutting down due to signal 4"), 1);
}

}  // namespace
