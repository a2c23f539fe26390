// The servers' notification socket with real sockets and processes: who may
// tell what, and that a flood is read in bounded slices.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "appserver/NotifySocket.h"
#include "common/installation.h"

namespace {

using Clock = NotifySocket::Clock;
using Kind = NotifyEvent::Kind;

sockaddr_un AddressOf(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// Sends each message as one datagram from this process; false if one failed.
bool Send(const std::string& path, const std::vector<std::string>& messages)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = AddressOf(path);
    bool ok = fd >= 0;
    for (const std::string& m : messages)
        ok = ok && sendto(fd, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&address),
                          sizeof address) == static_cast<ssize_t>(m.size());
    close(fd);
    return ok;
}

// A "server": leads a session of its own, whose worker (another process)
// sends the messages, then waits until the write end of `release` is
// closed. Returns its pid.
pid_t ServerWhoseWorkerSends(const std::string& path, const std::vector<std::string>& messages,
                             const int release[2])
{
    pid_t server = fork();
    if (server == 0) {
        close(release[1]);
        setsid();
        pid_t worker = fork();
        if (worker == 0) {
            bool sent = Send(path, messages);
            char byte;
            while (read(release[0], &byte, 1) > 0) {
            }
            _exit(sent ? 0 : 1);
        }
        int status = 0;
        waitpid(worker, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    return server;
}

// Runs the socket's part of the loop until `done` holds or 10 s passed;
// fails the test if one pass read more than the bound.
void Pump(NotifySocket& notify, std::vector<NotifyEvent>& events, const std::function<bool()>& done)
{
    auto limit = Clock::now() + std::chrono::seconds(10);
    while (!done() && Clock::now() < limit) {
        std::vector<pollfd> fds;
        auto deadline = limit;
        notify.prepare(fds, deadline);
        poll(fds.data(), fds.size(), 50);
        notify.dispatch(fds.data(), fds.size(), Clock::now());
        ASSERT_LE(notify.lastRead(), NotifySocket::kMaxPerDispatch);
        for (NotifyEvent& e : notify.takeEvents())
            events.push_back(e);
    }
}

TEST(NotifySocket, TakesWhatAServersTreeSaysAndRefusesEveryoneElse)
{
    testutil::Installation inst;
    testutil::MakeDirs(inst.path("run"));
    std::map<pid_t, uint64_t> servers;
    NotifySocket notify(inst.path("run/notify"),
                        [&](pid_t pid) { return ServerOfSender(pid, servers); });
    struct stat st;
    ASSERT_EQ(lstat(notify.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    int release[2];
    ASSERT_EQ(pipe(release), 0);
    const std::string longStatus(1000, 'x');
    pid_t server = ServerWhoseWorkerSends(
        notify.path(),
        {"READY=1\nSTATUS=Loading \x1b[31mcache\nMAINPID=1\nWATCHDOG=1\nWATCHDOG_USEC=5000000\n"
         "WATCHDOG_USEC=0\nWATCHDOG_USEC=12abc\nSTOPPING=1",
         "STATUS=" + longStatus, "FDSTORE=1", std::string(5000, 'R')},
        release);
    close(release[0]);
    servers[server] = 7;
    ASSERT_TRUE(Send(notify.path(), {"READY=1"}));  // this test is in no server's tree

    std::vector<NotifyEvent> events;
    Pump(notify, events, [&] {
        const auto& d = notify.drops();
        return events.size() >= 6 && d.foreign + d.unknown + d.malformed >= 3;
    });
    close(release[1]);
    int status = -1;
    EXPECT_TRUE(testutil::WaitUntil([&] { return waitpid(server, &status, WNOHANG) == server; }, 5000));
    EXPECT_EQ(status, 0);  // every message went out
    if (status == -1)
        testutil::KillAndReap(server);

    ASSERT_EQ(events.size(), 6u);
    for (const NotifyEvent& e : events)
        EXPECT_EQ(e.server, 7u);
    EXPECT_EQ(events[0].kind, Kind::Ready);
    EXPECT_EQ(events[1].kind, Kind::Status);
    EXPECT_EQ(events[1].text, "Loading ?[31mcache");
    EXPECT_EQ(events[2].kind, Kind::Watchdog);
    EXPECT_EQ(events[3].kind, Kind::WatchdogTimeout);
    EXPECT_EQ(events[3].usec, 5000000u);
    EXPECT_EQ(events[4].kind, Kind::Stopping);
    EXPECT_EQ(events[5].kind, Kind::Status);
    EXPECT_EQ(events[5].text, std::string(NotifySocket::kMaxStatus, 'x') + "...");
    EXPECT_EQ(notify.drops().foreign, 1u);
    EXPECT_EQ(notify.drops().unknown, 1u);
    EXPECT_EQ(notify.drops().malformed, 1u);
    // Three drops within a minute: one line.
    EXPECT_EQ(inst.CountLines("Notification socket " + notify.path() + ": dropped "), 1);

    auto t = Clock::now();
    EXPECT_EQ(WatchdogDeadline(t, 5000000), t + std::chrono::seconds(5));
    EXPECT_EQ(WatchdogDeadline(t, 0), Clock::time_point::max());
}

// The kernel's queue of a datagram socket, in datagrams.
size_t QueueLength()
{
    size_t length = 512;
    std::ifstream("/proc/sys/net/unix/max_dgram_qlen") >> length;
    return length;
}

TEST(NotifySocket, AFloodIsReadInBoundedSlicesAndAServerIsStillHeard)
{
    testutil::Installation inst;
    testutil::MakeDirs(inst.path("run"));
    std::map<pid_t, uint64_t> servers;
    NotifySocket notify(inst.path("run/notify"),
                        [&](pid_t pid) { return ServerOfSender(pid, servers); });
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t server = fork();
    if (server == 0) {
        char byte;
        _exit(read(go[0], &byte, 1) == 1 && Send(notify.path(), {"READY=1"}) ? 0 : 1);
    }
    close(go[0]);
    servers[server] = 9;

    const size_t kFlood = 100000;
    std::atomic<size_t> sent{0};
    std::thread flood([&] {
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address = AddressOf(notify.path());
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        for (int stalls = 0; sent < kFlood && stalls < 100;) {
            if (send(fd, "READY=1", 7, 0) == 7) {
                stalls = 0;
                ++sent;
            } else {
                pollfd out{fd, POLLOUT, 0};
                stalls += poll(&out, 1, 100) == 0;
            }
        }
        close(fd);
    });

    std::vector<NotifyEvent> events;
    size_t most = 0;
    int passesAfterSend = -1;  // passes since the server's datagram was queued
    Pump(notify, events, [&] {
        most = std::max(most, notify.lastRead());
        if (sent >= kFlood / 2 && go[1] >= 0) {
            EXPECT_EQ(write(go[1], "g", 1), 1);
            close(go[1]);
            go[1] = -1;
        }
        int status;
        if (passesAfterSend < 0 && waitpid(server, &status, WNOHANG) == server)
            passesAfterSend = 0;
        else if (passesAfterSend >= 0 && events.empty())
            ++passesAfterSend;
        return notify.drops().foreign >= kFlood && !events.empty();
    });
    flood.join();
    if (passesAfterSend < 0)  // not reaped yet
        testutil::KillAndReap(server);
    EXPECT_EQ(sent, kFlood);
    EXPECT_EQ(notify.drops().foreign, kFlood);
    EXPECT_EQ(most, NotifySocket::kMaxPerDispatch);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].server, 9u);
    // Behind at most a full queue: heard within that many bounded passes.
    EXPECT_LE(size_t(passesAfterSend), QueueLength() / NotifySocket::kMaxPerDispatch + 3);
    EXPECT_EQ(inst.CountLines("Notification socket " + notify.path() + ": dropped "), 1);
}

}  // namespace
