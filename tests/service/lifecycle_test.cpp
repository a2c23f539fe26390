// The whole service through the real binary: servers started and kept
// running, stopped gently on SIGTERM/SIGINT, the daemon switches.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>

#include "common/installation.h"

namespace {

using testutil::HttpGet;
using testutil::Installation;
using testutil::ElapsedMs;

const char kStops[] = "TARVEL service stops";

int WaitForExit(pid_t pid, int timeoutMs = 20000)
{
    return testutil::ServiceCopy::WaitForExit(pid, timeoutMs);
}

bool NoServers(const Installation& inst, int timeoutMs = 3000)
{
    return testutil::WaitUntil([&] { return inst.Servers().empty(); }, timeoutMs);
}

// The servers got the shutdown request and ended on it: no end was logged
// for them, nothing failed, and no SIGTERM was needed.
void ExpectGentleStop(const Installation& inst)
{
    EXPECT_EQ(inst.CountLines("Failed to shut down"), 0);
    EXPECT_EQ(inst.CountLines("getSocket"), 0);
    EXPECT_EQ(inst.CountLines("terminated"), 0);
    EXPECT_EQ(inst.CountLines(kStops), 1);
}

TEST(Console, ServesRestartsAndStopsGentlyOnSignals)
{
    for (int sig : {SIGTERM, SIGINT}) {
        Installation inst(Installation::Use::Binary);
        pid_t console = inst.StartConsole();
        ASSERT_TRUE(inst.WaitForServers()) << testutil::ReadFile(inst.log());

        // A server killed from outside is logged and comes back.
        auto servers = inst.Servers();
        ASSERT_EQ(servers.size(), 2u);
        kill(servers[0], SIGKILL);
        ASSERT_TRUE(inst.WaitForLog("terminated due to an unhandled signal #9"));
        ASSERT_TRUE(inst.WaitForServers());
        EXPECT_EQ(inst.CountLines("Process::start(): started"), 3);
        // The end is told before the start it causes.
        std::string log = testutil::ReadFile(inst.log());
        EXPECT_LT(log.find("terminated due to an unhandled signal #9"),
                  log.rfind("Process::start(): started"))
            << log;

        // Ctrl-C in a terminal reaches the whole foreground group; the
        // servers lead sessions of their own, so it reaches only the
        // service, which stops them by the shutdown request.
        kill(sig == SIGINT ? -console : console, sig);
        int status = WaitForExit(console);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(inst.CountLines("Signal received: " + std::to_string(sig)), 1);
        EXPECT_EQ(inst.CountLines("Failed to shut down"), 0);
        EXPECT_EQ(inst.CountLines("getSocket"), 0);
        EXPECT_EQ(inst.CountLines("terminated"), 1);  // only the SIGKILL above
        EXPECT_EQ(inst.CountLines(kStops), 1);
        EXPECT_TRUE(NoServers(inst));
        EXPECT_EQ(HttpGet(inst.port(0)), "");
    }
}

// SIGHUP reloads, as operators expect of a daemon: the servers of an
// unchanged configuration keep running, and the log tells the summary.
TEST(Console, SighupReloadsAndKeepsTheServers)
{
    Installation inst(Installation::Use::Binary);
    pid_t console = inst.StartConsole();
    ASSERT_TRUE(inst.WaitForServers());
    std::vector<pid_t> before = inst.Servers();
    kill(console, SIGHUP);
    ASSERT_TRUE(inst.WaitForLog("Reload: 0 added, 0 removed, 0 changed, ")) << testutil::ReadFile(inst.log());
    EXPECT_EQ(inst.CountLines("Signal received: 1; reloading the configuration"), 1);
    EXPECT_TRUE(testutil::ProcessRunning(console));
    EXPECT_EQ(inst.Servers(), before);
    kill(console, SIGTERM);
    int status = WaitForExit(console);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(inst.CountLines(kStops), 1);
    EXPECT_TRUE(NoServers(inst, 1000));
}

TEST(Daemon, StartStatusStopAndRestart)
{
    Installation inst(Installation::Use::Binary);
    pid_t daemon = inst.StartDaemon();
    ASSERT_GT(daemon, 0);
    auto r = inst.Ctl({"-status"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Running services:\n[" + std::to_string(daemon) + "] TARVEL \n");

    r = inst.Ctl({"-start"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "CDaemonController::startService(): Service already started (pid " +
                         std::to_string(daemon) + ")\n");

    // Another copy of the program at another path has a list of its own.
    Installation other(Installation::Use::Binary);
    r = other.Ctl({"-status"});
    EXPECT_EQ(r.out, "No services running.\n");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_FALSE(other.copy().SegmentExists());

    // An upgrade renames a new executable over the running one: the daemon
    // is still found. -restart stops it with its servers before the new
    // one starts.
    testutil::CopyFile(TARVELSVC_PATH, inst.exe() + ".new", true);
    ASSERT_EQ(rename((inst.exe() + ".new").c_str(), inst.exe().c_str()), 0);
    r = inst.Ctl({"-status"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Running services:\n[" + std::to_string(daemon) + "] TARVEL \n");
    r = inst.Ctl({"-restart"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(WaitForExit(daemon), 0);
    pid_t second = inst.copy().WaitForDaemon("TARVEL", daemon);
    ASSERT_GT(second, 0);
    ASSERT_TRUE(inst.WaitForServers());
    int stops = inst.LineOf(kStops);
    ASSERT_GE(stops, 0);
    EXPECT_GT(inst.LineOf("Process::start(): started", stops), stops);
    EXPECT_EQ(inst.CountLines("Failed to shut down"), 0);

    r = inst.Ctl({"-stop"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(WaitForExit(second), 0);
    EXPECT_TRUE(NoServers(inst));
    EXPECT_EQ(inst.CountLines(kStops), 2);
    r = inst.Ctl({"-status"});
    EXPECT_EQ(r.out, "No services running.\n");
    EXPECT_EQ(r.exitCode, 3);
}

TEST(Daemon, KilledDaemonLeavesNoServerAndIsClearedByTheNextStart)
{
    Installation inst(Installation::Use::Binary);
    pid_t daemon = inst.StartDaemon();
    ASSERT_GT(daemon, 0);

    kill(daemon, SIGKILL);
    WaitForExit(daemon);
    EXPECT_TRUE(NoServers(inst, 1000));

    auto r = inst.Ctl({"-status"});
    EXPECT_EQ(r.out, "Running services:\n[" + std::to_string(daemon) + "] TARVEL (dead)\n");
    EXPECT_EQ(r.exitCode, 1);

    // The ports are free again, so a new daemon can serve them at once.
    pid_t second = inst.StartDaemon({}, daemon);
    ASSERT_GT(second, 0);
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
    EXPECT_EQ(WaitForExit(second), 0);
}

TEST(Daemon, StopWaitsForAGentleStopThatTakesFiveSeconds)
{
    Installation inst(Installation::Use::Binary);
    pid_t daemon = inst.StartDaemon({"APPSRV_SHUTDOWN_DELAY=5"});
    ASSERT_GT(daemon, 0);

    auto begin = std::chrono::steady_clock::now();
    auto r = inst.Ctl({"-stop"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_GE(ElapsedMs(begin), 4500);
    EXPECT_LT(ElapsedMs(begin), 30000);
    int status = WaitForExit(daemon);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ExpectGentleStop(inst);
    EXPECT_TRUE(NoServers(inst));
}

TEST(Daemon, StopWithoutDaemonFailsAndRestartStarts)
{
    Installation inst(Installation::Use::Binary);
    auto r = inst.Ctl({"-stop"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "CDaemonController::stopService(): Could not find daemon pid for service TARVEL\n");
    EXPECT_TRUE(inst.copy().Slots().empty());

    // -restart with nothing to stop starts the service.
    r = inst.Ctl({"-restart"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(inst.copy().Slots().size(), 1u);
    pid_t daemon = inst.copy().Slots()[0].pid;
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
    EXPECT_EQ(WaitForExit(daemon), 0);
}

}  // namespace
