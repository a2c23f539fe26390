// A daemon that does not end after SIGTERM gets 60 seconds before SIGKILL.
#include "fake/fake_fixture.h"

#include <fcntl.h>
#include <stdlib.h>

namespace {

using faketest::FakeService;

TEST(StopSlow, DaemonIgnoringTermIsKilledAfterItsGentleStopTime)
{
    testutil::BecomeSubreaper();
    testutil::TempDir dir;
    FakeService fake(dir.path());
    ASSERT_EQ(fake.Ctl({"-start"}, {"FAKE_IGNORE_TERM=1"}).exitCode, 0);
    pid_t daemon = fake.WaitForDaemon();
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(fake.WaitForLog("FAKE service runs"));

    auto begin = std::chrono::steady_clock::now();
    auto stopped = fake.Ctl({"-stop"}, {}, 120000);
    long elapsed = faketest::ElapsedMs(begin);
    // Killed in the middle of its stop: what it started may still run.
    EXPECT_EQ(stopped.exitCode, 1);
    EXPECT_NE(stopped.err.find("] did not stop within 60 s and was killed"), std::string::npos)
        << stopped.err;
    EXPECT_GE(elapsed, 60000);
    EXPECT_LT(elapsed, 65000);
    int status = FakeService::WaitForExit(daemon);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    // The controller cleared the slot the killed daemon could not.
    EXPECT_TRUE(fake.Slots().empty());
}

}  // namespace

// On a terminal, -stop says every 5 s that it is still waiting.
TEST(StopSlow, StopOnATerminalSaysItIsWaiting)
{
    testutil::BecomeSubreaper();
    testutil::TempDir dir;
    FakeService fake(dir.path());
    ASSERT_EQ(fake.Ctl({"-start"}, {"FAKE_STOP_MS=6000"}).exitCode, 0);
    pid_t daemon = fake.WaitForDaemon();
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(fake.WaitForLog("FAKE service runs"));

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string terminal = ptsname(master);
    pid_t stop = testutil::Spawn({fake.exe(), "-stop"}, {"FAKE_LOG=" + dir / "service.log"},
                                 "/dev/null", terminal);
    ASSERT_GT(stop, 0);
    int status = FakeService::WaitForExit(stop, 20000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    fcntl(master, F_SETFL, O_NONBLOCK);
    char buffer[512];
    ssize_t n = read(master, buffer, sizeof buffer);
    std::string said = n > 0 ? std::string(buffer, size_t(n)) : "";
    EXPECT_EQ(said, "waiting for daemon " + std::to_string(daemon) + " to stop (5 s)\r\n");
    close(master);
}
