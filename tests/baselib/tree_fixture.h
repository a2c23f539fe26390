// A server-like tree for the containment tests: a leader of its own session
// with a worker and a helper that called setsid(), as an application server
// with preforked workers and an escaping helper looks. The test process is
// the subreaper of what the leader leaves behind.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "baselib/kx_procstat.h"
#include "common/test_util.h"

namespace treetest {

struct Tree {
    pid_t leader = 0;
    pid_t worker = 0;
    pid_t helper = 0;
    uint64_t leaderStart = 0;
};

// Every process pauses until killed; each reports its pid through the pipe.
inline void ChildPause(int report)
{
    pid_t self = getpid();
    if (write(report, &self, sizeof self) != sizeof self)
        _exit(1);
    for (;;)
        pause();
}

// Starts the tree; beforeFork runs with the leader's pid before the leader
// forks, so that the caller can move it into a cgroup first, as a spawn into
// a cgroup's descriptor does.
inline Tree StartTree(int procFd, const std::function<void(pid_t)>& beforeFork = {})
{
    int fds[2];
    int go[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(pipe(go), 0);
    Tree tree;
    tree.leader = fork();
    if (tree.leader == 0) {
        char byte;
        close(go[1]);
        if (setsid() < 0 || read(go[0], &byte, 1) != 1)
            _exit(1);
        if (fork() == 0)
            ChildPause(fds[1]);
        if (fork() == 0) {
            if (setsid() < 0)
                _exit(1);
            ChildPause(fds[1]);
        }
        ChildPause(fds[1]);
    }
    close(go[0]);
    if (beforeFork)
        beforeFork(tree.leader);
    EXPECT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    std::vector<pid_t> reported;
    for (int i = 0; i < 3; i++) {
        pid_t pid = 0;
        EXPECT_EQ(read(fds[0], &pid, sizeof pid), static_cast<ssize_t>(sizeof pid));
        reported.push_back(pid);
    }
    close(fds[0]);
    close(fds[1]);
    // The helper is the one with a session of its own.
    for (pid_t pid : reported) {
        KXProcStat stat;
        EXPECT_EQ(KXProcReadStat(procFd, pid, &stat), ERROR_NONE);
        if (pid == tree.leader)
            tree.leaderStart = stat.startTime;
        else if (stat.session == pid)
            tree.helper = pid;
        else
            tree.worker = pid;
    }
    return tree;
}

// True when none of the pids runs any more (a zombie counts as ended).
inline bool AllEnded(const std::vector<pid_t>& pids)
{
    testutil::ReapChildren();
    for (pid_t pid : pids)
        if (testutil::ProcessRunning(pid))
            return false;
    return true;
}

inline void EndTree(const Tree& tree)
{
    for (pid_t pid : {tree.leader, tree.worker, tree.helper})
        if (pid > 0)
            kill(pid, SIGKILL);
    EXPECT_TRUE(testutil::WaitUntil([&] { return AllEnded({tree.leader, tree.worker, tree.helper}); }, 5000));
}

}  // namespace treetest
