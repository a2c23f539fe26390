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

// The marked processes once there are `count` of them: a server serves
// before its workers and helper have all renamed themselves.
std::vector<pid_t> MarkedTree(const std::string& marker, unsigned short port, size_t count)
{
    std::vector<pid_t> found;
    testutil::WaitUntil([&] { return (found = Marked(marker, port)).size() >= count; }, 10000);
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

bool Serving(Installation& inst, unsigned short port, pid_t notPid)
{
    std::string object = inst.ServerObject(port);
    pid_t pid = inst.ServerPid(port);
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
    EXPECT_NE(inst.ServerObject(port).find(std::string("\"containment\": \"") + GetParam()),
              std::string::npos);
    std::vector<pid_t> tree = MarkedTree(marker, port, 4);
    ASSERT_EQ(tree.size(), 4u);  // master, two workers, the helper

    // The master is killed: its workers and helper are stopped, and the
    // restart binds the port again at once.
    pid_t master = inst.ServerPid(port);
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

    tree = MarkedTree(marker, inst.port(1), 4);
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
    std::vector<pid_t> tree = MarkedTree(marker, inst.port(0), 4);
    ASSERT_EQ(tree.size(), 4u);
    // A session's tree is recorded as the service last looked at it (its
    // readiness, an accounting round, a -servers): it must have seen all four.
    ASSERT_TRUE(testutil::WaitUntil([&] {
        return inst.ServerObject(inst.port(0)).find("\"processes\": 4,") != std::string::npos;
    }, 10000));
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
    for (pid_t pid : Marked(marker, inst.port(0)))
        ADD_FAILURE() << testutil::ReadFile("/proc/" + std::to_string(pid) + "/stat") << testutil::ReadFile(inst.log());
}

// A foreign listener on a server's port is not taken for the server: its
// holder is named, the start fails at its time-out, and -start says so.
TEST_P(TreeSlow, AForeignListenerIsNamedAndTheStartFails)
{
    testutil::WriteFile(inst.path("config/tarvelsvc.conf"),
                        std::string("[SERVICE]\nCONTAINMENT=") + GetParam() + "\nSTART_TIMEOUT=2\n");
    unsigned short port = inst.port(1);
    pid_t foreign = fork();
    if (foreign == 0) {
        execlp("python3", "python3", "-m", "http.server", std::to_string(port).c_str(), "--bind",
               "127.0.0.1", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(foreign, 0);
    ASSERT_TRUE(testutil::WaitUntil([&] { return !testutil::HttpGet(port).empty(); }, 10000));
    const std::string held = "port " + std::to_string(port) + " is held by pid " +
                             std::to_string(foreign) + " (python3), which is not this server";
    RunResult r = inst.Ctl({"-start"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find(held), std::string::npos) << r.out;
    EXPECT_GE(inst.CountLines("Server [127.0.0.1]:" + std::to_string(port) + ": " + held), 1);
    EXPECT_EQ(inst.ServerObject(port).find("\"ready\": true"), std::string::npos);
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
    kill(foreign, SIGTERM);
    waitpid(foreign, nullptr, 0);
}

// A server hung with its port open gets SIGTERM at once after its last
// failed probe, without a shutdown request it could not answer.
TEST_P(TreeSlow, AHungServerIsTerminatedAtOnce)
{
    testutil::WriteFile(inst.path("config/tarvelsvc.conf"),
                        std::string("[SERVICE]\nCONTAINMENT=") + GetParam() +
                            "\nKILL_TIMEOUT=2\nLIVENESS=http\nLIVENESS_PATH=/\n"
                            "LIVENESS_INTERVAL=1\nLIVENESS_TIMEOUT=1\nLIVENESS_FAILURES=2\n");
    unsigned short port = inst.port(0);
    // No workers: they would go on answering for the hung master.
    ASSERT_EQ(inst.Ctl({"-start"}, {"APPSRV_MARKER=" + marker}).exitCode, 0);
    std::vector<pid_t> tree = Marked(marker, port);
    pid_t master = inst.ServerPid(port);
    ASSERT_EQ(kill(master, SIGUSR1), 0);
    // Interval x failures + kill time-out + 2 s.
    EXPECT_TRUE(testutil::WaitUntil([&] { return Serving(inst, port, master); }, 6000))
        << testutil::ReadFile(inst.log());
    EXPECT_TRUE(AllGone(tree));
    EXPECT_EQ(inst.CountLines("Failed to shut down"), 0);
    EXPECT_EQ(inst.CountLines("Server [127.0.0.1]:" + std::to_string(port) + " ended with "), 1)
        << testutil::ReadFile(inst.log());
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

// A leaking server of a pool of two is recycled once for its memory limit,
// not counted as a failure, while the other serves all along.
TEST_P(TreeSlow, ALeakingServerIsRecycledWhileItsPoolServes)
{
    testutil::WriteFile(inst.path("config/tarvelsvc.conf"),
                        std::string("[SERVICE]\nCONTAINMENT=") + GetParam() +
                            "\nMEMORY_LIMIT=48M\nMEMORY_LIMIT_CHECKS=2\nACCOUNTING_INTERVAL=1\n");
    unsigned short port = inst.port(0), other = inst.port(1);
    ASSERT_EQ(inst.Ctl({"-start"}, {"APPSRV_LEAK_MIB_" + std::to_string(port) + "=16"}).exitCode, 0);
    pid_t leaking = inst.ServerPid(port);
    const std::string recycling = "Server [127.0.0.1]:" + std::to_string(port) + " uses ";
    bool otherServed = true;
    EXPECT_TRUE(testutil::WaitUntil([&] {
        otherServed = otherServed && !testutil::HttpGet(other).empty();
        return inst.CountLines(recycling) == 1 && Serving(inst, port, leaking);
    }, 20000)) << testutil::ReadFile(inst.log());
    EXPECT_TRUE(otherServed);
    EXPECT_EQ(inst.CountLines("MiB, over its limit of 48 MiB; recycling it"), 1);
    EXPECT_EQ(inst.CountLines("failed"), 0);
    EXPECT_NE(inst.Ctl({"-metrics"}).out.find("tarvel_server_recycles_total{address=\"127.0.0.1\",port=\"" +
                                              std::to_string(port) + "\",pool=\"demo\"} 1"),
              std::string::npos);
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

// The figures of a server of three processes agree with /proc's.
TEST_P(TreeSlow, TheFiguresOfATreeAgreeWithProc)
{
    unsigned short port = inst.port(0);
    ASSERT_EQ(inst.Ctl({"-start"}, {"APPSRV_WORKERS=2", "APPSRV_MARKER=" + marker}).exitCode, 0);
    std::vector<pid_t> tree = MarkedTree(marker, port, 3);
    ASSERT_EQ(tree.size(), 3u);
    double rss = 0;
    for (pid_t pid : tree) {
        std::string statm = testutil::ReadFile("/proc/" + std::to_string(pid) + "/statm");
        rss += atof(statm.substr(statm.find(' ') + 1).c_str()) * sysconf(_SC_PAGESIZE);
    }
    std::string object = inst.ServerObject(port);
    size_t at = object.find("\"memory_bytes\": ");
    ASSERT_NE(at, std::string::npos) << object;
    EXPECT_NEAR(atof(object.c_str() + at + 16), rss, rss / 10) << object;
    EXPECT_NE(object.find("\"processes\": 3,"), std::string::npos) << object;
    std::string metrics = inst.Ctl({"-metrics"}).out;
    EXPECT_NE(metrics.find("tarvel_server_processes{address=\"127.0.0.1\",port=\"" +
                           std::to_string(port) + "\",pool=\"demo\"} 3"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("tarvel_service_containment{mode=\"" + std::string(GetParam()) + "\"} 1"),
              std::string::npos);
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(Containment, TreeSlow, ::testing::Values("cgroup", "session"));

}  // namespace
