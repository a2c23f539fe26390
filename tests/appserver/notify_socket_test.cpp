// The servers' notification socket with real sockets and processes: who may
// tell what, and that a flood is read in bounded slices.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "endpoints/NotifySocket.h"
#include "common/installation.h"

namespace {

using Clock = NotifySocket::Clock;
using Kind = NotifyEvent::Kind;

// Sends each message as one datagram from this process, waiting up to 10 s
// for room in the queue; false if one failed.
bool Send(const std::string& path, const std::vector<std::string>& messages)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const timeval limit{10, 0};
    bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
    for (const std::string& m : messages)
        ok = ok && sendto(fd, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&address),
                          sizeof address) == static_cast<ssize_t>(m.size());
    close(fd);
    return ok;
}

// The events as "server kind [text|usec]; ...".
std::string Told(const std::vector<NotifyEvent>& events)
{
    const char* kinds[] = {"Ready", "Status", "Watchdog", "WatchdogTimeout", "Stopping"};
    std::string text;
    for (const NotifyEvent& e : events)
        text += std::to_string(e.server) + " " + kinds[int(e.kind)] + (e.text.empty() ? "" : " " + e.text) +
                (e.usec == 0 ? "" : " " + std::to_string(e.usec)) + "; ";
    return text;
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

// The run directory of the installation, made.
std::string RunDir(const testutil::Installation& inst)
{
    testutil::MakeDirs(inst.path("run"));
    return inst.path("run");
}

// A socket in a throw-away installation whose servers are `servers`.
class NotifySocketTest : public ::testing::Test {
protected:
    testutil::Installation inst;
    std::map<pid_t, uint64_t> servers;
    NotifySocket notify{RunDir(inst) + "/notify",
                        [this](pid_t pid) { return ServerOfSender(pid, servers); }};
};

TEST_F(NotifySocketTest, TakesWhatAServersTreeSaysAndRefusesEveryoneElse)
{
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
    const NotifySocket::Drops& d = notify.drops();
    Pump(notify, events, [&] { return events.size() >= 6 && d.foreign + d.unknown + d.malformed >= 3; });
    close(release[1]);
    int status = -1;
    EXPECT_TRUE(testutil::WaitUntil([&] { return waitpid(server, &status, WNOHANG) == server; }, 5000));
    EXPECT_EQ(status, 0);  // every message went out
    if (status == -1)
        testutil::KillAndReap(server);

    EXPECT_EQ(Told(events), "7 Ready; 7 Status Loading ?[31mcache; 7 Watchdog; 7 WatchdogTimeout 5000000; "
                            "7 Stopping; 7 Status " + std::string(NotifySocket::kMaxStatus, 'x') + "...; ");
    EXPECT_EQ(std::make_tuple(d.foreign, d.unknown, d.malformed), std::make_tuple(1u, 1u, 1u));
    // Three drops within a minute: one line.
    EXPECT_EQ(inst.CountLines("Notification socket " + notify.path() + ": dropped "), 1);

    auto t = Clock::now();
    EXPECT_EQ(WatchdogDeadline(t, 5000000), t + std::chrono::seconds(5));
    EXPECT_EQ(WatchdogDeadline(t, 0), Clock::time_point::max());
}

TEST_F(NotifySocketTest, TheDemoServerSaysReadyOnceItListens)
{
    const unsigned short port = testutil::FreePort();
    pid_t server = testutil::Spawn({"/usr/bin/perl", inst.script(), "-port", std::to_string(port)},
                                   {"NOTIFY_SOCKET=" + notify.path(),
                                    "APPSRV_NOTIFY_" + std::to_string(port) + "=1",
                                    "APPSRV_NOTIFY_STATUS=warm"});
    servers[server] = 3;
    std::vector<NotifyEvent> events;
    Pump(notify, events, [&] { return events.size() >= 2; });
    testutil::KillAndReap(server);
    EXPECT_EQ(Told(events), "3 Ready; 3 Status warm; ");
}

// The kernel's queue of a datagram socket, in datagrams.
size_t QueueLength()
{
    size_t length = 512;
    std::ifstream("/proc/sys/net/unix/max_dgram_qlen") >> length;
    return length;
}

TEST_F(NotifySocketTest, AFloodIsReadInBoundedSlicesAndAServerIsStillHeard)
{
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
    bool flooded = false;
    std::thread flood([&] { flooded = Send(notify.path(), std::vector<std::string>(kFlood, "READY=1")); });
    EXPECT_EQ(write(go[1], "g", 1), 1);  // the server's one datagram, among the flood's
    close(go[1]);
    std::vector<NotifyEvent> events;
    size_t most = 0;
    int passesAfterSend = -1;  // passes since the server's datagram was queued
    Pump(notify, events, [&] {
        most = std::max(most, notify.lastRead());
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
    EXPECT_TRUE(flooded);
    EXPECT_EQ(notify.drops().foreign, kFlood);
    EXPECT_EQ(Told(events), "9 Ready; ");
    EXPECT_EQ(most, NotifySocket::kMaxPerDispatch);  // a full queue holds more than a pass reads
    // Behind at most a full queue: heard within that many bounded passes.
    EXPECT_LE(size_t(passesAfterSend), QueueLength() / NotifySocket::kMaxPerDispatch + 3);
    EXPECT_EQ(inst.CountLines("Notification socket " + notify.path() + ": dropped "), 1);
}

}  // namespace
