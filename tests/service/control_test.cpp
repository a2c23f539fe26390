// The control channel through the real binary: -servers and -json, one
// server stopped, started and restarted, reloads that change the table or
// fail, the peers that are refused, a silent client beside a restart, and
// what systemd hears on NOTIFY_SOCKET.
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <chrono>
#include <mutex>
#include <thread>
#include <sstream>

#include "common/installation.h"
#include "shared/sockets.h"
#include "servicectl/ControlClient.h"

namespace {

using testutil::HttpGet;
using testutil::Installation;
using testutil::RunResult;

std::string Endpoint(unsigned short port)
{
    return "127.0.0.1:" + std::to_string(port);
}

// The pid of the server of this installation that runs on `port`; 0 if none.
pid_t ServerOn(const Installation& inst, unsigned short port)
{
    for (pid_t pid : inst.Servers()) {
        std::string cmdline = testutil::ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
        if (cmdline.find(std::string("-port") + '\0' + std::to_string(port) + '\0') !=
            std::string::npos)
            return pid;
    }
    return 0;
}

bool Answers(unsigned short port)
{
    return HttpGet(port).find("port: " + std::to_string(port)) != std::string::npos;
}

// The line of `text` that starts with `prefix`; empty if none.
std::string LineStarting(const std::string& text, const std::string& prefix)
{
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, prefix.size(), prefix) == 0)
            return line;
    return "";
}

// The JSON object of the table that is about `port`; empty if none.
std::string JsonObjectOf(const std::string& json, unsigned short port)
{
    return LineStarting(json, "  {\"address\": \"127.0.0.1\", \"port\": " + std::to_string(port) + ",");
}

// A datagram socket standing in for systemd's notification socket. It is
// read all the time, as systemd does: the kernel queues only a few datagrams
// of a socket nobody reads, and the sender would then wait.
class FakeNotifySocket {
public:
    explicit FakeNotifySocket(const std::string& path) : mPath(path)
    {
        sockets::Endpoint at = sockets::Endpoint::Unix(path);
        mFd = sockets::Bind(at, SOCK_DGRAM);
        EXPECT_GE(mFd, 0) << strerror(errno);
        mReader = std::thread([this] {
            char buffer[4096];
            while (!mStop) {
                pollfd p{mFd, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0)
                    continue;
                ssize_t n = recv(mFd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0) {
                    std::lock_guard<std::mutex> lock(mMutex);
                    mMessages.emplace_back(buffer, static_cast<size_t>(n));
                }
            }
        });
    }
    ~FakeNotifySocket()
    {
        mStop = true;
        mReader.join();
        close(mFd);
    }

    // Every message received so far, in order.
    std::vector<std::string> messages()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mMessages;
    }
    bool WaitFor(const std::string& message, int timeoutMs = 10000)
    {
        return testutil::WaitUntil([&] {
            for (const auto& m : messages())
                if (m == message)
                    return true;
            return false;
        }, timeoutMs);
    }
    std::string env() const { return "NOTIFY_SOCKET=" + mPath; }

private:
    std::string mPath;
    int mFd = -1;
    std::atomic<bool> mStop{false};
    std::mutex mMutex;
    std::vector<std::string> mMessages;
    std::thread mReader;
};

TEST(ControlChannel, WithoutAServiceTheSwitchesSaySo)
{
    Installation inst(Installation::Use::Binary);
    RunResult r = inst.Ctl({"-servers"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, "No services running.\n");
}

// One service under -console shared by the tests below, which run in this
// order in one process; run alone, each gets a service of its own.
class ControlDaemon : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sInst = std::make_unique<Installation>(Installation::Use::Binary);
        sNotify = std::make_unique<FakeNotifySocket>(sInst->path("notify.sock"));
        // The watchdog asks for a keep-alive every 100 ms (half its time-out).
        sConsole = sInst->StartConsole({sNotify->env(), "WATCHDOG_USEC=200000"});
        sServing = sInst->WaitForServers();
    }
    static void TearDownTestSuite()
    {
        if (sConsole > 0)
            testutil::ServiceCopy::StopConsole(sConsole);
        sNotify.reset();
        sInst.reset();
    }
    void SetUp() override { ASSERT_TRUE(sServing) << testutil::ReadFile(sInst->log()); }

    static std::unique_ptr<Installation> sInst;
    static std::unique_ptr<FakeNotifySocket> sNotify;
    static pid_t sConsole;
    static bool sServing;
};

std::unique_ptr<Installation> ControlDaemon::sInst;
std::unique_ptr<FakeNotifySocket> ControlDaemon::sNotify;
pid_t ControlDaemon::sConsole = -1;
bool ControlDaemon::sServing = false;

