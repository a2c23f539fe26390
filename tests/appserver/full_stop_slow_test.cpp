// The full stop of 200 servers of every kind at once: those that end on the
// request, those whose port refuses it (ending on SIGTERM, ignoring it, or
// stopped with SIGSTOP), and a few that take the request and ignore it (one
// of them SIGTERM too). Every one of them is gone within the sequence's
// bounds, reaped by the manager, with the log lines of its kind only, and
// no signal reaches a pid that is not an unreaped child of ours: this
// program is linked with kill() wrapped, which records every signal.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "appserver/AppServerManager.h"
#include "shared/sockets.h"
#include "common/test_util.h"
#include "gentle_stop_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Sent {
    int signal;
    Clock::time_point when;
};

std::mutex gSignalsLock;
bool gWatching = false;
std::map<pid_t, std::vector<Sent>> gSignals;
std::vector<pid_t> gStrays;  // signalled while not an unreaped child of ours

}  // namespace

extern "C" int __real_kill(pid_t pid, int signal);
extern "C" int __wrap_kill(pid_t pid, int signal)
{
    {
        std::lock_guard<std::mutex> hold(gSignalsLock);
        if (gWatching) {
            siginfo_t info{};
            if (pid <= 0 || waitid(P_PID, static_cast<id_t>(pid), &info,
                                   WEXITED | WNOHANG | WNOWAIT) != 0)
                gStrays.push_back(pid);
            gSignals[pid].push_back({signal, Clock::now()});
        }
    }
    return __real_kill(pid, signal);
}

namespace {

using gentlestop::Behaviour;

enum class Kind {
    EndsOnRequest,     // takes the request and ends
    RefusedEndsOnTerm, // port closed; ends on SIGTERM
    RefusedIgnoresTerm,// port closed; ignores SIGTERM
    RefusedStopped,    // port closed; stopped with SIGSTOP
    IgnoresRequest,    // takes the request, keeps running; ends on SIGTERM
    IgnoresAll,        // takes the request, ignores it and SIGTERM
};

struct Server {
    Kind kind;
    pid_t pid;
    unsigned short port;
};

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

class FullStopSlowTest : public gentlestop::Fixture {
protected:
    void SetUp() override
    {
        Fixture::SetUp();
        // A descriptor per connecting thread and per reaped child's pipe
        // end; the soft limit may be lower than a stop of 200 needs.
        rlimit files{};
        if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
            files.rlim_cur = files.rlim_max;
            setrlimit(RLIMIT_NOFILE, &files);
        }
    }

    void TearDown() override
    {
        Fixture::TearDown();
        for (int fd : closedPorts)
            close(fd);
    }

    // A port that refuses every connect until the test ends. It stays bound
    // (never listening): a port closed at once may be handed out again by the
    // next bind, to a second refusing server or to a peer, and the log would
    // then hold two servers' lines under one port.
    unsigned short ClosedPort()
    {
        sockets::Endpoint refusing;
        int fd = sockets::Bind(refusing);
        EXPECT_GE(fd, 0) << strerror(errno);
        closedPorts.push_back(fd);
        return refusing.port;
    }

    // Starts a stand-in of `kind` and adds its record as running.
    void Add(Kind kind)
    {
        Server server{kind, -1, 0};
        // An ignored SIGTERM is inherited by the fork, so it holds before
        // the stop can send one.
        bool ignoreTerm = kind == Kind::RefusedIgnoresTerm || kind == Kind::IgnoresAll;
        struct sigaction ignore{}, previous{};
        ignore.sa_handler = SIG_IGN;
        if (ignoreTerm)
            sigaction(SIGTERM, &ignore, &previous);
        if (kind == Kind::EndsOnRequest || kind == Kind::IgnoresRequest ||
            kind == Kind::IgnoresAll) {
            auto peer = gentlestop::StartPeer("127.0.0.1", kind == Kind::EndsOnRequest
                                                               ? Behaviour::EndAtOnce
                                                               : Behaviour::IgnoreRequest);
            server.pid = peer.pid;
            server.port = peer.port;
        } else {
            server.port = ClosedPort();
            server.pid = gentlestop::StartIdleChild();
        }
        if (ignoreTerm)
            sigaction(SIGTERM, &previous, nullptr);
        ASSERT_GT(server.pid, 0);
        peers.push_back({server.pid, server.port});
        if (kind == Kind::RefusedStopped) {
            // The child stops only once it has run, which a loaded machine
            // may put off for seconds.
            kill(server.pid, SIGSTOP);
            ASSERT_TRUE(testutil::WaitUntil(
                [&] { return testutil::ProcessStateOf(server.pid) == 'T'; }, 20000));
        }
        AppServerProcess record(dir.path(), "", "127.0.0.1", server.port, 0);
        ManagerTestPeer::place(record, ServerState::Serving, server.pid);
        ManagerTestPeer::add(*manager, record);
        servers.push_back(server);
    }

