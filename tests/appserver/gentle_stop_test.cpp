// Gentle stop with real children on 127.0.0.1: the request on the wire, a
// server that ends on it, a port that refuses, a child that cannot be waited
// for, the primary address for records without a host, and records that are
// not running. The 30-second cases are in gentle_stop_slow_test.cpp.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "appserver/AppServerManager.h"
#include "common/test_util.h"
#include "foundation/HostAddr.h"
#include "gentle_stop_fixture.h"

namespace {

using gentlestop::Behaviour;
using Clock = std::chrono::steady_clock;

const std::string kRequest =
    "GET /\r\nX-tarvel-EXTRAINFO: shutdown\r\nuser-agent: tarvel Service\r\n\r\n";

class GentleStopTest : public gentlestop::Fixture {
protected:
    // Adds a record for a running server.
    AppServerProcess& Add(const std::string& host, unsigned short port, pid_t pid,
                          ServerState state = ServerState::Serving)
    {
        AppServerProcess record(dir.path(), "", host, port, 0);
        ManagerTestPeer::place(record, state, pid);
        return ManagerTestPeer::add(*manager, record);
    }

    double StopSeconds()
    {
        auto start = Clock::now();
        manager->stopServers();
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    int Lines(const std::string& text) { return testutil::CountLinesContaining(logPath, text); }
    std::string LogText() { return testutil::ReadFile(logPath); }
};

TEST_F(GentleStopTest, ServerThatEndsTwoSecondsAfterTheRequest)
{
    std::string received = dir / "received";
    auto peer = gentlestop::StartPeer("127.0.0.1", Behaviour::EndAfter2s, received);
    AppServerProcess& record = Add("127.0.0.1", peer.port, peer.pid);

    double seconds = StopSeconds();
    EXPECT_GE(seconds, 1.9);
    EXPECT_LE(seconds, 3.2);
    // Exactly the request, byte for byte, and nothing to report.
    EXPECT_EQ(testutil::ReadFile(received), kRequest);
    EXPECT_EQ(kRequest.size(), 67u);
    EXPECT_EQ(LogText(), "");
    // The stop reaped it; the hard stop must leave that id alone.
    EXPECT_EQ(record.mState, ServerState::Down);
    EXPECT_EQ(waitpid(peer.pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(GentleStopTest, RefusedPortIsLoggedWithoutWaitingAndGetsSigtermAtOnce)
{
    pid_t child = gentlestop::StartIdleChild();
    unsigned short port = testutil::FreePort();
    AppServerProcess& record = Add("127.0.0.1", port, child);

    double seconds = StopSeconds();
    EXPECT_LT(seconds, 1.5);
    std::string text = LogText();
    EXPECT_EQ(Lines("KXSocketConnect(): connect to [127.0.0.1]:" + std::to_string(port) +
                    " failed (111"),
              1)
        << text;
    EXPECT_EQ(Lines("GentleStopAS(): CKXServer::getSocket(): KXServerGetSocket() failed "
                    "(status=30002)"),
              1)
        << text;
    EXPECT_EQ(Lines("Failed to shut down"), 0) << text;
    // The connect line comes first.
    EXPECT_LT(text.find("KXSocketConnect()"), text.find("GentleStopAS()"));

    // The hard stop's SIGTERM followed at once; the stop reaped the end.
    EXPECT_EQ(record.mState, ServerState::Down);
    int status = record.mStatus;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(waitpid(child, nullptr, WNOHANG), -1);
}

TEST_F(GentleStopTest, ChildThatCannotBeWaitedForFailsAtOnce)
{
    // The port accepts (into the backlog) but the process is not ours any more.
    unsigned short port = 0;
    int listener = gentlestop::ListenOn("127.0.0.1", port);
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    ASSERT_NE(gentlestop::Reap(gone), -1);
    AppServerProcess& record = Add("127.0.0.1", port, gone);

    double seconds = StopSeconds();
    // Never SIGTERM an id that is not ours: the stop gives it up at once.
    EXPECT_LT(seconds, 1.5);
    EXPECT_EQ(Lines("Failed to shut down application server at [127.0.0.1]:" +
                    std::to_string(port) + " after 30 sec. (0)"),
              1)
        << LogText();
    EXPECT_EQ(record.mState, ServerState::Down);
    close(listener);
}

TEST_F(GentleStopTest, RecordWithoutHostIsContactedAtThePrimaryAddress)
{
    std::string primary = CPrimaryIP().address();
    std::string received = dir / "received";
    auto peer = gentlestop::StartPeer(primary, Behaviour::EndAtOnce, received);
    AppServerProcess& record = Add("", peer.port, peer.pid);

    double seconds = StopSeconds();
    EXPECT_LT(seconds, 2.0);
    EXPECT_EQ(testutil::ReadFile(received), kRequest);
    EXPECT_EQ(record.mState, ServerState::Down);
    EXPECT_EQ(LogText(), "");
}

TEST_F(GentleStopTest, OnlyRunningServersAreAsked)
{
    // Listeners without anyone accepting: a connection would sit in their queue.
    unsigned short ended = 0, never = 0;
    int endedListener = gentlestop::ListenOn("127.0.0.1", ended);
    int neverListener = gentlestop::ListenOn("127.0.0.1", never);
    AppServerProcess& a = Add("127.0.0.1", ended, 0, ServerState::Down);
    AppServerProcess& b = Add("127.0.0.1", never, 0, ServerState::Down);
    sigset_t before;
    sigprocmask(SIG_SETMASK, nullptr, &before);

    double seconds = StopSeconds();
    EXPECT_LT(seconds, 0.5);
    for (int fd : {endedListener, neverListener}) {
        fcntl(fd, F_SETFL, O_NONBLOCK);
        EXPECT_LT(accept(fd, nullptr, nullptr), 0);
        close(fd);
    }
    EXPECT_EQ(a.mState, ServerState::Down);
    EXPECT_EQ(b.mState, ServerState::Down);
    EXPECT_EQ(LogText(), "");
    // The signal mask is left as it was: nothing gets blocked or unblocked.
    sigset_t after;
    sigprocmask(SIG_SETMASK, nullptr, &after);
    for (int signal : {SIGCHLD, SIGTERM, SIGUSR1})
        EXPECT_EQ(sigismember(&after, signal), sigismember(&before, signal)) << signal;
}

}  // namespace

namespace {

// An operator's stop of a server whose liveness probes fail is a stop of a
// running server: the request, its end, the hold, and the waiter told once.
TEST_F(GentleStopTest, OperatorStopOfANotAnsweringServerHoldsIt)
{
    auto peer = gentlestop::StartPeer("127.0.0.1", Behaviour::EndAtOnce);
    AppServerProcess& record = Add("127.0.0.1", peer.port, peer.pid, ServerState::NotAnswering);
    int told = 0;
    auto result = manager->stopServer("127.0.0.1", peer.port,
                                      [&](CAppServerManager::Outcome outcome, const AppServerProcess&) {
                                          EXPECT_EQ(outcome, CAppServerManager::Outcome::Stopped);
                                          ++told;
                                      });
    ASSERT_EQ(result, CAppServerManager::Request::Accepted);
    EXPECT_EQ(record.mState, ServerState::StopRequested);
    auto limit = Clock::now() + std::chrono::seconds(5);
    while (told == 0 && Clock::now() < limit)
        manager->waitAndUpdateTerminated(100);
    EXPECT_EQ(told, 1);
    EXPECT_EQ(record.mState, ServerState::Held);
    EXPECT_EQ(waitpid(peer.pid, nullptr, WNOHANG), -1);  // reaped by the loop
    EXPECT_EQ(Lines("Server [127.0.0.1]:" + std::to_string(peer.port) + " stopped by operator"), 1);
}

}  // namespace
