// A daemon that does not end after SIGTERM gets 60 seconds before SIGKILL.
#include "fake/fake_fixture.h"

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
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    EXPECT_GE(elapsed, 60000);
    EXPECT_LT(elapsed, 65000);
    int status = FakeService::WaitForExit(daemon);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    // The controller cleared the slot the killed daemon could not.
    EXPECT_TRUE(fake.Slots().empty());
}

}  // namespace
