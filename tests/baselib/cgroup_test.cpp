// cgroup v2 containment: finding the hierarchy and the service's place in
// it, and a server's cgroup with a tree inside (a setsid helper cannot leave
// it), killed whole, its emptiness seen through cgroup.events. The live part
// skips, saying why, where the machine gives no usable cgroup.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "baselib/kx_cgroup.h"
#include "baselib/kx_cgroupusage.h"
#include "tree_fixture.h"

namespace {

TEST(CgroupPlace, TheUnifiedMountAndTheOwnCgroupAreFoundInTheirTexts)
{
    const char mountinfo[] =
        "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
        "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
        "41 31 0:38 / /sys/fs/cgroup/uni\\040fied rw,relatime shared:9 - cgroup2 cgroup2 rw\n";
    char mount[64];
    ASSERT_EQ(KXCgroupParseMountinfo(mountinfo, mount, sizeof mount), ERROR_NONE);
    EXPECT_STREQ(mount, "/sys/fs/cgroup/uni fied");
    EXPECT_EQ(KXCgroupParseMountinfo(mountinfo, mount, 8), ERROR_BUFFER_SIZE);
    EXPECT_EQ(KXCgroupParseMountinfo("32 31 0:29 / /x rw - cgroup cgroup rw\n", mount, 64),
              ERROR_NOT_FOUND);

    char own[64];
    ASSERT_EQ(KXCgroupParseOwn("4:memory:/m\n0::/system.slice/t.service\n", own, sizeof own),
              ERROR_NONE);
    EXPECT_STREQ(own, "/system.slice/t.service");
    EXPECT_EQ(KXCgroupParseOwn("4:memory:/m\n", own, sizeof own), ERROR_NOT_FOUND);
    EXPECT_EQ(KXCgroupParseOwn("0::/gone (deleted)\n", own, sizeof own), ERROR_NOT_FOUND);
}

TEST(CgroupPlace, NamesAreSafeAndStable)
{
    char name[64];
    ASSERT_EQ(KXCgroupServerName("::1", 8001, name, sizeof name), ERROR_NONE);
    EXPECT_STREQ(name, "srv-__1-8001");
    ASSERT_EQ(KXCgroupServerName("127.0.0.1", 8002, name, sizeof name), ERROR_NONE);
    EXPECT_STREQ(name, "srv-127.0.0.1-8002");
    EXPECT_TRUE(KXCgroupNameIsSafe(name));
    ASSERT_EQ(KXCgroupServerName("../x/y", 1, name, sizeof name), ERROR_NONE);
    EXPECT_TRUE(KXCgroupNameIsSafe(name));
    for (const char* bad : {"", ".", "..", "a/b", "cgroup.procs", "memory.max", "a b"})
        EXPECT_FALSE(KXCgroupNameIsSafe(bad)) << bad;

    char first[64];
    char second[64];
    ASSERT_EQ(KXCgroupInstallationName("/opt/tarvel", first, sizeof first), ERROR_NONE);
    ASSERT_EQ(KXCgroupInstallationName("/opt/tarvel", second, sizeof second), ERROR_NONE);
    EXPECT_STREQ(first, second);
    ASSERT_EQ(KXCgroupInstallationName("/opt/tarvel2", second, sizeof second), ERROR_NONE);
    EXPECT_STRNE(first, second);
    EXPECT_TRUE(KXCgroupNameIsSafe(first));
}

// A parent of this test's own below the service's (here: the test's) cgroup.
class CgroupLive : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KXProcOpen("/proc", &mProc), ERROR_NONE);
        KXCgroupVerdict verdict = KXCGROUP_NO_MOUNT;
        if (KXCgroupLocate(nullptr, &mPlace) == ERROR_NONE) {
            ASSERT_EQ(KXCgroupDecide(&mPlace, &verdict), ERROR_NONE);
        }
        if (verdict != KXCGROUP_USABLE)
            GTEST_SKIP() << "no cgroup for the test: " << KXCgroupVerdictText(verdict);
        mParentName = "tarvel-test-" + std::to_string(getpid());
        ASSERT_EQ(KXCgroupOpenPlace(&mPlace, mParentName.c_str(), 1, &mParent), ERROR_NONE);
        testutil::BecomeSubreaper();
    }
    void TearDown() override
    {
        if (mParent >= 0) {
            int own = -1;
            KXCgroupRemove(mParent, "srv-127.0.0.1-1");
            close(mParent);
            if (KXCgroupOpenPlace(&mPlace, nullptr, 0, &own) == ERROR_NONE) {
                EXPECT_EQ(KXCgroupRemove(own, mParentName.c_str()), ERROR_NONE);
                close(own);
            }
        }
        close(mProc);
    }
    std::set<pid_t> Members(int dirFd)
    {
        pid_t pids[16];
        size_t count = 0;
        EXPECT_EQ(KXCgroupMembers(dirFd, pids, 16, &count), ERROR_NONE);
        return std::set<pid_t>(pids, pids + count);
    }

    KXCgroupPlace mPlace;
    std::string mParentName;
    int mParent = -1;
    int mProc = -1;
};

