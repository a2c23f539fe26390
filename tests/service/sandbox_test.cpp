// The example systemd unit's sandbox, as far as this machine can build it
// without systemd: no new privileges, no capability, umask 0007 and, where
// mount namespaces are allowed, a read-only root with only the installation
// writable. The demo must run in it as it does outside: serve, restart a
// killed server, answer the control switches and stop in order.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "common/installation.h"

namespace {

using testutil::Installation;

// The mount options of the mount at `point` as the process sees it.
std::string MountOptions(pid_t pid, const std::string& point)
{
    std::istringstream in(testutil::ReadFile("/proc/" + std::to_string(pid) + "/mountinfo"));
    std::string options;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint, mountOptions;
        fields >> id >> parent >> device >> root >> mountPoint >> mountOptions;
        if (mountPoint == point)
            options = mountOptions;  // the last one is on top
    }
    return options;
}

TEST(Sandbox, DemoRunsUnderTheRestrictionsOfTheUnit)
{
    if (access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "setpriv is not installed";
    Installation inst(Installation::Use::Binary);
    bool root = getuid() == 0;
    bool mounts = root && access("/usr/bin/unshare", X_OK) == 0 &&
                  testutil::Run({"/usr/bin/unshare", "-m", "/bin/true"}).exitCode == 0;

    std::string script = "umask 0007 && ";
    if (mounts)
        script += "mount --make-rprivate / && mount --bind '" + inst.dir() + "' '" + inst.dir() +
                  "' && mount -o bind,remount,ro / && ";
    script += "exec setpriv --no-new-privs";
    if (root)
        script += " --bounding-set=-all --inh-caps=-all --ambient-caps=-all";
    script += " '" + inst.exe() + "' -console";
    std::vector<std::string> argv = {"/bin/sh", "-c", script};
    if (mounts)
        argv.insert(argv.begin(), {"/usr/bin/unshare", "-m"});
    pid_t console = testutil::Spawn(argv, inst.env(), inst.path("console.out"),
                                    inst.path("console.err"), true);
    ASSERT_TRUE(inst.WaitForServers()) << testutil::ReadFile(inst.path("console.err"))
                                       << testutil::ReadFile(inst.log());

    // The restrictions are those of the service and of its servers.
    std::vector<pid_t> servers = inst.Servers();
    ASSERT_EQ(servers.size(), 2u);
    for (pid_t pid : {console, servers[0]}) {
        EXPECT_EQ(testutil::StatusField(pid, "NoNewPrivs"), "1") << pid;
        if (root) {
            EXPECT_EQ(testutil::StatusField(pid, "CapEff"), "0000000000000000") << pid;
            EXPECT_EQ(testutil::StatusField(pid, "CapBnd"), "0000000000000000") << pid;
        }
        if (mounts) {
            EXPECT_EQ(MountOptions(pid, "/").compare(0, 3, "ro,"), 0) << MountOptions(pid, "/");
        }
    }
    EXPECT_EQ(testutil::StatusField(console, "Umask"), "0007");

    // Supervision and the control channel work as outside.
    kill(servers[0], SIGKILL);
    EXPECT_TRUE(testutil::WaitUntil([&] {
        std::vector<pid_t> now = inst.Servers();
        return now.size() == 2 && std::find(now.begin(), now.end(), servers[0]) == now.end();
    }, 10000)) << testutil::ReadFile(inst.log());
    EXPECT_TRUE(inst.WaitForServers(10000));
    testutil::RunResult r = inst.Ctl({"-servers"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = inst.Ctl({"-reload"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;

    kill(console, SIGTERM);
    int status = testutil::ServiceCopy::WaitForExit(console, 60000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(inst.Servers().empty());
    EXPECT_EQ(inst.CountLines("TARVEL service stops"), 1);
}

}  // namespace
