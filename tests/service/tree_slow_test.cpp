// A server is its whole process tree, with the real binary and the demo, in
// cgroup containment (where this machine allows it) and in session
// containment: a preforking master with an escaping setsid helper is
// stopped whole by every way a server ends, and a foreign listener is not
// taken for the server. Whether anything of a tree is left is checked by
// the marker on the command line of every one of its processes, over all of
// /proc; a zombie counts as ended.
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

// The live processes whose command line holds `marker` and "-port P".
std::vector<pid_t> Marked(const std::string& marker, unsigned short port)
{
    // Orphans of the killed daemon come to this test (a subreaper): reap them.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    const std::string wanted = "-port " + std::to_string(port) + " " + marker;
    for (struct dirent* e; proc != nullptr && (e = readdir(proc)) != nullptr;) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0)
            continue;
        std::string line = testutil::ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
        if (line.find(wanted) != std::string::npos && testutil::ProcessRunning(pid))
            found.push_back(pid);
    }
    if (proc != nullptr)
        closedir(proc);
    return found;
}

bool AllGone(const std::vector<pid_t>& pids)
{
    return testutil::WaitUntil([&] {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        for (pid_t pid : pids)
            if (testutil::ProcessRunning(pid))
                return false;
        return true;
    }, 10000);
}

std::string ObjectOf(Installation& inst, unsigned short port)
{
    RunResult r = inst.Ctl({"-servers", "-json"});
    size_t at = r.out.find("\"port\": " + std::to_string(port) + ",");
    return at == std::string::npos ? "" : r.out.substr(at, r.out.find('}', at) - at);
}

pid_t PidOf(Installation& inst, unsigned short port)
{
    std::string object = ObjectOf(inst, port);
    size_t at = object.find("\"pid\": ");
    return at == std::string::npos ? 0 : atoi(object.c_str() + at + 7);
}

bool Serving(Installation& inst, unsigned short port, pid_t notPid)
{
    std::string object = ObjectOf(inst, port);
    pid_t pid = PidOf(inst, port);
    return object.find("\"state\": \"serving\"") != std::string::npos && pid != notPid &&
           testutil::HttpGet(port).find("200") != std::string::npos;
}

class TreeSlow : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        testutil::WriteFile(inst.path("config/tarvelsvc.conf"),
                            std::string("[SERVICE]\nCONTAINMENT=") + GetParam() +
                                "\nKILL_TIMEOUT=2\n");
    }
    std::vector<std::string> Tree() const
    {
        return {"APPSRV_WORKERS=2", "APPSRV_HELPER=1", "APPSRV_MARKER=" + marker};
    }
    Installation inst{Installation::Use::Binary};
    std::string marker = "tree-" + std::to_string(getpid()) + "-" + GetParam();
};

TEST_P(TreeSlow, APreforkingServerWithAnEscapingHelperIsStoppedWhole)
{
    unsigned short port = inst.port(0);
    ASSERT_EQ(inst.Ctl({"-start"}, Tree()).exitCode, 0) << testutil::ReadFile(inst.log());
    EXPECT_EQ(inst.CountLines(std::string("containment: ") + GetParam()), 1);
    EXPECT_NE(ObjectOf(inst, port).find(std::string("\"containment\": \"") + GetParam()),
              std::string::npos);
    std::vector<pid_t> tree = Marked(marker, port);
    ASSERT_EQ(tree.size(), 4u);  // master, two workers, the helper

    // The master is killed: its workers and helper are stopped, and the
    // restart binds the port again at once.
    pid_t master = PidOf(inst, port);
    ASSERT_EQ(kill(master, SIGKILL), 0);
    EXPECT_TRUE(testutil::WaitUntil([&] { return Serving(inst, port, master); }, 2000 + 2000))
        << testutil::ReadFile(inst.log());
    EXPECT_TRUE(AllGone(tree));
    EXPECT_EQ(inst.CountLines("Server [127.0.0.1]:" + std::to_string(port) +
                              ": 3 processes of its tree outlived it (pids "),
              1)
        << testutil::ReadFile(inst.log());
    EXPECT_EQ(inst.CountLines("Address already in use"), 0);

    tree = Marked(marker, port);
    ASSERT_EQ(inst.Ctl({"-restartserver", "127.0.0.1:" + std::to_string(port)}).exitCode, 0);
    EXPECT_TRUE(AllGone(tree));
    tree = Marked(marker, port);
    ASSERT_EQ(inst.Ctl({"-stopserver", "127.0.0.1:" + std::to_string(port)}).exitCode, 0);
    EXPECT_TRUE(Marked(marker, port).empty());
    EXPECT_TRUE(AllGone(tree));

    tree = Marked(marker, inst.port(1));
    ASSERT_EQ(tree.size(), 4u);
    ASSERT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
    EXPECT_TRUE(Marked(marker, inst.port(1)).empty());
    EXPECT_TRUE(AllGone(tree));
}

// After a SIGKILL of the daemon, the next start stops what is left of the
// earlier trees (the master ends by its death signal; its helper does not)
// before it starts the servers again.
TEST_P(TreeSlow, WhatAKilledDaemonLeftIsStoppedByTheNextStart)
{
    ASSERT_EQ(inst.Ctl({"-start"}, Tree()).exitCode, 0) << testutil::ReadFile(inst.log());
    std::vector<pid_t> tree = Marked(marker, inst.port(0));
    ASSERT_EQ(tree.size(), 4u);
    pid_t daemon = 0;
    for (const auto& slot : inst.copy().Slots())
        daemon = slot.pid;
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(kill(daemon, SIGKILL), 0);
    ASSERT_TRUE(AllGone({daemon}));
    std::vector<pid_t> left = Marked(marker, inst.port(0));
    ASSERT_FALSE(left.empty());  // the helper at least

    ASSERT_EQ(inst.Ctl({"-start"}, Tree()).exitCode, 0) << testutil::ReadFile(inst.log());
    EXPECT_TRUE(AllGone(left));
    EXPECT_EQ(inst.CountLines("Server [127.0.0.1]:" + std::to_string(inst.port(0)) + ": "), 1)
        << testutil::ReadFile(inst.log());
    EXPECT_EQ(inst.CountLines("of an earlier service's tree"), 2);
    ASSERT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
    EXPECT_TRUE(Marked(marker, inst.port(0)).empty());
    if (getenv("TREE_DEBUG")) std::cerr << testutil::ReadFile(inst.log());
}

INSTANTIATE_TEST_SUITE_P(Containment, TreeSlow, ::testing::Values("cgroup", "session"));

}  // namespace