    std::vector<int> SignalsOf(pid_t pid)
    {
        std::vector<int> numbers;
        for (const Sent& s : gSignals[pid])
            numbers.push_back(s.signal);
        return numbers;
    }

    // Seconds from `start` to the first `signal` sent to pid; -1 when none.
    double SentAfter(pid_t pid, int signal, Clock::time_point start)
    {
        for (const Sent& s : gSignals[pid])
            if (s.signal == signal)
                return Seconds(s.when - start);
        return -1;
    }

    void ExpectSignalsAndEnd(const Server& server, const AppServerProcess& record,
                             Clock::time_point start);
    void ExpectLogLines();

    std::vector<Server> servers;
    std::map<Kind, int> counts;
    std::vector<int> closedPorts;
};

void FullStopSlowTest::ExpectSignalsAndEnd(const Server& server, const AppServerProcess& record,
                                           Clock::time_point start)
{
    std::string what = "port " + std::to_string(server.port) + " kind " +
                       std::to_string(static_cast<int>(server.kind));
    EXPECT_EQ(record.mState, ServerState::Down) << what;
    // Reaped by the manager: not a child of ours any more.
    siginfo_t info{};
    EXPECT_NE(waitid(P_PID, static_cast<id_t>(server.pid), &info, WEXITED | WNOHANG), 0) << what;
    int status = record.mStatus;
    std::vector<int> got = SignalsOf(server.pid);
    double term = SentAfter(server.pid, SIGTERM, start);
    double killed = SentAfter(server.pid, SIGKILL, start);
    switch (server.kind) {
    case Kind::EndsOnRequest:
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << what << " " << status;
        EXPECT_TRUE(got.empty()) << what;
        break;
    case Kind::RefusedEndsOnTerm:
    case Kind::RefusedStopped:
        // SIGCONT with SIGTERM: a stopped process ends without SIGKILL.
        EXPECT_EQ(got, (std::vector<int>{SIGTERM, SIGCONT})) << what;
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << what << " " << status;
        EXPECT_LT(term, 3.0) << what;
        break;
    case Kind::RefusedIgnoresTerm:
        EXPECT_EQ(got, (std::vector<int>{SIGTERM, SIGCONT, SIGKILL})) << what;
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << what << " " << status;
        EXPECT_LT(term, 3.0) << what;
        EXPECT_GE(killed - term, 4.95) << what;
        EXPECT_LT(killed - term, 6.5) << what;
        break;
    case Kind::IgnoresRequest:
        EXPECT_EQ(got, (std::vector<int>{SIGTERM, SIGCONT})) << what;
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << what << " " << status;
        EXPECT_GE(term, 29.95) << what;
        EXPECT_LT(term, 33.0) << what;
        break;
    case Kind::IgnoresAll:
        EXPECT_EQ(got, (std::vector<int>{SIGTERM, SIGCONT, SIGKILL})) << what;
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << what << " " << status;
        EXPECT_GE(term, 29.95) << what;
        EXPECT_GE(killed - term, 4.95) << what;
        EXPECT_LT(killed, 38.0) << what;
        break;
    }
}