TEST_F(CgroupLive, TheWholeTreeStaysInItsCgroupAndEndsWithIt)
{
    int server = -1, made = 0;
    ASSERT_EQ(KXCgroupCreate(mParent, "srv-127.0.0.1-1", &server, &made), ERROR_NONE);
    EXPECT_EQ(made, 1);
    int events = -1;
    ASSERT_EQ(KXCgroupOpenEvents(server, &events), ERROR_NONE);
    int populated = 1;
    ASSERT_EQ(KXCgroupPopulated(events, &populated), ERROR_NONE);
    EXPECT_EQ(populated, 0);

    treetest::Tree tree = treetest::StartTree(
        mProc, [&](pid_t leader) { ASSERT_EQ(KXCgroupMoveProcess(server, leader), ERROR_NONE); });
    EXPECT_EQ(Members(server), (std::set<pid_t>{tree.leader, tree.worker, tree.helper}));
    ASSERT_EQ(KXCgroupPopulated(events, &populated), ERROR_NONE);
    EXPECT_EQ(populated, 1);
    KXTreeUsage usage;
    uint64_t cpuUsec = 0;
    ASSERT_EQ(KXCgroupUsage(mProc, server, &usage, &cpuUsec), ERROR_NONE);
    EXPECT_EQ(usage.processes, 3u);
    EXPECT_GT(usage.rssPages, 0u);
    EXPECT_EQ(KXCgroupRemove(mParent, "srv-127.0.0.1-1"), ERROR_STATE);

    // The leader ends: the rest stays in the cgroup, helper included.
    kill(tree.leader, SIGKILL);
    ASSERT_TRUE(testutil::WaitUntil([&] { return treetest::AllEnded({tree.leader}); }, 5000));
    EXPECT_EQ(Members(server), (std::set<pid_t>{tree.worker, tree.helper}));

    // One write ends the rest; the kernel tells the change through POLLPRI.
    ASSERT_EQ(KXCgroupKill(server), ERROR_NONE);
    ASSERT_TRUE(testutil::WaitUntil([&] {
        testutil::ReapChildren();
        struct pollfd wait = {events, POLLPRI, 0};
        poll(&wait, 1, 50);
        return KXCgroupPopulated(events, &populated) == ERROR_NONE && populated == 0;
    }, 5000));
    EXPECT_TRUE(treetest::AllEnded({tree.worker, tree.helper}));
    // The next start of the server finds the same, emptied cgroup.
    int again = -1;
    ASSERT_EQ(KXCgroupCreate(mParent, "srv-127.0.0.1-1", &again, &made), ERROR_NONE);
    EXPECT_EQ(made, 0);
    struct stat first, second;
    ASSERT_EQ(fstat(server, &first), 0);
    ASSERT_EQ(fstat(again, &second), 0);
    EXPECT_EQ(first.st_ino, second.st_ino);
    EXPECT_TRUE(Members(again).empty());
    close(again);
    close(events);
    close(server);
    EXPECT_EQ(KXCgroupRemove(mParent, "srv-127.0.0.1-1"), ERROR_NONE);
    EXPECT_EQ(KXCgroupCreate(mParent, "../srv", &again, nullptr), ERROR_PARAMETER);
}

TEST_F(CgroupLive, TerminateReachesEveryMemberAndLeftoversAreListed)
{
    int server = -1;
    ASSERT_EQ(KXCgroupCreate(mParent, "srv-127.0.0.1-1", &server, nullptr), ERROR_NONE);
    treetest::Tree tree = treetest::StartTree(
        mProc, [&](pid_t leader) { ASSERT_EQ(KXCgroupMoveProcess(server, leader), ERROR_NONE); });
    std::set<std::string> children;
    ASSERT_EQ(KXCgroupForEachChild(mParent, [](const char* name, void* context) {
        static_cast<std::set<std::string>*>(context)->insert(name);
        return 0;
    }, &children), ERROR_NONE);
    EXPECT_EQ(children, (std::set<std::string>{"srv-127.0.0.1-1"}));
    EXPECT_EQ(KXCgroupEnableControllers(server, "+pids\n+cpu"), ERROR_PARAMETER);
    size_t signalled = 0;
    ASSERT_EQ(KXCgroupTerminate(server, 0, &signalled), ERROR_NONE);
    EXPECT_EQ(signalled, 3u);
    EXPECT_TRUE(testutil::WaitUntil([&] { return treetest::AllEnded({tree.leader, tree.worker, tree.helper}); }, 5000));
    EXPECT_TRUE(Members(server).empty());
    close(server);
}

}  // namespace
