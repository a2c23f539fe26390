// The demo installation: its configuration builds the two servers on
// 127.0.0.1, and its application server answers HTTP and leaves on the
// shutdown request (with the behaviours the tests switch on).
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "appserver/AppServerManager.h"
#include "common/installation.h"

using testutil::Installation;

namespace {

const std::string kDemo = std::string(TARVEL_SOURCE_DIR) + "/demo";
const std::string kScript = kDemo + "/cartridges/DE_TARVEL/WebInterface/Scripts/appsrv.pl";
const std::string kShutdown =
    "GET /\r\nX-tarvel-EXTRAINFO: shutdown\r\nuser-agent: tarvel Service\r\n\r\n";

TEST(DemoInstallation, ConfigurationGivesTwoServersOn127001)
{
    Installation inst;  // only for the log; the directories are the demo's
    setenv("TARVEL", kDemo.c_str(), 1);
    setenv("TARVEL_PERL", (kDemo + "/perl").c_str(), 1);
    setenv("TARVEL_CARTRIDGES", (kDemo + "/cartridges").c_str(), 1);
    setenv("TARVEL_CONFIG", (kDemo + "/config").c_str(), 1);
    CAppServerManager manager;
    manager.setIPList(std::vector<std::string>{"127.0.0.1"});
    manager.buildTables();
    ASSERT_EQ(manager.processes().size(), 2u);
    EXPECT_EQ(manager.processes()[0].mPort, 8001);
    EXPECT_EQ(manager.processes()[1].mPort, 8002);
    EXPECT_EQ(manager.processes()[1].mPool, "demo");
    EXPECT_EQ(manager.processes()[0].mCommand,
              kDemo + "/perl/bin/perl -w " + kScript + " -localip 127.0.0.1 -port 8001 -bind");
    EXPECT_TRUE(inst.messages().empty()) << inst.messages()[0];  // nothing unknown in the files
    char target[4096];
    ssize_t n = readlink((kDemo + "/perl/bin/perl").c_str(), target, sizeof target);
    EXPECT_EQ(std::string(target, n > 0 ? n : 0), "/usr/bin/perl");
}

// Sends text to 127.0.0.1:port and returns everything the server answers.
std::string Exchange(unsigned short port, const std::string& text)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        send(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size())) {
        char buf[4096];
        for (ssize_t got; (got = recv(fd, buf, sizeof buf, 0)) > 0;)
            reply.append(buf, got);
    }
    close(fd);
    return reply;
}

class AppsrvScript : public ::testing::Test {
protected:
    // The script's ends are waited for here, not by the supervisor's handler
    // that the configuration test installed.
    void SetUp() override { signal(SIGCHLD, SIG_DFL); }
    void start(const std::vector<std::string>& env = {})
    {
        port = testutil::FreePort();
        pid = testutil::Spawn({"/usr/bin/perl", kScript, "-localip", "127.0.0.1", "-port",
                               std::to_string(port), "-bind"},
                              env);
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(testutil::WaitUntil([&] { return testutil::PortOpen(port); }, 10000));
    }
    // Exit status once the script has ended within the limit, else -1.
    int endWithin(int ms)
    {
        int status = -1;
        bool ended = testutil::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, ms);
        if (ended)
            pid = 0;
        return ended ? status : -1;
    }
    void TearDown() override { testutil::KillAndReap(pid); }

    pid_t pid = 0;
    unsigned short port = 0;
};

TEST_F(AppsrvScript, AnswersGetWithPortPidAndUptime)
{
    start();
    std::string reply = Exchange(port, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("port: " + std::to_string(port)), std::string::npos);
    EXPECT_NE(reply.find("pid: " + std::to_string(pid)), std::string::npos);
    EXPECT_NE(reply.find("uptime: "), std::string::npos);
    EXPECT_TRUE(testutil::ProcessRunning(pid));
}

TEST_F(AppsrvScript, ShutdownRequestEndsWithCodeZero)
{
    start();
    EXPECT_EQ(Exchange(port, kShutdown), "");  // no reply is read by the service
    int status = endWithin(5000);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(testutil::PortOpen(port));
}

TEST_F(AppsrvScript, ShutdownCanBeIgnoredOrDelayed)
{
    start({"APPSRV_IGNORE_SHUTDOWN=1"});
    Exchange(port, kShutdown);
    EXPECT_EQ(endWithin(500), -1);
    EXPECT_NE(Exchange(port, "GET / HTTP/1.0\r\n\r\n").find("200 OK"), std::string::npos);
    testutil::KillAndReap(pid);

    start({"APPSRV_SHUTDOWN_DELAY=1"});
    Exchange(port, kShutdown);
    EXPECT_EQ(endWithin(700), -1);
    int status = endWithin(3000);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(AppsrvScript, ExitCodeAndCrashSignalOnRequest)
{
    port = testutil::FreePort();
    pid = testutil::Spawn({"/usr/bin/perl", kScript, "-port", std::to_string(port)},
                          {"APPSRV_EXIT_CODE=9"});
    int status = endWithin(10000);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 9) << status;

    pid = testutil::Spawn({"/usr/bin/perl", kScript, "-port", std::to_string(port)},
                          {"APPSRV_CRASH_SIGNAL=9"});
    status = endWithin(10000);
    EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == 9) << status;
}

