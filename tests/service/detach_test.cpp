// -start through the real binary: the daemon detaches, -start returns once
// the servers were started or with the daemon's own error line, and every
// output of the daemon and its servers lands in a file of the log directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::ElapsedMs;

std::string Link(const std::string& path)
{
    std::string target;
    char buffer[4096];
    ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
    if (n > 0)
        target.assign(buffer, static_cast<size_t>(n));
    return target;
}

// Process group and session of a process, from /proc/<pid>/stat.
std::pair<pid_t, pid_t> GroupAndSession(pid_t pid)
{
    std::string stat = testutil::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string state;
    pid_t parent = 0, group = 0, session = 0;
    fields >> state >> parent >> group >> session;
    return {group, session};
}

unsigned Mode(const std::string& path)
{
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(Detach, StartReturnsWhenServersRunAndEveryOutputLandsInItsFile)
{
    umask(022);
    Installation inst(Installation::Use::Binary);
    std::string logDir = inst.dir() + "/log";
    std::string port0 = std::to_string(inst.port(0));
    std::string port1 = std::to_string(inst.port(1));
    std::string file0 = logDir + "/AppServer_127.0.0.1_" + port0 + ".log";
    std::string file1 = logDir + "/AppServer_127.0.0.1_" + port1 + ".log";
    // A link planted where a server's file goes is not followed.
    std::string elsewhere = inst.dir() + "/elsewhere";
    testutil::WriteFile(elsewhere, "");
    ASSERT_EQ(symlink(elsewhere.c_str(), file1.c_str()), 0);

    // The daemon holds nothing of the caller's: a command substitution
    // reading its output through a pipe returns.
    std::vector<std::string> env = inst.env();
    env.push_back("APPSRV_SAY=hello");
    auto begin = std::chrono::steady_clock::now();
    auto r = testutil::Run(
        {"/bin/sh", "-c", "out=$(\"$0\" -start 2>&1 | cat); printf '[%s]' \"$out\"", inst.exe()},
        env, 20000);
    ASSERT_FALSE(r.timedOut);
    EXPECT_LT(ElapsedMs(begin), 10000);
    EXPECT_EQ(r.exitCode, 0);
    // Only the summary of the start: the servers' own output is theirs.
    EXPECT_EQ(r.out, "[2 of 2 servers serving]");

    // Ready means started: the entry and both starts are there already.
    auto slots = inst.copy().Slots();
    ASSERT_EQ(slots.size(), 1u);
    pid_t daemon = slots[0].pid;
    EXPECT_EQ(inst.CountLines("Process::start(): started"), 2);

    // A session of its own (no Ctrl-C or hang-up of the caller's terminal
    // reaches it), nothing to read, output to Service.out.
    EXPECT_EQ(GroupAndSession(daemon), std::make_pair(daemon, daemon));
    std::string proc = "/proc/" + std::to_string(daemon) + "/fd/";
    EXPECT_EQ(Link(proc + "0"), "/dev/null");
    EXPECT_EQ(Link(proc + "1"), logDir + "/Service.out");
    EXPECT_EQ(Link(proc + "2"), logDir + "/Service.out");
    EXPECT_EQ(Mode(logDir + "/Service.out"), 0640u);

    // Each server writes to its own file; the one whose file is a link
    // writes to the daemon's output instead, and says why in the log.
    ASSERT_TRUE(inst.WaitForServers());
    auto said = [](const std::string& path, const std::string& port) {
        return testutil::WaitUntil([&] {
            return testutil::CountLinesContaining(path, "hello port " + port + " on std") == 2;
        }, 5000);
    };
    EXPECT_TRUE(said(file0, port0)) << testutil::ReadFile(file0);
    EXPECT_EQ(Mode(file0), 0640u);
    EXPECT_TRUE(said(logDir + "/Service.out", port1));
    EXPECT_EQ(testutil::ReadFile(elsewhere), "");
    EXPECT_EQ(inst.CountLines("StartProcess(): cannot open output file " + file1 +
                              " (Too many levels of symbolic links)"),
              1);

    // A new server process appends to the file of its predecessor.
    auto servers = inst.Servers();
    ASSERT_EQ(servers.size(), 2u);
    kill(servers[0], SIGKILL);
    kill(servers[1], SIGKILL);
    ASSERT_TRUE(inst.WaitForLog("Process::start(): started", 4));
    ASSERT_TRUE(inst.WaitForServers());
    EXPECT_TRUE(testutil::WaitUntil(
        [&] { return testutil::CountLinesContaining(file0, "hello port " + port0) == 4; }, 5000));

    r = inst.Ctl({"-stop"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(testutil::ServiceCopy::WaitForExit(daemon), 0);
}

TEST(Detach, FailedStartsReportTheDaemonsLineAndLeaveNothingBehind)
{
    Installation inst(Installation::Use::Binary);
    std::string dir = inst.dir();
    struct Case {
        std::string sw;
        std::vector<std::string> env;
        std::string line;  // the daemon's own line, exactly, or its beginning
        bool exact;
    } cases[] = {
        {"-start",
         {"TARVEL_IPLIST=127.0.0.1 nosuchhost.invalid"},
         "main(): General exception: nosuchhost.invalid: ",
         false},
        {"-runservice",
         {"TARVEL_CONFIG=" + dir + "/nowhere"},
         "main(): General exception: CIniFile::CIniFile(): KXIniFileNew() failed in file " + dir +
             "/nowhere/WebInterface.conf (No such file or directory) (status=50001)\n",
         true},
        {"-start",
         {"TARVEL_LOG=" + dir + "/nolog"},
         "main(): General exception: Can't write log file '" + dir +
             "/nolog/Service.log' (No such file or directory) (status=50000)\n",
         true},
        // The variable and the option go through the same checks.
        {"-restart",
         {"TARVEL_IPLIST=" + std::string(8192, ',')},
         "main(): General exception: CAppServerManager::setIPList(): address list of 8192 "
         "characters is longer than 8191 (status=6)\n",
         true},
    };
    for (const auto& c : cases) {
        auto r = inst.Ctl({c.sw}, c.env, 40000);
        EXPECT_EQ(r.exitCode, 1) << c.line;
        EXPECT_EQ(r.out, "");
        if (c.exact)
            EXPECT_EQ(r.err, c.line);
        else
            EXPECT_EQ(r.err.rfind(c.line, 0), 0u) << r.err;
        EXPECT_EQ(r.err.find("Success"), std::string::npos) << r.err;
        EXPECT_TRUE(inst.copy().Slots().empty()) << c.line;
        EXPECT_TRUE(inst.Servers().empty());
    }
    EXPECT_EQ(inst.CountLines("main(): General exception: nosuchhost.invalid: "), 1);

    // A separator-only variable means the host's own addresses, as for the
    // option. The controller's other switches never resolve a name.
    auto r = inst.Ctl({"-start"}, {"TARVEL_IPLIST= ,\t,"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto slots = inst.copy().Slots();
    ASSERT_EQ(slots.size(), 1u);
    std::vector<std::string> unresolvable{"TARVEL_IPLIST=nosuchhost.invalid"};
    r = inst.Ctl({"-status"}, unresolvable);
    EXPECT_EQ(r.out, "Running services:\n[" + std::to_string(slots[0].pid) + "] TARVEL \n");
    r = inst.Ctl({"-stop"}, unresolvable);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(testutil::ServiceCopy::WaitForExit(slots[0].pid), 0);
}

}  // namespace
