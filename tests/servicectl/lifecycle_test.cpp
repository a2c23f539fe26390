// The controller's switches against a private copy of the fake service.
#include "fake/fake_fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <set>

namespace {

using faketest::FakeService;

class Lifecycle : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testutil::BecomeSubreaper(); }

    testutil::TempDir mDir;
    FakeService mFake{mDir.path()};
};

std::string Usage(const std::string& program)
{
    return "Usage: " + program + " <switch> [service] [service specific options]\n\n" +
           std::string(24, ' ') + "-install: Install registered services\n" +
           std::string(25, ' ') + "-remove: Uninstall registered services\n" +
           std::string(6, ' ') +
           "-start <service> [options]: Run <service>. If <service> is omitted, the first "
           "registered service is started\n" +
           std::string(17, ' ') + "-stop <service>: Stop <service>\n" + std::string(4, ' ') +
           "-restart <service> [options]: Restart running <service>\n" + std::string(4, ' ') +
           "-console <service> [options]: Run <service> in foreground\n" +
           std::string(25, ' ') + "-status: Show service status\n" +
           "\nRegistered services:\nFakeSvc\nOtherSvc\n\t-x : an option of OtherSvc\n";
}

TEST_F(Lifecycle, NoSwitchPrintsUsage)
{
    for (auto args : {std::vector<std::string>{}, {"-debug", "3"}}) {
        auto r = mFake.Ctl(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, Usage(mFake.exe()));
        EXPECT_EQ(r.err, "");
    }
    // A word that is neither a switch nor an option of the program fails,
    // so that a typing error is not taken for success.
    struct {
        std::vector<std::string> args;
        std::string word;
    } unknown[] = {{{"-service", "FakeSvc"}, "-service"},
                   {{"-debug", "3", "--status"}, "--status"},
                   {{"start"}, "start"}};
    for (const auto& c : unknown) {
        auto r = mFake.Ctl(c.args);
        EXPECT_EQ(r.exitCode, 1) << c.word;
        EXPECT_EQ(r.out, "") << c.word;
        EXPECT_EQ(r.err, "unknown switch: " + c.word + "\n\n" + Usage(mFake.exe()));
    }
    EXPECT_FALSE(mFake.SegmentExists());
}

TEST_F(Lifecycle, InstallAndRemoveAreNotImplemented)
{
    for (const char* sw : {"-install", "-remove"}) {
        auto r = mFake.Ctl({sw});
        EXPECT_EQ(r.exitCode, 1) << sw;
        EXPECT_EQ(r.out, "") << sw;
        EXPECT_EQ(r.err, "Function not implemented\n") << sw;
    }
    EXPECT_EQ(mFake.CountLines("CDaemonController::installServices(): function not implemented"), 1);
    EXPECT_EQ(mFake.CountLines("CDaemonController::uninstallServices(): function not implemented"), 1);
}

TEST_F(Lifecycle, ErrorsWithoutADaemon)
{
    struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-start", "Nope"}, "No such service: Nope"},
        {{"-runservice", "Nope"}, "No such service: Nope"},
        {{"-console", "Nope"},
         "CDaemonController::startServiceConsole(): Attempt to start an unknown service"},
        {{"-stop"}, "CDaemonController::stopService(): Could not find daemon pid for service FakeSvc"},
        {{"-stop", "OtherSvc"},
         "CDaemonController::stopService(): Could not find daemon pid for service OtherSvc"},
    };
    for (const auto& c : cases) {
        testutil::WriteFile(mFake.log(), "");
        auto r = mFake.Ctl(c.args);
        // Stopping a stopped service is no failure.
        EXPECT_EQ(r.exitCode, c.args[0] == "-stop" ? 0 : 1) << c.args[0];
        EXPECT_EQ(r.err, c.message + "\n") << c.args[0];
        EXPECT_EQ(r.out, "") << c.args[0];
        EXPECT_EQ(mFake.CountLines("main(): General exception: " + c.message), 1) << c.args[0];
    }
    // Neither the failed stops nor the status query left a segment behind.
    auto status = mFake.Ctl({"-status"});
    EXPECT_EQ(status.exitCode, 3);
    EXPECT_EQ(status.out, "No services running.\n");
    EXPECT_EQ(mFake.CountLines("FAKE service runs"), 0);
    EXPECT_FALSE(mFake.SegmentExists());
}

