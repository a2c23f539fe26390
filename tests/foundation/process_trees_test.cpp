// The process trees by id alone, as a crash of a server's master leaves one:
// the leader ends, what is left of its session is named before the leader
// is reaped, signalled, and the tree is then seen empty; the figures come
// for the ids asked, in their order.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/test_util.h"
#include "foundation/ProcessTrees.h"

namespace {

// A leader of its own session with one worker; both pause until killed.
pid_t StartLeader(pid_t* worker)
{
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t leader = fork();
    if (leader == 0) {
        pid_t child = setsid() < 0 ? -1 : fork();
        if (child < 0 || (child > 0 && write(fds[1], &child, sizeof child) != sizeof child))
            _exit(1);
        for (;;)
            pause();
    }
    EXPECT_EQ(read(fds[0], worker, sizeof *worker), static_cast<ssize_t>(sizeof *worker));
    close(fds[0]);
    close(fds[1]);
    return leader;
}

// The next pass of the loop: what the trees looked at before is old.
void NextPass(ProcessTrees& trees)
{
    std::vector<pollfd> fds;
    auto deadline = std::chrono::steady_clock::time_point::max();
    trees.prepare(fds, deadline);
}

TEST(ProcessTrees, ALeadersEndLeavesItsWorkerNamedSignalledAndGone)
{
    ProcessTrees trees;
    EXPECT_EQ(trees.choose(Containment::Session, "/nonexistent/installation"), "containment: session");
    const uint64_t id = 7;
    EXPECT_EQ(trees.prepareStart(id, {"127.0.0.1", 8001}), -1);
    pid_t worker = 0;
    const pid_t leader = StartLeader(&worker);
    trees.started(id, leader);
    std::vector<TreeReading> readings = trees.measure({99, id});
    ASSERT_EQ(readings.size(), 2u);
    EXPECT_EQ(readings[0].figures.processes, 0u);  // never started
    EXPECT_TRUE(readings[1].measured);
    EXPECT_EQ(readings[1].figures.processes, 2u);

    ASSERT_EQ(kill(leader, SIGKILL), 0);
    siginfo_t info;
    ASSERT_TRUE(testutil::WaitUntil([&] {
        memset(&info, 0, sizeof info);
        return waitid(P_PID, static_cast<id_t>(leader), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == leader;
    }, 5000));
    NextPass(trees);
    std::vector<KXProcIdentity> left = trees.membersAfterEnd(id);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].pid, worker);
    EXPECT_EQ(waitpid(leader, nullptr, 0), leader);

    EXPECT_FALSE(trees.empty(id));
    EXPECT_EQ(trees.signal(id, SIGTERM, 0), 1u);
    EXPECT_TRUE(testutil::WaitUntil([&] {
        testutil::ReapChildren();
        NextPass(trees);
        return trees.empty(id);
    }, 5000));
    trees.forget(id);
}

}  // namespace
