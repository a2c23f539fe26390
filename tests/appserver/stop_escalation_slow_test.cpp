// The stop leaves no server behind: a stopped (SIGSTOP) server gets
// SIGCONT with its SIGTERM, and one that ignores SIGTERM is killed after 5 s.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>

#include "appserver/AppServerManager.h"
#include "common/installation.h"
#include "local_table.h"
#include "shared/manager_peer.h"

using testutil::Installation;

namespace {

TEST(StopEscalation, StoppedServerAndServerIgnoringSigtermAreBothGone)
{
    Installation inst;
    CAppServerManager manager;
    BuildLocalTable(inst, manager, "8001,8002");
    auto& records = ManagerTestPeer::records(manager);
    records[0].start(AppServerProcess::Clock::now());
    setenv("STUB_IGNORE_TERM", "1", 1);
    records[1].start(AppServerProcess::Clock::now());
    unsetenv("STUB_IGNORE_TERM");
    pid_t stopped = records[0].mPid, stubborn = records[1].mPid;
    kill(stopped, SIGSTOP);
    ASSERT_TRUE(testutil::WaitUntil([&] { return testutil::ProcessStateOf(stopped) == 'T'; }, 5000));
    // The trap must be in place before the stop, or SIGTERM would just work.
    ASSERT_TRUE(testutil::WaitUntil(
        [&] {
            std::ifstream in("/proc/" + std::to_string(stubborn) + "/status");
            for (std::string line; std::getline(in, line);)
                if (line.rfind("SigIgn:", 0) == 0)
                    return (std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGTERM - 1))) != 0;
            return false;
        },
        5000));

    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(manager.stopServers());
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 4.9);
    EXPECT_LT(seconds, 15.0);  // 5 s and the kill, on a machine that may be loaded

    EXPECT_EQ(records[0].mState, ServerState::Down);
    EXPECT_TRUE(WIFSIGNALED(records[0].mStatus) && WTERMSIG(records[0].mStatus) == SIGTERM)
        << records[0].mStatus;
    EXPECT_EQ(records[1].mState, ServerState::Down);
    EXPECT_TRUE(WIFSIGNALED(records[1].mStatus) && WTERMSIG(records[1].mStatus) == SIGKILL)
        << records[1].mStatus;
    for (pid_t pid : {stopped, stubborn})
        EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1) << pid;  // reaped, gone
    EXPECT_EQ(inst.countMessage("stopServers(): killed \"" + records[1].mCommand + "\" (pid " +
                                std::to_string(stubborn) + ") after 5 s"),
              1);
    // Two starts, one kill, and the two lines of each refused shutdown
    // request: the stub servers do not listen.
    EXPECT_EQ(inst.countMessage("Process::start(): started \"" + records[0].mCommand + "\""), 1);
    EXPECT_EQ(testutil::CountLinesContaining(inst.log(), "KXSocketConnect(): connect to"), 2);
    EXPECT_EQ(testutil::CountLinesContaining(inst.log(), "GentleStopAS(): "), 2);
    EXPECT_EQ(inst.messages().size(), 7u) << testutil::ReadFile(inst.log());
}

}  // namespace
