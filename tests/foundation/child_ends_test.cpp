// The SIGCHLD descriptor: what a drain hands the loop to reap first.
#include "foundation/ChildEnds.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

pid_t EndingChild()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    return pid;
}

bool Readable(int fd, int ms)
{
    struct pollfd wait = {fd, POLLIN, 0};
    return poll(&wait, 1, ms) == 1;
}

// One end is named by its sender; ends that came together are fewer names
// than ends (the kernel merges a pending SIGCHLD), never more than asked for,
// and each name is a child that ended; a drained descriptor stays quiet.
TEST(ChildEnds, ADrainNamesTheSendersAtMostAsManyAsAsked)
{
    const int fd = ChildEndDescriptor();
    const pid_t one = EndingChild();
    ASSERT_GT(one, 0);
    ASSERT_TRUE(Readable(fd, 5000));
    EXPECT_EQ(DrainChildEnds(), std::vector<pid_t>{one});
    EXPECT_EQ(waitpid(one, nullptr, 0), one);
    EXPECT_FALSE(Readable(fd, 0));

    pid_t both[2] = {EndingChild(), EndingChild()};
    ASSERT_GT(both[0], 0);
    ASSERT_GT(both[1], 0);
    for (pid_t pid : both) {
        siginfo_t info{};
        ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    }
    ASSERT_TRUE(Readable(fd, 5000));
    std::vector<pid_t> named = DrainChildEnds(1);
    ASSERT_EQ(named.size(), 1u);
    EXPECT_TRUE(named[0] == both[0] || named[0] == both[1]) << named[0];
    EXPECT_FALSE(Readable(fd, 0));
    for (pid_t pid : both)
        EXPECT_EQ(waitpid(pid, nullptr, 0), pid);
    EXPECT_TRUE(DrainChildEnds().empty());
}

}  // namespace