void FullStopSlowTest::ExpectLogLines()
{
    std::string log = testutil::ReadFile(logPath);
    int refused = counts[Kind::RefusedEndsOnTerm] + counts[Kind::RefusedIgnoresTerm] +
                  counts[Kind::RefusedStopped];
    int ignoring = counts[Kind::IgnoresRequest] + counts[Kind::IgnoresAll];
    int killedCount = counts[Kind::RefusedIgnoresTerm] + counts[Kind::IgnoresAll];
    EXPECT_EQ(testutil::CountLinesContaining(logPath, "KXSocketConnect(): connect to [127.0.0.1]:"),
              refused);
    EXPECT_EQ(testutil::CountLinesContaining(logPath, "stopServers(): killed \""), killedCount);
    EXPECT_EQ(testutil::CountLinesContaining(logPath, "Failed to shut down application server"),
              ignoring);
    for (const Server& s : servers) {
        std::string port = "[127.0.0.1]:" + std::to_string(s.port) + " ";
        bool refusedKind = s.kind == Kind::RefusedEndsOnTerm || s.kind == Kind::RefusedIgnoresTerm ||
                           s.kind == Kind::RefusedStopped;
        bool killedKind = s.kind == Kind::RefusedIgnoresTerm || s.kind == Kind::IgnoresAll;
        bool ignoringKind = s.kind == Kind::IgnoresRequest || s.kind == Kind::IgnoresAll;
        EXPECT_EQ(testutil::CountLinesContaining(logPath, "connect to " + port), refusedKind ? 1 : 0)
            << port;
        EXPECT_EQ(testutil::CountLinesContaining(
                      logPath, "(pid " + std::to_string(s.pid) + ") after 5 s"),
                  killedKind ? 1 : 0)
            << port;
        EXPECT_EQ(testutil::CountLinesContaining(
                      logPath, "Failed to shut down application server at " + port +
                                   "after 30 sec. (0)"),
                  ignoringKind ? 1 : 0)
            << port;
    }
    // While the request's 30 s run, every 5 s a line names those waited for.
    int progress = testutil::CountLinesContaining(
        logPath, "gentleStopServers(): waiting for " + std::to_string(ignoring) + " server(s): ");
    EXPECT_GE(progress, 5) << log;
    EXPECT_LE(progress, 6) << log;
    // Asked-for ends are not failures, and nothing outlived SIGKILL.
    EXPECT_EQ(testutil::CountLinesContaining(logPath, "terminated"), 0) << log;
    EXPECT_EQ(testutil::CountLinesContaining(logPath, "after SIGKILL"), 0) << log;
    EXPECT_EQ(testutil::CountLinesContaining(logPath, "no stop thread"), 0) << log;
}

TEST_F(FullStopSlowTest, TwoHundredServersOfEveryKindAreAllGoneWithinTheSequencesBounds)
{
    counts = {{Kind::EndsOnRequest, 120},    {Kind::RefusedEndsOnTerm, 40},
              {Kind::RefusedIgnoresTerm, 20}, {Kind::RefusedStopped, 17},
              {Kind::IgnoresRequest, 2},      {Kind::IgnoresAll, 1}};
    // Interleaved, so that every batch of requests meets every kind.
    for (int round = 0; round < 120; ++round)
        for (auto& entry : counts)
            if (round < entry.second)
                Add(entry.first);
    ASSERT_EQ(servers.size(), 200u);
    ManagerTestPeer::records(*manager).shrink_to_fit();

    auto start = Clock::now();
    {
        std::lock_guard<std::mutex> hold(gSignalsLock);
        gWatching = true;
    }
    bool noneLeft = manager->stopServers();
    double seconds = Seconds(Clock::now() - start);
    {
        std::lock_guard<std::mutex> hold(gSignalsLock);
        gWatching = false;
    }

    EXPECT_TRUE(noneLeft);
    // The longest sequence: 30 s for the request, 5 s after SIGTERM, and
    // the end on SIGKILL; the bound of 40 s is never reached.
    EXPECT_GE(seconds, 34.9);
    EXPECT_LT(seconds, 38.0);
    EXPECT_TRUE(gStrays.empty()) << gStrays.size() << " signals to a pid not ours, first "
                                 << gStrays.front();
    const auto& records = manager->processes();
    ASSERT_EQ(records.size(), servers.size());
    for (size_t i = 0; i < servers.size(); ++i)
        ExpectSignalsAndEnd(servers[i], records[i], start);
    ExpectLogLines();
}

}  // namespace
