// A storm of child ends: thousands of servers ending at the same moment
// reach the loop as a few pending SIGCHLDs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>

#include "appserver/AppServerManager.h"
#include "common/installation.h"

using testutil::Installation;

namespace {

// Many ends arrive as one pending SIGCHLD; none may be lost, none left a
// zombie, and the loop must not spin on them.
TEST(Storm, TwoThousandServersEndingAtOnceAreAllLoggedAndRestarted)
{
    Installation inst;
    inst.writeWebInterfaceConf("[GLOBAL]\n");
    // Each server stops itself at once: one exec per start, cheap to run by the thousand.
    setenv("STUB_STOP", "1", 1);
    CAppServerManager manager;
    const size_t n = 2000;
    inst.writeServerConfig({"<appserver host=\"127.0.0.1\" ports=\"20001-22000\"/>"});
    manager.setIPList(std::vector<std::string>{"127.0.0.1"});
    manager.buildTables();
    ASSERT_EQ(manager.processes().size(), n);
    manager.startServers();
    std::vector<pid_t> first;
    for (const auto& p : manager.processes()) {
        ASSERT_EQ(p.mState, ServerState::Serving);
        first.push_back(p.mPid);
    }
    for (pid_t pid : first)
        kill(pid, SIGKILL);

    auto restarted = [&] {
        for (size_t i = 0; i < n; ++i) {
            const auto& p = manager.processes()[i];
            if (p.mState != ServerState::Serving || p.mPid == first[i])
                return false;
        }
        return true;
    };
    // Passes as the service runs them, each cut short by an event; bounded.
    int passes = 0;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
         !restarted() && std::chrono::steady_clock::now() < end; ++passes) {
        manager.waitAndUpdateTerminated(5000);
        manager.startServers();
    }
    ASSERT_TRUE(restarted());
    EXPECT_LT(passes, 1000);  // woken by ends, not spinning
    size_t lines = 0;
    for (const auto& message : inst.messages())
        if (message.find("\" terminated due to an unhandled signal #9") != std::string::npos)
            ++lines;
    EXPECT_EQ(lines, n);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(manager.processes()[i].mRestarts, 1u);
        EXPECT_EQ(manager.processes()[i].mStatus, SIGKILL);
        // Reaped: no zombie left behind.
        EXPECT_EQ(waitpid(first[i], nullptr, WNOHANG), -1) << first[i];
    }
    for (const auto& p : manager.processes())
        kill(p.mPid, SIGKILL);
    for (const auto& p : manager.processes())
        waitpid(p.mPid, nullptr, 0);
}

}  // namespace