TEST_F(ControlDaemon, TableShowsTheServersAndSystemdHearsReady)
{
    Installation& inst = *sInst;
    unsigned short a = inst.port(0), b = inst.port(1);
    EXPECT_TRUE(sNotify->WaitFor("READY=1"));
    EXPECT_TRUE(sNotify->WaitFor("WATCHDOG=1"));
    EXPECT_TRUE(sNotify->WaitFor("STATUS=2 running, 0 throttled, 0 stopped"));
    struct stat st;
    ASSERT_EQ(stat(inst.path("run/tarvelsvc.sock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    pid_t first = ServerOn(inst, a);
    ASSERT_GT(first, 0);
    RunResult r = inst.Ctl({"-servers"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string line = LineStarting(r.out, Endpoint(a) + " ");
    EXPECT_NE(line.find("pid " + std::to_string(first) + " "), std::string::npos) << r.out;
    EXPECT_NE(line.find(" serving "), std::string::npos) << r.out;
    EXPECT_NE(line.find("restarts 0"), std::string::npos) << r.out;
    EXPECT_NE(line.find("last end -"), std::string::npos) << r.out;
    EXPECT_NE(LineStarting(r.out, Endpoint(b) + " "), "") << r.out;
}

TEST_F(ControlDaemon, ASilentClientDoesNotHoldUpARestart)
{
    Installation& inst = *sInst;
    unsigned short a = inst.port(0), b = inst.port(1);
    pid_t first = ServerOn(inst, a);
    ASSERT_GT(first, 0);
    // A silent client holds a connection while a server is killed: the
    // restart is not held up by it (its own time-out is 5 s).
    int silent = sockets::Connect(sockets::Endpoint::Unix(inst.path("run/tarvelsvc.sock")));
    ASSERT_GE(silent, 0) << strerror(errno);
    int started = inst.CountLines("Process::start(): started");
    auto killed = std::chrono::steady_clock::now();
    kill(first, SIGKILL);
    ASSERT_TRUE(inst.WaitForLog("Process::start(): started", started + 1, 5000));
    EXPECT_LT(testutil::ElapsedMs(killed), 4000);  // the silent client would cost 5 s
    close(silent);
    ASSERT_TRUE(testutil::WaitUntil([&] { return Answers(a); }, 10000));

    // The service sees it serve at its next readiness probe, a moment after
    // it first answers.
    RunResult r;
    ASSERT_TRUE(testutil::WaitUntil([&] {
        r = inst.Ctl({"-servers", "-json"});
        return JsonObjectOf(r.out, a).find("\"state\": \"serving\"") != std::string::npos;
    }, 5000)) << r.out;
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("[\n", 0), 0u) << r.out;
    std::string object = JsonObjectOf(r.out, a);
    pid_t second = ServerOn(inst, a);
    EXPECT_NE(second, first);
    EXPECT_NE(object.find("\"pid\": " + std::to_string(second) + ","), std::string::npos) << r.out;
    EXPECT_NE(object.find("\"state\": \"serving\""), std::string::npos) << r.out;
    EXPECT_NE(object.find("\"ready\": true, \"ready_s\": "), std::string::npos) << r.out;
    EXPECT_NE(object.find("\"restarts\": 1,"), std::string::npos) << r.out;
    EXPECT_NE(object.find("\"last_end\": \"signal 9\", \"last_end_time\": 1"), std::string::npos)
        << r.out;
    EXPECT_NE(JsonObjectOf(r.out, b).find("\"last_end\": null, \"last_end_time\": null"),
              std::string::npos)
        << r.out;
}

TEST_F(ControlDaemon, OneServerIsStoppedStartedAndRestarted)
{
    Installation& inst = *sInst;
    unsigned short a = inst.port(0), b = inst.port(1);
    pid_t running = ServerOn(inst, a);
    ASSERT_GT(running, 0);

    // One server stopped gently stays down until it is started again.
    RunResult r = inst.Ctl({"-stopserver", Endpoint(a)});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(testutil::ProcessRunning(running));
    EXPECT_EQ(HttpGet(a), "");
    EXPECT_TRUE(Answers(b));
    r = inst.Ctl({"-servers"});
    std::string line = LineStarting(r.out, Endpoint(a) + " ");
    EXPECT_NE(line.find("pid - "), std::string::npos) << r.out;
    EXPECT_NE(line.find(" stopped by operator "), std::string::npos) << r.out;
    EXPECT_TRUE(sNotify->WaitFor("STATUS=1 running, 0 throttled, 1 stopped; not serving: " +
                                 Endpoint(a) + " (stopped by operator)"));
    EXPECT_EQ(inst.CountLines("Failed to shut down"), 0);
    EXPECT_EQ(ServerOn(inst, a), 0);

    r = inst.Ctl({"-startserver", Endpoint(a)});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(testutil::WaitUntil([&] { return Answers(a); }, 10000));

    pid_t oldB = ServerOn(inst, b);
    r = inst.Ctl({"-restartserver", Endpoint(b)});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(testutil::ProcessRunning(oldB));
    EXPECT_TRUE(testutil::WaitUntil([&] { return Answers(b); }, 10000));
    EXPECT_NE(ServerOn(inst, b), oldB);
}

TEST_F(ControlDaemon, UnknownServersAndOtherUsersAreRefused)
{
    Installation& inst = *sInst;
    unsigned short b = inst.port(1);
    for (const char* verb : {"-stopserver", "-startserver", "-restartserver"}) {
        RunResult r = inst.Ctl({verb, "127.0.0.1:1"});
        EXPECT_EQ(r.exitCode, 1) << verb;
        EXPECT_EQ(r.err, "no server 127.0.0.1:1\n") << verb;
    }
    EXPECT_EQ(inst.Ctl({"-stopserver"}).exitCode, 1);

    // Another user: the directory keeps it out, and with the modes opened
    // by hand the credentials check still refuses it.
    if (geteuid() != 0)
        return;
    struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    for (bool opened : {false, true}) {
        if (opened) {
            chmod(inst.dir().c_str(), 0711);
            chmod(inst.path("run").c_str(), 0711);
            chmod(inst.path("run/tarvelsvc.sock").c_str(), 0666);
        }
        std::string text = testutil::RunAsUser("nobody", [&] {
            std::ostringstream out, err;
            int code = SendControlRequest(inst.path("run/tarvelsvc.sock"),
                                          "stopserver " + Endpoint(b), out, err,
                                          std::chrono::seconds(10));
            return std::to_string(code) + " " + err.str();
        });
        EXPECT_EQ(text, opened ? "1 permission denied: uid " + std::to_string(nobody->pw_uid) +
                                     " is neither root nor the service's user\n"
                               : "1 Cannot connect to " + inst.path("run/tarvelsvc.sock") +
                                     ": Permission denied\n");
    }
    EXPECT_TRUE(Answers(b));
}

TEST_F(ControlDaemon, TheStopTellsSystemdAndRemovesTheSocket)
{
    Installation& inst = *sInst;
    int status = testutil::ServiceCopy::StopConsole(sConsole);
    sConsole = -1;
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(sNotify->WaitFor("STOPPING=1"));
    struct stat st;
    EXPECT_NE(stat(inst.path("run/tarvelsvc.sock").c_str(), &st), 0) << "socket left behind";
    RunResult r = inst.Ctl({"-servers"});
    EXPECT_EQ(r.exitCode, 3);
    // The existing switches keep their output.
    r = inst.Ctl({"-status"});
    EXPECT_EQ(r.out, "No services running.\n");
}

TEST(ControlChannel, ReloadChangesWhatChangedAndKeepsTheRest)
{
    Installation inst(Installation::Use::Binary);
    FakeNotifySocket notify(inst.path("notify.sock"));
    unsigned short a = inst.port(0), b = inst.port(1), c = 0, d = 0;
    do
        c = testutil::FreePort();
    while (c == a || c == b);
    do
        d = testutil::FreePort();
    while (d == a || d == b || d == c);
    auto ports = [](std::initializer_list<unsigned short> list) {
        std::string text;
        for (unsigned short p : list)
            text += (text.empty() ? "" : ",") + std::to_string(p);
        return text;
    };
    inst.writeServerConfig({"<appserver host=\"127.0.0.1\" ports=\"" + ports({a, b, c}) + "\"/>"});

    pid_t console = inst.StartConsole({notify.env()});
    ASSERT_TRUE(testutil::WaitUntil([&] { return Answers(a) && Answers(b) && Answers(c); }, 15000))
        << testutil::ReadFile(inst.log());
    pid_t pidA = ServerOn(inst, a), pidB = ServerOn(inst, b), pidC = ServerOn(inst, c);
    ASSERT_TRUE(pidA > 0 && pidB > 0 && pidC > 0);

    // A broken file changes nothing, and the caller and the log hear why.
    std::string good = testutil::ReadFile(inst.path("config/ServerConfig.xml"));
    testutil::WriteFile(inst.path("config/ServerConfig.xml"), good.substr(0, good.size() / 2));
    RunResult r = inst.Ctl({"-reload"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err, "");
    EXPECT_EQ(inst.CountLines("Reload failed, nothing changed: "), 1);
    EXPECT_EQ(ServerOn(inst, a), pidA);
    EXPECT_EQ(ServerOn(inst, b), pidB);
    EXPECT_EQ(ServerOn(inst, c), pidC);

    // a stays as it is, b goes, c changes its command line, d is new.
    inst.writeServerConfig({"<appserver host=\"127.0.0.1\" ports=\"" + ports({a}) + "\"/>",
                            "<appserver host=\"127.0.0.1\" ports=\"" + ports({c, d}) +
                                "\" bind=\"false\"/>"});
    r = inst.Ctl({"-reload"});
    ASSERT_EQ(r.exitCode, 0) << r.err << testutil::ReadFile(inst.log());
    EXPECT_NE(r.out.find("added " + Endpoint(d)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("removed " + Endpoint(b)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("restarted " + Endpoint(c)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n1 added, 1 removed, 1 changed, 1 unchanged\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(ServerOn(inst, a), pidA);
    EXPECT_FALSE(testutil::ProcessRunning(pidB));
    EXPECT_FALSE(testutil::ProcessRunning(pidC));
    EXPECT_TRUE(testutil::WaitUntil([&] { return Answers(c) && Answers(d); }, 10000));
    EXPECT_EQ(HttpGet(b), "");
    EXPECT_EQ(inst.CountLines("Reload: 1 added, 1 removed, 1 changed, 1 unchanged"), 1);
    EXPECT_EQ(inst.CountLines("Failed to shut down"), 0);

    // An added server serves at its own pace; the reload does not wait for it.
    testutil::WaitUntil([&] {
        r = inst.Ctl({"-servers", "-json"});
        return JsonObjectOf(r.out, d).find("\"state\": \"serving\"") != std::string::npos;
    }, 5000);
    EXPECT_NE(JsonObjectOf(r.out, a).find("\"restarts\": 0,"), std::string::npos) << r.out;
    EXPECT_EQ(JsonObjectOf(r.out, b), "") << r.out;
    EXPECT_NE(JsonObjectOf(r.out, d).find("\"state\": \"serving\""), std::string::npos) << r.out;
    std::vector<std::string> sent = notify.messages();
    auto reloading = std::find_if(sent.begin(), sent.end(), [](const std::string& m) {
        return m.rfind("RELOADING=1", 0) == 0;
    });
    ASSERT_NE(reloading, sent.end());
    EXPECT_NE(std::find(reloading, sent.end(), "READY=1"), sent.end());

    int status = testutil::ServiceCopy::StopConsole(console);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(ControlChannel, ThrottledServersAreShownAndCanBeStartedByHand)
{
    Installation inst(Installation::Use::Binary);
    FakeNotifySocket notify(inst.path("notify.sock"));
    pid_t console = inst.StartConsole({notify.env(), "APPSRV_EXIT_CODE=3"});
    ASSERT_TRUE(inst.WaitForLog("failed 5 times within 60 s", 2)) << testutil::ReadFile(inst.log());
    EXPECT_TRUE(notify.WaitFor("STATUS=0 running, 2 throttled, 0 stopped; not serving: " +
                               Endpoint(inst.port(0)) + " (throttled), " + Endpoint(inst.port(1)) +
                               " (throttled)"));

    RunResult r = inst.Ctl({"-servers", "-json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string object = JsonObjectOf(r.out, inst.port(0));
    EXPECT_NE(object.find("\"pid\": 0, \"state\": \"throttled\", \"throttled_until\": 1"),
              std::string::npos)
        << r.out;
    EXPECT_NE(LineStarting(inst.Ctl({"-servers"}).out, Endpoint(inst.port(0)) + " ")
                  .find(" throttled until "),
              std::string::npos);
    EXPECT_NE(object.find("\"last_end\": \"exit 3\""), std::string::npos) << r.out;
    EXPECT_NE(object.find("\"restarts\": 4,"), std::string::npos) << r.out;
    r = inst.Ctl({"-servers"});
    EXPECT_NE(LineStarting(r.out, Endpoint(inst.port(0)) + " ").find("last end exit 3 at "),
              std::string::npos)
        << r.out;

    // The operator's start is not held back by the throttle.
    int started = inst.CountLines("Process::start(): started");
    r = inst.Ctl({"-startserver", Endpoint(inst.port(0))});
    EXPECT_TRUE(inst.WaitForLog("Process::start(): started", started + 1, 5000));
    int status = testutil::ServiceCopy::StopConsole(console);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
