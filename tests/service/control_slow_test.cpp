// One server's stop through the control channel when the server ignores the
// shutdown request: the full 30 s wait and SIGTERM, while supervision of the
// other server and the channel itself go on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <future>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

TEST(ControlChannelSlow, StopOfAServerThatIgnoresTheRequestDoesNotHoldUpSupervision)
{
    Installation inst(Installation::Use::Binary);
    pid_t console = inst.StartConsole({"APPSRV_IGNORE_SHUTDOWN=1"});
    ASSERT_TRUE(inst.WaitForServers()) << testutil::ReadFile(inst.log());
    std::string a = "127.0.0.1:" + std::to_string(inst.port(0));
    std::string b = "127.0.0.1:" + std::to_string(inst.port(1));

    auto began = std::chrono::steady_clock::now();
    auto stop = std::async(std::launch::async, [&] { return inst.Ctl({"-stopserver", a}); });

    // Meanwhile the other server is restarted at once and the table answers.
    ASSERT_TRUE(testutil::WaitUntil([&] {
        RunResult r = inst.Ctl({"-servers"});
        return r.out.find(a + " ") != std::string::npos &&
               r.out.find(" stopping ") != std::string::npos;
    }, 5000));
    std::vector<pid_t> before = inst.Servers();
    ASSERT_EQ(before.size(), 2u);
    RunResult json = inst.Ctl({"-servers", "-json"});
    for (pid_t pid : before)
        if (json.out.find("\"port\": " + std::to_string(inst.port(1)) + ", \"pid\": " +
                          std::to_string(pid)) != std::string::npos)
            kill(pid, SIGKILL);
    ASSERT_TRUE(inst.WaitForLog("terminated due to an unhandled signal #9", 1, 3000));
    ASSERT_TRUE(inst.WaitForLog("Process::start(): started", 3, 2000));
    EXPECT_LT(testutil::ElapsedMs(began), 10000);

    RunResult r = stop.get();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    long took = testutil::ElapsedMs(began);
    EXPECT_GE(took, 29000);
    EXPECT_LT(took, 40000);
    EXPECT_EQ(inst.CountLines("Failed to shut down application server at [127.0.0.1]:" +
                              std::to_string(inst.port(0)) + " after 30 sec. (0)"),
              1);
    r = inst.Ctl({"-servers"});
    EXPECT_NE(r.out.find(" stopped by operator "), std::string::npos) << r.out;
    EXPECT_EQ(inst.Servers().size(), 1u);

    // The servers ignore the request: no need to wait through another 30 s.
    kill(console, SIGKILL);
    testutil::ServiceCopy::WaitForExit(console, 10000);
}

}  // namespace
