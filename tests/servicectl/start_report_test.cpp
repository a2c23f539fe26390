// The report a starting daemon gives the process that started it: each
// outcome, and the bound on the wait.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "common/service_copy.h"
#include "servicectl/DaemonStart.h"

namespace {

using servicectl::StartChannel;
using servicectl::StartOutcome;

// Forks a child that takes the reporting end and runs `child`, then waits
// for its report as the starting process does.
StartOutcome Await(const std::function<void()>& child, std::chrono::seconds limit, pid_t& pid)
{
    StartChannel channel;
    pid = fork();
    if (pid == 0) {
        channel.becomeReporter();
        child();
        _exit(0);
    }
    return channel.awaitReport(pid, limit);
}

TEST(StartReport, EachOutcomeReachesTheStartingProcess)
{
    pid_t pid;
    auto outcome = Await([] {
        servicectl::ReportStartReady();
        servicectl::ReportStartFailure("too late: the first report counts");
        pause();
    }, std::chrono::seconds(10), pid);
    EXPECT_EQ(outcome.kind, StartOutcome::READY);
    EXPECT_TRUE(testutil::ProcessRunning(pid));  // a ready daemon is left running
    testutil::KillAndReap(pid);

    outcome = Await([] {
        servicectl::ReportStartFailure("main(): General exception: no configuration");
        _exit(1);
    }, std::chrono::seconds(10), pid);
    EXPECT_EQ(outcome.kind, StartOutcome::REPORTED);
    EXPECT_EQ(outcome.text, "main(): General exception: no configuration");
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);  // already reaped

    outcome = Await([] { _exit(3); }, std::chrono::seconds(10), pid);
    EXPECT_EQ(outcome.kind, StartOutcome::ENDED);
    EXPECT_EQ(outcome.text, "exit status 3");

    outcome = Await([] { abort(); }, std::chrono::seconds(10), pid);
    EXPECT_EQ(outcome.kind, StartOutcome::ENDED);
    EXPECT_EQ(outcome.text, "signal 6");
}

TEST(StartReport, ADaemonThatSaysNothingIsEndedAtTheBound)
{
    pid_t pid;
    auto begin = std::chrono::steady_clock::now();
    auto outcome = Await([] { pause(); }, std::chrono::seconds(1), pid);
    long elapsed = testutil::ElapsedMs(begin);
    EXPECT_EQ(outcome.kind, StartOutcome::TIMED_OUT);
    EXPECT_GE(elapsed, 1000);
    EXPECT_LT(elapsed, 4000);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);  // ended and reaped
}

}  // namespace
