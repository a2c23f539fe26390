// What systemd's notification socket can do to the service through the real
// binary: a socket nobody reads must not stall supervision, and a watchdog
// time-out of a few microseconds must not make the service spin.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "common/installation.h"
#include "shared/sockets.h"

namespace {

using testutil::Installation;

// A bound datagram socket standing in for systemd's, read only when the test
// says so.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : mPath(path)
    {
        sockets::Endpoint at = sockets::Endpoint::Unix(path);
        mFd = sockets::Bind(at, SOCK_DGRAM | SOCK_NONBLOCK);
        EXPECT_GE(mFd, 0) << strerror(errno);
    }
    ~NotifySocket() { close(mFd); }

    std::string env() const { return "NOTIFY_SOCKET=" + mPath; }

    // Sends datagrams of its own until the socket's queue takes no more, as
    // when nobody reads it; returns how many it took.
    int Fill()
    {
        int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = Address();
        int n = 0;
        while (n < 10000 && sendto(sender, "X=1", 3, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&address), sizeof address) == 3)
            ++n;
        close(sender);
        return n;
    }

    // Every datagram queued now, oldest first.
    std::vector<std::string> Drain()
    {
        std::vector<std::string> messages;
        char buffer[4096];
        ssize_t n;
        while ((n = recv(mFd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0)
            messages.emplace_back(buffer, static_cast<size_t>(n));
        return messages;
    }

private:
    sockaddr_un Address() const
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, mPath.c_str(), sizeof address.sun_path - 1);
        return address;
    }

    std::string mPath;
    int mFd = -1;
};

int Count(const std::vector<std::string>& messages, const std::string& message)
{
    return static_cast<int>(std::count(messages.begin(), messages.end(), message));
}

TEST(Notify, UnreadSocketCostsOneLogLineNotSupervision)
{
    Installation inst(Installation::Use::Binary);
    NotifySocket notify(inst.path("notify.sock"));
    ASSERT_GT(notify.Fill(), 0);
    auto began = std::chrono::steady_clock::now();
    // A keep-alive every 100 ms, each of them dropped.
    pid_t console = inst.StartConsole({notify.env(), "WATCHDOG_USEC=200000"});
    ASSERT_TRUE(inst.WaitForServers()) << testutil::ReadFile(inst.log());

    // Servers killed while the socket is full are restarted, and the
    // control channel answers.
    std::vector<pid_t> first = inst.Servers();
    ASSERT_EQ(first.size(), 2u);
    for (pid_t pid : first)
        kill(pid, SIGKILL);
    ASSERT_TRUE(testutil::WaitUntil([&] {
        std::vector<pid_t> now = inst.Servers();
        return now.size() == 2 && std::find(now.begin(), now.end(), first[0]) == now.end() &&
               std::find(now.begin(), now.end(), first[1]) == now.end();
    }, 10000)) << testutil::ReadFile(inst.log());
    ASSERT_TRUE(inst.WaitForServers(10000));
    EXPECT_EQ(inst.Ctl({"-servers"}).exitCode, 0);

    // Ten keep-alives dropped at least, and one line for all of them.
    testutil::WaitUntil([&] { return testutil::ElapsedMs(began) > 1500; }, 2000);
    EXPECT_EQ(inst.CountLines("sd_notify(): cannot send \""), 1) << testutil::ReadFile(inst.log());
    EXPECT_EQ(inst.CountLines("(Resource temporarily unavailable)"), 1);

    // Read again, the socket hears the keep-alive and the status that was
    // dropped, and the log says that the drops are over.
    std::vector<std::string> heard;
    EXPECT_TRUE(testutil::WaitUntil([&] {
        for (const std::string& m : notify.Drain())
            heard.push_back(m);
        return Count(heard, "WATCHDOG=1") >= 2 &&
               Count(heard, "STATUS=2 running, 0 throttled, 0 stopped") == 1;
    }, 5000)) << testutil::ReadFile(inst.log());
    EXPECT_EQ(Count(heard, "READY=1"), 0);  // it came while the queue was full
    EXPECT_TRUE(inst.WaitForLog("NOTIFY_SOCKET takes notifications again; ", 1, 5000));
    EXPECT_EQ(inst.CountLines("NOTIFY_SOCKET takes notifications again; "), 1);

    int status = testutil::ServiceCopy::StopConsole(console);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Count(notify.Drain(), "STOPPING=1"), 1);
}

TEST(Notify, TinyWatchdogTimeOutIsClampedTo100Milliseconds)
{
    Installation inst(Installation::Use::Binary);
    NotifySocket notify(inst.path("notify.sock"));
    pid_t console = inst.StartConsole({notify.env(), "WATCHDOG_USEC=2"});
    ASSERT_TRUE(inst.WaitForServers()) << testutil::ReadFile(inst.log());
    EXPECT_EQ(inst.countMessage("WATCHDOG_USEC=2: a keep-alive every 1 us is too often; one is "
                                "sent every 100 ms instead"),
              1)
        << testutil::ReadFile(inst.log());

    // Over one second: about ten keep-alives, not hundreds of thousands.
    notify.Drain();
    auto began = std::chrono::steady_clock::now();
    int keepAlives = 0;
    testutil::WaitUntil([&] {
        keepAlives += Count(notify.Drain(), "WATCHDOG=1");
        return testutil::ElapsedMs(began) >= 1000;
    }, 2000, 50);
    EXPECT_GE(keepAlives, 5);
    EXPECT_LE(keepAlives, 13);
    EXPECT_EQ(inst.CountLines("sd_notify(): cannot send"), 0);

    int status = testutil::ServiceCopy::StopConsole(console);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
