// The stops of a server's whole tree, run by the manager in this process:
// a preforking master with an escaping helper is killed, restarted and
// stopped, in cgroup and in session containment, and every signal the
// manager sends goes to a process of a tree. This program is linked with
// kill() wrapped: each signal's target is checked for the trees' marker on
// its command line at the moment it is sent.
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "appserver/AppServerManager.h"
#include "common/installation.h"
#include "shared/manager_peer.h"

namespace {

std::mutex gLock;
bool gWatching = false;
std::string gMarker;
std::vector<pid_t> gStrays;  // signalled, but no process of a tree
std::set<pid_t> gSeen;       // signalled while marked
size_t gSignals = 0;

}  // namespace

extern "C" int __real_kill(pid_t pid, int signal);
extern "C" int __wrap_kill(pid_t pid, int signal)
{
    std::lock_guard<std::mutex> hold(gLock);
    if (gWatching) {
        ++gSignals;
        std::string line =
            pid > 0 ? testutil::ReadFile("/proc/" + std::to_string(pid) + "/cmdline") : "";
        // A process on its way out has no command line left (its memory
        // goes first): one seen marked is still ours, and so is an unreaped
        // child of this process, whose pid cannot have gone to another.
        std::string stat = testutil::ReadFile("/proc/" + std::to_string(pid) + "/stat");
        size_t state = stat.find(") Z ");
        bool ours = line.empty() && (gSeen.count(pid) != 0 ||
                                     (state != std::string::npos &&
                                      atoi(stat.c_str() + state + 4) == getpid()));
        if (line.find(gMarker) != std::string::npos)
            gSeen.insert(pid);
        else if (!ours)
            gStrays.push_back(pid);
    }
    return __real_kill(pid, signal);
}

namespace {

using Clock = std::chrono::steady_clock;

// The live processes of the trees (zombies count as ended). Nothing is
// reaped here: the manager in this process reaps its own, and a leader's
// end reaped behind its back would never reach it.
std::vector<pid_t> Marked(const std::string& marker)
{
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    for (struct dirent* e; proc != nullptr && (e = readdir(proc)) != nullptr;) {
        pid_t pid = atoi(e->d_name);
        std::string line =
            pid > 0 ? testutil::ReadFile("/proc/" + std::to_string(pid) + "/cmdline") : "";
        if (line.find(marker) != std::string::npos && testutil::ProcessRunning(pid))
            found.push_back(pid);
    }
    if (proc != nullptr)
        closedir(proc);
    return found;
}

void Watch(bool on)
{
    std::lock_guard<std::mutex> hold(gLock);
    gWatching = on;
}

class TreeStop : public ::testing::TestWithParam<const char*> {
protected:
    // Runs the manager's loop until `done` holds; false after 15 s.
    template <class F>
    bool RunUntil(F done)
    {
        auto until = Clock::now() + std::chrono::seconds(15);
        while (!done()) {
            if (Clock::now() > until)
                return false;
            manager->startServers();
            manager->waitAndUpdateTerminated(50);
        }
        return true;
    }
    // A failed run leaves no process of its trees behind: an escaped helper
    // would hold the test's output open long after it ended.
    void TearDown() override
    {
        for (pid_t pid : Marked(gMarker))
            testutil::KillAndReap(pid);
    }
    testutil::Installation inst{testutil::Installation::Use::InProcess,
                                testutil::Installation::Perl::System};
    std::unique_ptr<CAppServerManager> manager;
};

TEST_P(TreeStop, EverySignalReachesAProcessOfTheTree)
{
    gMarker = "stop-" + std::to_string(getpid()) + "-" + GetParam();
    setenv("APPSRV_WORKERS", "2", 1);
    setenv("APPSRV_HELPER", "1", 1);
    setenv("APPSRV_MARKER", gMarker.c_str(), 1);
    manager = std::make_unique<CAppServerManager>();
    ServiceSettings settings;
    settings.containment = std::string(GetParam()) == "cgroup" ? Containment::Cgroup
                                                               : Containment::Session;
    settings.killTimeout = 2;
    manager->setSettings(settings);
    // Probed for readiness: in session containment the tree is proven at
    // readiness, before a helper that left the session loses its parent.
    unsigned short port = testutil::FreePort();
    AppServerProcess server(inst.dir(), "", "127.0.0.1", port, 1);
    server.mTarget = ProbeTarget::For("127.0.0.1", port);
    AppServerProcess& record = ManagerTestPeer::add(*manager, server);
    manager->contain();
    ASSERT_TRUE(RunUntil([&] { return record.serving() && Marked(gMarker).size() == 4; }));
    // The helper leaves the session after the readiness that proved the tree:
    // a look, as the accounting takes one every interval, proves it by its
    // parent before that parent is killed.
    manager->refreshFigures();

    Watch(true);
    pid_t master = record.mPid;
    std::vector<pid_t> first = Marked(gMarker);
    __real_kill(master, SIGKILL);
    ASSERT_TRUE(RunUntil([&] {
        for (pid_t pid : first)
            if (testutil::ProcessRunning(pid))
                return false;
        return record.mPid != master && Marked(gMarker).size() == 4;
    }));
    EXPECT_TRUE(manager->stopServers());
    EXPECT_TRUE(Marked(gMarker).empty());
    Watch(false);
    EXPECT_GT(gSignals, 0u);
    EXPECT_TRUE(gStrays.empty()) << gStrays.size() << " signals outside the trees, first to "
                                 << gStrays.front();
}

INSTANTIATE_TEST_SUITE_P(Containment, TreeStop, ::testing::Values("cgroup", "session"));

}  // namespace
