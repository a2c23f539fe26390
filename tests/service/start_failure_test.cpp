// What -startserver answers for a server whose start fails at once: the
// failure the machine announces, never "started". The script is missing,
// so every start ends at once and the throttle holds the servers back.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

TEST(StartFailure, AStartThatFailsAtOnceIsAnErrorNeverStarted)
{
    Installation inst(Installation::Use::Binary);
    ASSERT_EQ(unlink(inst.script().c_str()), 0);
    pid_t console = inst.StartConsole();
    ASSERT_GT(console, 0);
    ASSERT_TRUE(inst.WaitForLog("failed 5 times within 60 s", 2)) << testutil::ReadFile(inst.log());

    std::string endpoint = "127.0.0.1:" + std::to_string(inst.port(0));
    RunResult r = inst.Ctl({"-startserver", endpoint});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_EQ(r.err.rfind(endpoint + " does not serve: exit ", 0), 0u) << r.err;
    EXPECT_EQ(r.out.find("started"), std::string::npos) << r.out;

    int status = testutil::ServiceCopy::StopConsole(console);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
