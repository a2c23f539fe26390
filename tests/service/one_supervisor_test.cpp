// One supervisor per installation: whether it runs as a daemon or under
// -console, and whatever file it was started from, the running service is
// found, stopped and never doubled.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

std::vector<pid_t> Sorted(std::vector<pid_t> pids)
{
    std::sort(pids.begin(), pids.end());
    return pids;
}

bool NoServers(const Installation& inst)
{
    return testutil::WaitUntil([&] { return inst.Servers().empty(); }, 5000);
}

std::string AlreadyStarted(const char* place, pid_t pid)
{
    return std::string("CDaemonController::") + place + "(): Service already started (pid " +
           std::to_string(pid) + ")";
}

TEST(OneSupervisor, ConsoleIsListedStoppedAndNeverDoubled)
{
    Installation inst(Installation::Use::Binary);
    pid_t console = inst.StartConsole();
    ASSERT_TRUE(inst.WaitForServers()) << testutil::ReadFile(inst.log());
    std::vector<pid_t> servers = Sorted(inst.Servers());
    ASSERT_EQ(servers.size(), 2u);

    // Seen as the daemon is seen.
    RunResult r = inst.Ctl({"-status"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Running services:\n[" + std::to_string(console) + "] TARVEL \n");
    ASSERT_EQ(inst.copy().Slots().size(), 1u);
    EXPECT_EQ(inst.copy().Slots()[0].pid, console);
    struct stat st;
    ASSERT_EQ(lstat(inst.path("run/tarvelsvc.lock").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(testutil::ReadFile(inst.path("run/tarvelsvc.lock")),
              std::to_string(console) + "\n");

    // A second service of either kind is refused before it starts anything.
    r = inst.Ctl({"-start"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, AlreadyStarted("startService", console) + "\n");
    r = inst.Ctl({"-console"}, {}, 20000);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, AlreadyStarted("startServiceConsole", console) + "\n");
    EXPECT_EQ(Sorted(inst.Servers()), servers);
    EXPECT_EQ(inst.CountLines("Process::start(): started"), 2);
    EXPECT_TRUE(testutil::ProcessRunning(console));

    r = inst.Ctl({"-servers"});
    EXPECT_EQ(r.exitCode, 0) << r.err;

    // -stop stops it gently, like a daemon, and nothing stays listed.
    r = inst.Ctl({"-stop"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    int status = testutil::ServiceCopy::WaitForExit(console, 5000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(inst.CountLines("TARVEL service stops"), 1);
    EXPECT_EQ(inst.CountLines("Failed to shut down"), 0);
    EXPECT_TRUE(NoServers(inst));
    EXPECT_TRUE(inst.copy().Slots().empty());
    r = inst.Ctl({"-status"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "No services running.\n");

    // Stopping what is stopped is no failure; the reason still goes to stderr.
    r = inst.Ctl({"-stop"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "CDaemonController::stopService(): Could not find daemon pid for service TARVEL\n");
}

TEST(OneSupervisor, DaemonOfARenamedExecutableIsStillTheInstallationsService)
{
    Installation inst(Installation::Use::Binary);
    pid_t daemon = inst.StartDaemon();
    ASSERT_GT(daemon, 0);
    RunResult r;
    std::vector<pid_t> servers = Sorted(inst.Servers());

    // An upgrade by hand: the running file moved away, a new one in its place.
    ASSERT_EQ(rename(inst.exe().c_str(), (inst.exe() + ".old").c_str()), 0);
    testutil::CopyFile(TARVELSVC_PATH, inst.exe(), true);

    r = inst.Ctl({"-status"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.out, "Running services:\n[" + std::to_string(daemon) + "] TARVEL \n");
    r = inst.Ctl({"-start"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, AlreadyStarted("startService", daemon) + "\n");
    r = inst.Ctl({"-console"}, {}, 20000);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, AlreadyStarted("startServiceConsole", daemon) + "\n");
    EXPECT_EQ(Sorted(inst.Servers()), servers);
    EXPECT_EQ(inst.CountLines("Process::start(): started"), 2);

    // -stop of the new file stops the old daemon.
    r = inst.Ctl({"-stop"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    int status = testutil::ServiceCopy::WaitForExit(daemon, 5000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(NoServers(inst));
    r = inst.Ctl({"-status"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "No services running.\n");
}

// -start and -console both refuse the installation's run/ for `reason`,
// and no server runs.
void ExpectRunDirectoryRefused(Installation& inst, const std::string& reason)
{
    for (const char* sw : {"-start", "-console"}) {
        RunResult r = inst.Ctl({sw}, {}, 20000);
        EXPECT_EQ(r.exitCode, 1) << sw;
        EXPECT_NE(r.err.find("CDaemonController: directory " + inst.path("run") + " refused (" +
                             reason + ")"),
                  std::string::npos)
            << sw << ": " << r.err;
        EXPECT_TRUE(inst.Servers().empty()) << sw;
    }
}

// The lock lives in run/, which the service only uses when it is its own.
TEST(OneSupervisor, RunDirectoryThatIsALinkIsRefused)
{
    Installation inst(Installation::Use::Binary);
    testutil::MakeDirs(inst.path("elsewhere"));
    ASSERT_EQ(symlink(inst.path("elsewhere").c_str(), inst.path("run").c_str()), 0);
    ExpectRunDirectoryRefused(inst, "it is a symbolic link");
    struct stat st;
    EXPECT_NE(lstat(inst.path("elsewhere/tarvelsvc.lock").c_str(), &st), 0);
}

// A run/ others may write is shared: the service neither uses nor chmods it.
TEST(OneSupervisor, SharedRunDirectoryIsRefusedAndKeepsItsMode)
{
    Installation inst(Installation::Use::Binary);
    testutil::MakeDirs(inst.path("run"));
    ASSERT_EQ(chmod(inst.path("run").c_str(), 01777), 0);
    ExpectRunDirectoryRefused(inst, "group or others may write it");
    struct stat st;
    ASSERT_EQ(lstat(inst.path("run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    EXPECT_NE(lstat(inst.path("run/tarvelsvc.lock").c_str(), &st), 0);
}

}  // namespace