TEST_F(AppsrvScript, EndsOnSigterm)
{
    start();
    kill(pid, SIGTERM);
    int status = endWithin(5000);
    EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

// The processes whose command line ends with the marker: role -> pids.
std::multimap<std::string, pid_t> Tree(const std::string& marker)
{
    std::multimap<std::string, pid_t> tree;
    DIR* proc = opendir("/proc");
    for (dirent* entry; proc != nullptr && (entry = readdir(proc)) != nullptr;) {
        const pid_t pid = atoi(entry->d_name);
        if (pid <= 0 || testutil::ProcessStateOf(pid) == 'Z')
            continue;
        std::ifstream file("/proc/" + std::string(entry->d_name) + "/cmdline");
        std::string line;
        std::getline(file, line);
        std::replace(line.begin(), line.end(), '\0', ' ');
        std::istringstream words(line);
        std::string name, role, portSwitch, portText, last;
        words >> name >> role >> portSwitch >> portText >> last;
        if (name == "appsrv.pl" && last == marker)
            tree.emplace(role, pid);
    }
    if (proc != nullptr)
        closedir(proc);
    return tree;
}

// Preforked trees: every process carries the marker, the workers share the
// port and outlive a killed master, the application stops its own workers
// on the shutdown request, and a master may leave them on SIGTERM.
class AppsrvTree : public AppsrvScript {
protected:
    void SetUp() override
    {
        AppsrvScript::SetUp();
        testutil::BecomeSubreaper();
        marker = "tree-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    }
    void TearDown() override
    {
        // Only processes carrying this test's marker, each by its pid.
        for (const auto& member : Tree(marker))
            kill(member.second, SIGKILL);
        testutil::WaitUntil([&] { testutil::ReapChildren(); return Tree(marker).empty(); }, 5000);
        AppsrvScript::TearDown();
    }
    std::multimap<std::string, pid_t> startTree(std::vector<std::string> env, size_t size)
    {
        env.push_back("APPSRV_MARKER=" + marker);
        start(env);
        EXPECT_TRUE(testutil::WaitUntil([&] { return Tree(marker).size() == size; }, 10000));
        return Tree(marker);
    }

    static int serial;
    std::string marker;
};
int AppsrvTree::serial = 0;

TEST_F(AppsrvTree, WorkersOutliveAKilledMasterAndTheHelperEveryStop)
{
    auto tree = startTree({"APPSRV_WORKERS=2", "APPSRV_HELPER=1"}, 4);
    EXPECT_EQ(tree.count("master"), 1u);
    EXPECT_EQ(tree.count("worker"), 2u);
    EXPECT_EQ(tree.count("helper"), 1u);
    EXPECT_EQ(tree.find("master")->second, pid);
    const std::string reply = Exchange(port, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_NE(reply.find("200 OK"), std::string::npos);
    EXPECT_EQ(reply.find("pid: " + std::to_string(pid) + "\n"), std::string::npos);  // a worker answered

    kill(pid, SIGKILL);
    EXPECT_NE(endWithin(5000), -1);
    EXPECT_NE(Exchange(port, "GET / HTTP/1.0\r\n\r\n").find("200 OK"), std::string::npos);
    EXPECT_EQ(Tree(marker).size(), 3u);
}

TEST_F(AppsrvTree, TheShutdownRequestEndsTheWorkersButNotTheHelper)
{
    startTree({"APPSRV_WORKERS=2", "APPSRV_HELPER=1"}, 4);
    Exchange(port, kShutdown);
    int status = endWithin(5000);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(testutil::WaitUntil([&] { return Tree(marker).size() == 1; }, 5000));
    EXPECT_EQ(Tree(marker).count("helper"), 1u);
    EXPECT_FALSE(testutil::PortOpen(port));
}

TEST_F(AppsrvTree, SigtermReachesTheWorkersUnlessTheMasterDoesNotForwardIt)
{
    startTree({"APPSRV_WORKERS=2"}, 3);
    kill(pid, SIGTERM);
    EXPECT_NE(endWithin(5000), -1);
    EXPECT_TRUE(testutil::WaitUntil([&] { testutil::ReapChildren(); return Tree(marker).empty(); }, 5000));

    startTree({"APPSRV_WORKERS=2", "APPSRV_NO_TERM_FORWARD=1"}, 3);
    kill(pid, SIGTERM);
    EXPECT_NE(endWithin(5000), -1);
    EXPECT_EQ(Tree(marker).count("worker"), 2u);
}

TEST_F(AppsrvTree, ALeakGrowsTheMasterEverySecond)
{
    startTree({"APPSRV_LEAK_MIB=8"}, 1);
    auto rss = [&] {
        std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
        long size = 0, resident = 0;
        statm >> size >> resident;
        return resident * sysconf(_SC_PAGESIZE);
    };
    const long before = rss();
    EXPECT_TRUE(testutil::WaitUntil([&] { return rss() >= before + 16 * 1048576; }, 10000));
}

}  // namespace
