// A child that cannot reach its exec, here started in a frozen cgroup, which
// stops it before it runs: the pass's wait for it is bounded, then it is
// left its slot, and later starts go on; once thawed it execs.
#include "foundation/ProcessLaunch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "baselib/kx_cgroup.h"
#include "common/test_util.h"
#include "foundation/Log.h"

using namespace testutil;

namespace {

bool WriteText(const std::string& path, const std::string& text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (fd >= 0)
        close(fd);
    return written;
}

TEST(ProcessLaunchSlow, AChildStuckBeforeItsExecHoldsItsSlotNotTheService)
{
    TempDir dir;
    const std::string log = dir / "Service.log";
    CLog::setFileName(log.c_str());
    const std::string cgroup = MakeChildCgroup("tarvel-frozen-test-" + std::to_string(getpid()));
    if (cgroup.empty())
        GTEST_SKIP() << "no cgroup v2 directory may be made here";
    const int fd = open(cgroup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    if (!WriteText(cgroup + "/cgroup.freeze", "1")) {
        close(fd);
        rmdir(cgroup.c_str());
        GTEST_SKIP() << "this kernel cannot freeze a cgroup";
    }

    int frozenSeen = 0;
    EXPECT_EQ(KXCgroupFrozen(fd, &frozenSeen), ERROR_NONE);
    EXPECT_EQ(frozenSeen, 1);
    LaunchOptions frozen;
    frozen.command = "/bin/sleep 30";
    frozen.cgroupFd = fd;
    frozen.overlap = true;
    const pid_t stuck = LaunchProcess(frozen);
    close(fd);
    ASSERT_GT(stuck, 0);
    auto finish = std::async(std::launch::async, [] { FinishLaunches(); });
    ASSERT_EQ(finish.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "the pass waited for the frozen child without bound";
    EXPECT_EQ(CountLinesContaining(log, "StartProcess(): pid " + std::to_string(stuck) +
                                            " has not reached its exec within 10 s"),
              1);

    LaunchOptions plain;
    plain.command = "/bin/sleep 30";
    const pid_t next = LaunchProcess(plain);
    ASSERT_GT(next, 0);
    EXPECT_EQ(StatusField(next, "Name"), "sleep");

    // Thawed, it execs; a left slot is only looked at, never waited for.
    EXPECT_TRUE(WriteText(cgroup + "/cgroup.freeze", "0"));
    EXPECT_TRUE(WaitUntil([&] { return StatusField(stuck, "Name") == "sleep"; }, 5000));
    FinishLaunches();
    KillAndReap(stuck);
    KillAndReap(next);
    EXPECT_EQ(rmdir(cgroup.c_str()), 0);
}

}  // namespace
