// The client side of the control channel through the real binary: its time
// limits cover the connection to a service that does not take it, and on a
// terminal a long -stopserver says that it is still waiting.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/installation.h"
#include "shared/sockets.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

// Connects to `path` without waiting until the listener's backlog is full;
// the connections, for the caller to close.
std::vector<int> FillBacklog(const std::string& path)
{
    std::vector<int> fds;
    for (int i = 0; i < 256; ++i) {
        int fd = sockets::Connect(sockets::Endpoint::Unix(path), SOCK_STREAM | SOCK_NONBLOCK);
        if (fd < 0)
            break;
        fds.push_back(fd);
    }
    return fds;
}

TEST(ControlClient, StoppedServiceWithAFullBacklogCostsTheClientFiveSeconds)
{
    Installation inst(Installation::Use::Binary);
    pid_t console = inst.StartConsole();
    ASSERT_TRUE(inst.WaitForServers()) << testutil::ReadFile(inst.log());
    ASSERT_EQ(inst.Ctl({"-servers"}).exitCode, 0);

    std::string socketPath = inst.path("run/tarvelsvc.sock");
    ASSERT_EQ(kill(console, SIGSTOP), 0);
    ASSERT_TRUE(testutil::WaitUntil([&] { return testutil::ProcessStateOf(console) == 'T'; }, 5000));
    std::vector<int> fillers = FillBacklog(socketPath);
    EXPECT_GT(fillers.size(), 0u);

    auto begin = std::chrono::steady_clock::now();
    RunResult r = inst.Ctl({"-servers"}, {}, 20000);
    long elapsed = testutil::ElapsedMs(begin);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "The service at " + socketPath + " does not take the connection within 5 s\n");
    EXPECT_GE(elapsed, 4900);
    EXPECT_LT(elapsed, 9000);

    // Running again, the service serves clients again once it has seen the
    // connections above go (until then they count against its 16).
    kill(console, SIGCONT);
    for (int fd : fillers)
        close(fd);
    EXPECT_TRUE(testutil::WaitUntil([&] { return inst.Ctl({"-servers"}, {}, 20000).exitCode == 0; },
                                    10000, 200));
    kill(console, SIGTERM);
    int status = testutil::ServiceCopy::WaitForExit(console, 20000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A control socket served by the test: takes one request and answers "OK"
// after `delay`.
class SlowService {
public:
    SlowService(const std::string& path, std::chrono::milliseconds delay)
    {
        sockets::Endpoint at = sockets::Endpoint::Unix(path);
        mListen = sockets::Listen(at, 4);
        EXPECT_GE(mListen, 0) << strerror(errno);
        mThread = std::thread([this, delay] { serve(delay); });
    }
    ~SlowService()
    {
        if (mThread.joinable())
            mThread.join();
        close(mListen);
    }
    // The request the service took; waits for the service's thread to end,
    // which is what orders its write of the request before this read.
    const std::string& request()
    {
        if (mThread.joinable())
            mThread.join();
        return mRequest;
    }

private:
    void serve(std::chrono::milliseconds delay)
    {
        pollfd p{mListen, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1)
            return;
        int client = accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            return;
        char buffer[256];
        pollfd c{client, POLLIN, 0};
        if (poll(&c, 1, 5000) == 1) {
            ssize_t n = read(client, buffer, sizeof buffer);
            if (n > 0)
                mRequest.assign(buffer, static_cast<size_t>(n));
        }
        std::this_thread::sleep_for(delay);
        ssize_t written = write(client, "OK\n", 3);
        static_cast<void>(written);
        close(client);
    }

    int mListen = -1;
    std::string mRequest;
    std::thread mThread;
};

TEST(ControlClient, StopServerOnATerminalSaysItIsWaiting)
{
    Installation inst(Installation::Use::Binary);
    testutil::MakeDirs(inst.path("run"));
    chmod(inst.path("run").c_str(), 0700);
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string terminal = ptsname(master);
    int status = -1;
    {
        SlowService service(inst.path("run/tarvelsvc.sock"), std::chrono::milliseconds(6500));
        pid_t stop = testutil::Spawn({inst.exe(), "-stopserver", "127.0.0.1:1"}, inst.env(),
                                     inst.path("stop.out"), terminal);
        ASSERT_GT(stop, 0);
        status = testutil::ServiceCopy::WaitForExit(stop, 20000);
        EXPECT_EQ(service.request(), "stopserver 127.0.0.1:1\n");
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(testutil::ReadFile(inst.path("stop.out")), "");
    fcntl(master, F_SETFL, O_NONBLOCK);
    char buffer[512];
    ssize_t n = read(master, buffer, sizeof buffer);
    std::string said = n > 0 ? std::string(buffer, size_t(n)) : "";
    EXPECT_EQ(said, "waiting for server 127.0.0.1:1 to stop (5 s)\r\n");
    close(master);
}

}  // namespace