TEST_F(Lifecycle, StartStatusStartAgainStop)
{
    auto started = mFake.Ctl({"-start"}, {"FAKE_EXIT=7"});
    EXPECT_EQ(started.exitCode, 0);
    EXPECT_EQ(started.out, "");
    EXPECT_EQ(started.err, "");
    pid_t daemon = mFake.WaitForDaemon();
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(mFake.WaitForLog("FAKE service runs as " + std::to_string(daemon)));

    auto status = mFake.Ctl({"-status"});
    EXPECT_EQ(status.exitCode, 0);
    EXPECT_EQ(status.out, "Running services:\n[" + std::to_string(daemon) + "] FakeSvc \n");

    auto again = mFake.Ctl({"-start", "FakeSvc"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.err, "CDaemonController::startService(): Service already started (pid " +
                             std::to_string(daemon) + ")\n");
    EXPECT_EQ(mFake.Slots().size(), 1u);

    auto stopped = mFake.Ctl({"-stop", "FakeSvc"});
    EXPECT_EQ(stopped.exitCode, 0);
    EXPECT_EQ(stopped.out, "");
    EXPECT_EQ(stopped.err, "");
    int wstatus = FakeService::WaitForExit(daemon);
    ASSERT_TRUE(WIFEXITED(wstatus)) << wstatus;
    EXPECT_EQ(WEXITSTATUS(wstatus), 7);  // what run returned
    EXPECT_EQ(mFake.CountLines("FAKE service stops"), 1);
    int received = mFake.LineOf("Signal received: 15");
    ASSERT_GE(received, 0);
    EXPECT_LT(received, mFake.LineOf("FAKE service stops"));
    EXPECT_EQ(mFake.CountLines("Signal received: 15"), mFake.CountLines("Signal received"));

    EXPECT_FALSE(mFake.SegmentExists());  // the last entry took the segment with it
    EXPECT_EQ(mFake.Ctl({"-status"}).out, "No services running.\n");
}

TEST_F(Lifecycle, StartWithoutNameStartsFirstServiceAndPassesLeftoverOptionNames)
{
    std::string argsFile = mDir / "args";
    EXPECT_EQ(mFake.Ctl({"-start", "-debug", "3"}, {"FAKE_ARGS=" + argsFile}).exitCode, 0);
    pid_t daemon = mFake.WaitForDaemon();
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(testutil::WaitUntil([&] { return !testutil::ReadFile(argsFile).empty(); }, 10000));
    EXPECT_EQ(testutil::ReadLines(argsFile), (std::vector<std::string>{"-debug"}));

    // A second service of the same executable has a slot of its own.
    EXPECT_EQ(mFake.Ctl({"-start", "OtherSvc"}).exitCode, 0);
    pid_t other = mFake.WaitForDaemon("OtherSvc");
    ASSERT_GT(other, 0);
    auto status = mFake.Ctl({"-status"}).out;
    EXPECT_EQ(status, "Running services:\n[" + std::to_string(daemon) + "] FakeSvc \n[" +
                          std::to_string(other) + "] OtherSvc \n");

    EXPECT_EQ(mFake.Ctl({"-stop"}).exitCode, 0);
    EXPECT_NE(FakeService::WaitForExit(daemon), -1);
    EXPECT_EQ(mFake.Ctl({"-stop", "OtherSvc"}).exitCode, 0);
    EXPECT_NE(FakeService::WaitForExit(other), -1);
    EXPECT_FALSE(mFake.SegmentExists());
}

TEST_F(Lifecycle, RunserviceKeepsValuesAfterTheName)
{
    std::string argsFile = mDir / "args";
    EXPECT_EQ(mFake.Ctl({"-runservice", "FakeSvc", "-debug", "3"}, {"FAKE_ARGS=" + argsFile})
                  .exitCode,
              0);
    pid_t daemon = mFake.WaitForDaemon();
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(testutil::WaitUntil([&] { return testutil::ReadLines(argsFile).size() >= 5; },
                                    10000));
    auto args = testutil::ReadLines(argsFile);
    ASSERT_EQ(args.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(args.begin(), args.begin() + 3),
              (std::vector<std::string>{"FakeSvc", "-debug", "3"}));
    EXPECT_EQ(std::set<std::string>(args.begin() + 3, args.end()),
              (std::set<std::string>{"-runservice", "-debug"}));
    EXPECT_EQ(mFake.Ctl({"-stop"}).exitCode, 0);
}

TEST_F(Lifecycle, ConsoleRunsInTheForegroundWithoutASlot)
{
    std::string argsFile = mDir / "args";
    pid_t console = testutil::Spawn({mFake.exe(), "-console", "FakeSvc", "-l", "x"},
                                    {"FAKE_LOG=" + mFake.log(), "FAKE_ARGS=" + argsFile});
    ASSERT_TRUE(mFake.WaitForLog("FAKE service runs as 0"));
    EXPECT_EQ(mFake.Ctl({"-status"}).out, "No services running.\n");
    kill(console, SIGTERM);
    int status = FakeService::WaitForExit(console);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(testutil::ReadLines(argsFile), (std::vector<std::string>{"-l"}));
}

TEST_F(Lifecycle, RestartStartsTheNewDaemonAfterTheOldOneStopped)
{
    EXPECT_EQ(mFake.Ctl({"-start"}, {"FAKE_STOP_MS=1500"}).exitCode, 0);
    pid_t first = mFake.WaitForDaemon();
    ASSERT_GT(first, 0);
    ASSERT_TRUE(mFake.WaitForLog("FAKE service runs as " + std::to_string(first)));

    auto restarted = mFake.Ctl({"-restart", "FakeSvc"});
    EXPECT_EQ(restarted.exitCode, 0) << restarted.err;
    int status = FakeService::WaitForExit(first);
    ASSERT_TRUE(WIFEXITED(status)) << status;  // stopped on its own, not killed
    EXPECT_EQ(WEXITSTATUS(status), 0);

    pid_t second = mFake.WaitForDaemon("FakeSvc", first);
    ASSERT_GT(second, 0);
    ASSERT_NE(second, first);
    ASSERT_TRUE(mFake.WaitForLog("FAKE service runs as " + std::to_string(second)));
    EXPECT_LT(mFake.LineOf("FAKE service stops"),
              mFake.LineOf("FAKE service runs as " + std::to_string(second)));
    ASSERT_EQ(mFake.Slots().size(), 1u);
    EXPECT_EQ(mFake.Slots()[0].pid, second);
    EXPECT_EQ(mFake.Ctl({"-stop"}).exitCode, 0);
    EXPECT_NE(FakeService::WaitForExit(second), -1);
}

TEST_F(Lifecycle, StopWaitsForAGentleStopOfFiveSeconds)
{
    EXPECT_EQ(mFake.Ctl({"-start"}, {"FAKE_STOP_MS=5000"}).exitCode, 0);
    pid_t daemon = mFake.WaitForDaemon();
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(mFake.WaitForLog("FAKE service runs as"));

    // The daemon is not reaped while the controller waits: it ends as a
    // zombie, which the controller must see as gone.
    auto begin = std::chrono::steady_clock::now();
    auto stopped = mFake.Ctl({"-stop"});
    long elapsed = faketest::ElapsedMs(begin);
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    EXPECT_GE(elapsed, 4900);
    EXPECT_LT(elapsed, 20000);
    EXPECT_EQ(mFake.CountLines("FAKE service stops"), 1);
    int status = FakeService::WaitForExit(daemon);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Both SIGTERMs were logged, each once, before the last line.
    EXPECT_EQ(mFake.CountLines("Signal received: 15"), 2);
    EXPECT_LT(mFake.LineOf("Signal received: 15"), mFake.LineOf("FAKE service stops"));
    EXPECT_FALSE(mFake.SegmentExists());
}

TEST_F(Lifecycle, DaemonKilledFromOutsideLeavesAStaleSlot)
{
    EXPECT_EQ(mFake.Ctl({"-start"}).exitCode, 0);
    pid_t daemon = mFake.WaitForDaemon();
    ASSERT_GT(daemon, 0);
    kill(daemon, SIGKILL);
    // Not reaped yet: a zombie is as dead as a process that is gone.
    ASSERT_TRUE(testutil::WaitUntil([&] { return !testutil::ProcessRunning(daemon); }, 5000));
    auto deadStatus = mFake.Ctl({"-status"});
    EXPECT_EQ(deadStatus.exitCode, 1);
    EXPECT_EQ(deadStatus.out,
              "Running services:\n[" + std::to_string(daemon) + "] FakeSvc (dead)\n");
    waitpid(daemon, nullptr, 0);
    EXPECT_EQ(mFake.Ctl({"-status"}).out,
              "Running services:\n[" + std::to_string(daemon) + "] FakeSvc (dead)\n");

    // -start clears the stale slot and starts a new daemon.
    EXPECT_EQ(mFake.Ctl({"-start"}).exitCode, 0);
    pid_t second = mFake.WaitForDaemon("FakeSvc", daemon);
    ASSERT_GT(second, 0);
    ASSERT_TRUE(testutil::WaitUntil([&] { return mFake.Slots().size() == 1; }, 5000));
    EXPECT_EQ(mFake.Slots()[0].pid, second);
    EXPECT_EQ(mFake.Ctl({"-status"}).out,
              "Running services:\n[" + std::to_string(second) + "] FakeSvc \n");

    // -stop on a stale slot clears it and names the service and pid.
    kill(second, SIGKILL);
    waitpid(second, nullptr, 0);
    auto stop = mFake.Ctl({"-stop"});
    EXPECT_EQ(stop.exitCode, 0);
    EXPECT_EQ(stop.err, "CDaemonController::stopService(): Daemon 'FakeSvc' [" +
                            std::to_string(second) + "] is not running\n");
    EXPECT_FALSE(mFake.SegmentExists());
}

TEST_F(Lifecycle, DaemonThatFailsToStartIsReportedAndLeavesNoSlot)
{
    // The daemon's own error line reaches the caller, who fails with it.
    auto r = mFake.Ctl({"-start"}, {"FAKE_FAIL=1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "main(): General exception: FakeService::run(): failing on purpose\n");
    EXPECT_EQ(mFake.CountLines("main(): General exception: FakeService::run(): failing on purpose"),
              1);
    EXPECT_FALSE(mFake.SegmentExists());
    EXPECT_EQ(mFake.Ctl({"-status"}).out, "No services running.\n");

    // A daemon that dies without a word is reported by the caller.
    r = mFake.Ctl({"-runservice", "FakeSvc"}, {"FAKE_TRAP=1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("CDaemonController::startService(): Daemon 'FakeSvc' ["),
              std::string::npos) << r.err;
    EXPECT_NE(r.err.find("] ended before it was ready (exit status 1)\n"), std::string::npos) << r.err;
    EXPECT_FALSE(mFake.SegmentExists());

    // -restart with nothing running starts the service.
    r = mFake.Ctl({"-restart"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(mFake.Slots().size(), 1u);
    pid_t daemon = mFake.Slots()[0].pid;
    EXPECT_EQ(mFake.CountLines("FAKE service runs as " + std::to_string(daemon)), 1);
    EXPECT_EQ(mFake.Ctl({"-stop"}).exitCode, 0);
}

TEST_F(Lifecycle, CopyAtAnotherPathHasItsOwnList)
{
    testutil::TempDir otherDir;
    FakeService other(otherDir.path());
    EXPECT_EQ(mFake.Ctl({"-start"}).exitCode, 0);
    pid_t daemon = mFake.WaitForDaemon();
    ASSERT_GT(daemon, 0);

    EXPECT_EQ(other.Ctl({"-status"}).out, "No services running.\n");
    auto stop = other.Ctl({"-stop"});
    EXPECT_EQ(stop.exitCode, 0);
    EXPECT_EQ(stop.err,
              "CDaemonController::stopService(): Could not find daemon pid for service FakeSvc\n");
    EXPECT_TRUE(testutil::ProcessRunning(daemon));

    // The other copy starts a daemon of its own beside the first.
    EXPECT_EQ(other.Ctl({"-start"}).exitCode, 0);
    pid_t second = other.WaitForDaemon();
    ASSERT_GT(second, 0);
    EXPECT_NE(second, daemon);
    EXPECT_EQ(mFake.Ctl({"-status"}).out,
              "Running services:\n[" + std::to_string(daemon) + "] FakeSvc \n");
}

TEST_F(Lifecycle, UntrustedSlotsAreReadSafelyAndNeverSignalled)
{
    pid_t self = getpid();  // a live process of another executable
    mFake.WriteSlot(0, self, "FakeSvc", 7);
    std::string longName(32, 'x');  // no terminator: the next pid follows
    mFake.WriteSlot(1, -1, longName.data(), 32);
    mFake.WriteSlot(2, 0x41414141, "y", 1);
    mFake.WriteSlot(3, -1, "Neg", 3);
    mFake.WriteSlot(5, 0, "free", 4);

    auto status = mFake.Ctl({"-status"});
    EXPECT_EQ(status.exitCode, 1);
    EXPECT_EQ(status.out, "Running services:\n[" + std::to_string(self) + "] FakeSvc (foreign)\n" +
                              "[-1] " + longName + " (dead)\n[1094795585] y (dead)\n" +
                              "[-1] Neg (dead)\n");

    // The fake service ends with status 99 if it ever signals pid <= 0.
    auto stopNegative = mFake.Ctl({"-stop", longName});
    EXPECT_EQ(stopNegative.exitCode, 0);
    EXPECT_EQ(stopNegative.err,
              "CDaemonController::stopService(): Daemon '" + longName + "' [-1] is not running\n");
    // Every entry of an ended process went, of whatever name; the live one
    // of another program stays and is not signalled.
    auto slots = mFake.Slots();
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_EQ(slots[0].pid, self);
    auto stopOther = mFake.Ctl({"-stop", "FakeSvc"});
    EXPECT_EQ(stopOther.exitCode, 0);
    EXPECT_EQ(stopOther.err,
              "CDaemonController::stopService(): Could not find daemon pid for service FakeSvc\n");
    EXPECT_EQ(mFake.Slots().size(), 1u);
}

// Another installation's daemon of the same executable, a process of another
// program, stale entries of every name and a name made to drive a terminal
// share the list, and the executable is replaced by rename, as an upgrade
// does. The controller starts, reports and stops its own daemon only: it
// never signals the others, clears the stale entries, and refuses a segment
// of the wrong size with the way out.
TEST_F(Lifecycle, HostileListNeverTurnsTheControllerAgainstOthers)
{
    const std::string ours = "TARVEL=" + mDir / "a", theirs = "TARVEL=" + mDir / "b";
    std::string otherLog = mDir / "other.log";
    pid_t foreign = testutil::Spawn({mFake.exe(), "-console", "FakeSvc"},
                                    {"FAKE_LOG=" + otherLog, theirs});
    ASSERT_TRUE(testutil::WaitUntil(
        [&] { return testutil::CountLinesContaining(otherLog, "FAKE service runs as 0") == 1; },
        10000));
    // No process ever has the pid pid_max.
    pid_t dead = std::stoi(testutil::ReadFile("/proc/sys/kernel/pid_max"));
    pid_t self = getpid();
    mFake.WriteSlot(0, dead, "FakeSvc", 7);
    mFake.WriteSlot(1, foreign, "FakeSvc", 7);
    mFake.WriteSlot(2, self, "FakeSvc", 7);
    const char evil[] = "Ev\x1b[2J\nil\\\xff";
    mFake.WriteSlot(3, foreign, evil, sizeof evil - 1);
    for (int i = 4; i < 32; ++i) {
        std::string name = "other" + std::to_string(i);
        mFake.WriteSlot(i, dead, name.data(), name.size());
    }

    // A full list of stale entries does not stop a start.
    auto started = mFake.Ctl({"-start"}, {ours});
    EXPECT_EQ(started.exitCode, 0) << started.err;
    pid_t daemon = 0;
    ASSERT_TRUE(testutil::WaitUntil([&] {
        for (const auto& slot : mFake.Slots())
            if (slot.pid != dead && slot.pid != foreign && slot.pid != self)
                daemon = slot.pid;
        return daemon != 0;
    }, 10000));
    ASSERT_TRUE(mFake.WaitForLog("FAKE service runs as " + std::to_string(daemon)));

    // The upgrade: a new file renamed over the running executable.
    testutil::CopyFile(FAKE_SERVICE_PATH, mFake.exe() + ".new", true);
    ASSERT_EQ(rename((mFake.exe() + ".new").c_str(), mFake.exe().c_str()), 0);

    std::string others = "[" + std::to_string(foreign) + "] FakeSvc (foreign)\n[" +
                         std::to_string(self) + "] FakeSvc (foreign)\n[" +
                         std::to_string(foreign) + "] Ev\\x1b[2J\\x0ail\\x5c\\xff (foreign)\n";
    auto status = mFake.Ctl({"-status"}, {ours});
    EXPECT_EQ(status.exitCode, 0);
    EXPECT_EQ(status.out,
              "Running services:\n[" + std::to_string(daemon) + "] FakeSvc \n" + others);

    // Our daemon behind a stale entry of its name: one -stop ends it.
    mFake.WriteSlot(0, dead, "FakeSvc", 7);
    mFake.WriteSlot(4, daemon, "FakeSvc", 7);
    auto stopped = mFake.Ctl({"-stop"}, {ours});
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    EXPECT_EQ(stopped.err, "");
    int wstatus = FakeService::WaitForExit(daemon);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
    EXPECT_TRUE(testutil::ProcessRunning(foreign));
    EXPECT_EQ(testutil::CountLinesContaining(otherLog, "Signal received"), 0);
    EXPECT_EQ(mFake.Slots().size(), 3u);

    status = mFake.Ctl({"-status"}, {ours});
    EXPECT_EQ(status.exitCode, 3);
    EXPECT_EQ(status.out, "Running services:\n" + others);
    auto again = mFake.Ctl({"-stop"}, {ours});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.err,
              "CDaemonController::stopService(): Could not find daemon pid for service FakeSvc\n");
    EXPECT_TRUE(testutil::ProcessRunning(foreign));
    // To its own installation the other daemon is the one that runs.
    status = mFake.Ctl({"-status"}, {theirs});
    EXPECT_EQ(status.exitCode, 0);
    EXPECT_EQ(status.out.find("[" + std::to_string(foreign) + "] FakeSvc \n"), 18u) << status.out;
    testutil::KillAndReap(foreign);

    // A segment of another size under the key: refused, with the way out.
    mFake.RemoveSegment();
    int id = shmget(mFake.key(), 16, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(id, 0);
    for (const char* sw : {"-start", "-status", "-stop"}) {
        auto r = mFake.Ctl({sw}, {ours});
        EXPECT_EQ(r.exitCode, 1) << sw;
        EXPECT_NE(r.err.find("has 16 bytes instead of 1152; if no daemon uses it, remove it with "
                             "ipcrm -m " + std::to_string(id) + "\n"),
                  std::string::npos)
            << sw << ": " << r.err;
    }
    mFake.RemoveSegment();
    EXPECT_EQ(mFake.CountLines("FAKE service runs"), 1);
}

}  // namespace

// A daemon whose run fails at its stop leaves its status to the -stop that
// ended it, which says so and exits 1; the next daemon starts with a clean
// record.
TEST_F(Lifecycle, StopSaysTheDaemonsRunFailed)
{
    const std::string runDir = mDir.path() + "/run";
    ASSERT_EQ(mkdir(runDir.c_str(), 0700), 0);
    for (int exit : {7, 0}) {
        auto started = mFake.Ctl({"-start"}, {"FAKE_EXIT=" + std::to_string(exit),
                                             "FAKE_RUN_DIR=" + runDir});
        ASSERT_EQ(started.exitCode, 0) << started.err;
        pid_t daemon = mFake.WaitForDaemon();
        ASSERT_GT(daemon, 0);
        ASSERT_TRUE(mFake.WaitForLog("FAKE service runs as " + std::to_string(daemon)));
        auto stopped = mFake.Ctl({"-stop"}, {"FAKE_RUN_DIR=" + runDir});
        if (exit == 0) {
            EXPECT_EQ(stopped.exitCode, 0);
            EXPECT_EQ(stopped.err, "");
            continue;
        }
        EXPECT_EQ(stopped.exitCode, 1);
        EXPECT_EQ(stopped.err, "CDaemonController::stopService(): Daemon 'FakeSvc' [" +
                                   std::to_string(daemon) +
                                   "] stopped with status 7; its log says why\n");
    }
}
