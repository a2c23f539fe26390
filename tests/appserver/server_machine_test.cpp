// The server machine's table, by its properties rather than row by row:
// every state decides an event for all facts or for none, no row hides
// behind an earlier one, every stop ends within its bounds, and a start
// ends in one announcement. Then a few scenarios, the names operators see,
// and one record carried through its stop by the table with a real child.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "appserver/AppServerProcess.h"
#include "appserver/ServerState.h"
#include "common/test_util.h"
#include "foundation/Log.h"
#include "foundation/StopTimes.h"
#include "shared/manager_peer.h"

namespace {

using std::chrono::seconds;
using S = ServerState;
using E = ServerEvent;
using P = StopPurpose;
using N = Announcement;

const P kPurposes[] = {P::None, P::Shutdown, P::Hold, P::Restart, P::Remove, P::Fail, P::Recycle};

// Every combination of the facts the guards read.
std::vector<ServerFacts> AllFacts()
{
    std::vector<ServerFacts> all;
    for (P purpose : kPurposes)
        for (int bits = 0; bits < 8; ++bits) {
            ServerFacts f;
            f.purpose = purpose;
            f.overThrottle = (bits & 1) != 0;
            f.failureThrottles = (bits & 2) != 0;
            f.probeLimit = (bits & 4) != 0;
            all.push_back(f);
        }
    return all;
}

std::string Name(S state, size_t event)
{
    return std::string(ServerStateName(state)) + " on event " + std::to_string(event);
}

TEST(ServerMachine, EveryStateDecidesAnEventForAllFactsOrForNone)
{
    size_t decided = 0;
    for (S state : kServerStates)
        for (size_t e = 0; e < kServerEventCount; ++e) {
            size_t found = 0;
            for (const ServerFacts& f : AllFacts())
                found += FindRow(state, static_cast<E>(e), f) != nullptr;
            EXPECT_TRUE(found == 0 || found == AllFacts().size()) << Name(state, e);
            decided += found != 0;
        }
    // Whatever owns a process hears its end and a stop; nothing is left
    // without a deadline's meaning where it waits for one.
    for (S state : kServerStates) {
        EXPECT_NE(FindRow(state, E::Stop, ServerFacts{}), nullptr) << ServerStateName(state);
        if (HasProcess(state)) {
            EXPECT_NE(FindRow(state, E::End, ServerFacts{}), nullptr) << ServerStateName(state);
        }
    }
    // Most pairs mean nothing; a table that reacted to everything would
    // also pass the checks above.
    EXPECT_LT(decided, kServerEventCount * (sizeof kServerStates / sizeof kServerStates[0]) / 2);
}

TEST(ServerMachine, NoRowHidesBehindAnEarlierOne)
{
    ServerRows rows = ServerTable();
    for (const ServerRow* row = rows.begin; row != rows.end; ++row) {
        bool reached = false;
        for (S state : kServerStates)
            if (row->from & StateBit(state))
                for (const ServerFacts& f : AllFacts())
                    reached = reached || FindRow(state, row->event, f) == row;
        EXPECT_TRUE(reached) << "row " << (row - rows.begin) << " is shadowed";
        // Only a move into the request's state hands the request to a thread.
        if (row->actions & kSendRequest) {
            EXPECT_EQ(row->next, S::StopRequested) << "row " << (row - rows.begin);
        }
    }
}

// From every live state and for every purpose, the sequence's deadlines
// end it within the request's wait and two signal waits, stuck at worst;
// and its end from any step leaves no process.
TEST(ServerMachine, EveryStopEndsWithinItsBounds)
{
    for (S live : {S::Starting, S::Serving, S::NotAnswering})
        for (P purpose : kPurposes)
            for (E sent : {E::RequestSent, E::RequestFailed}) {
                ServerFacts f;
                f.purpose = purpose;
                const ServerRow* row = FindRow(live, E::Stop, f);
                ASSERT_NE(row, nullptr);
                S state = row->next;
                seconds total{0};
                for (E event = sent; state != S::Down; event = E::Deadline) {
                    row = FindRow(state, event, f);
                    ASSERT_NE(row, nullptr) << ServerStateName(state);
                    ASSERT_TRUE(HasProcess(row->next));
                    const ServerRow* end = FindRow(row->next, E::End, f);
                    ASSERT_NE(end, nullptr);
                    EXPECT_FALSE(HasProcess(end->next)) << ServerStateName(row->next);
                    state = row->next;
                    if (row->base == DeadlineBase::Clear)
                        break;
                    total += ServerWait(row->wait, seconds(60));
                    ASSERT_LE(total, stoptimes::kRequestWait + 2 * stoptimes::kSignalWait);
                }
                EXPECT_EQ(state, S::Killing);  // stuck: only the kernel can end it
            }
}

// A start ends in one announcement: every row that leaves Starting tells
// Started or Failed, or hands on to a stop that was asked for.
TEST(ServerMachine, EveryWayOutOfAStartIsAnnounced)
{
    ServerRows rows = ServerTable();
    for (const ServerRow* row = rows.begin; row != rows.end; ++row) {
        if (!(row->from & StateBit(S::Starting)) || row->next == S::Starting || row->event == E::Stop)
            continue;
        EXPECT_TRUE(row->announce == (row->next == S::Serving ? N::Started : N::Failed))
            << "row " << (row - rows.begin);
    }
}

TEST(ServerMachine, AServerThrottledAtOnceHasFailedAndWasNeverStarted)
{
    ServerFacts f;
    f.failureThrottles = true;
    for (E event : {E::End, E::ForkFailed}) {
        const ServerRow* row = FindRow(S::Starting, event, f);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->next, S::Throttled);
        EXPECT_EQ(row->announce, N::Failed);
        EXPECT_TRUE(row->actions & kReportThrottle);
    }
}

TEST(ServerMachine, AFullStopOrARemovalOutranksWhatAStopWouldDoNext)
{
    EXPECT_EQ(TakenPurpose(S::StopRequested, P::Hold, P::Shutdown), P::Shutdown);
    EXPECT_EQ(TakenPurpose(S::Killing, P::Restart, P::Remove), P::Remove);
    EXPECT_EQ(TakenPurpose(S::Terminating, P::Hold, P::Restart), P::Hold);
    // A record without a stop under way takes what is asked.
    EXPECT_EQ(TakenPurpose(S::Down, P::Fail, P::Hold), P::Hold);
}

TEST(ServerMachine, NamesAsOperatorsSeeThemAndWhichStatesOwnAProcess)
{
    struct Expected {
        S state;
        const char* name;
        bool process;
    };
    const Expected all[] = {
        {S::Down, "down", false},
        {S::Starting, "starting", true},
        {S::Serving, "serving", true},
        {S::NotAnswering, "not answering", true},
        {S::Throttled, "throttled", false},
        {S::Held, "stopped by operator", false},
        {S::StopRequested, "stopping (request sent)", true},
        {S::Terminating, "stopping (SIGTERM sent)", true},
        {S::Killing, "stopping (SIGKILL sent)", true},
    };
    ASSERT_EQ(sizeof all / sizeof all[0], sizeof kServerStates / sizeof kServerStates[0]);
    for (const Expected& e : all) {
        EXPECT_STREQ(ServerStateName(e.state), e.name);
        EXPECT_EQ(HasProcess(e.state), e.process) << e.name;
    }
    EXPECT_STREQ(ServerStateName(static_cast<S>(99)), "unknown");
    EXPECT_FALSE(HasProcess(static_cast<S>(99)));
    EXPECT_EQ(FindRow(static_cast<S>(99), E::Stop, ServerFacts{}), nullptr);
}

class ServerRecord : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TARVEL_PERL", dir.path().c_str(), 1);
        setenv("TARVEL_CARTRIDGES", dir.path().c_str(), 1);
        CLog::setFileName(log.c_str());
    }
    void TearDown() override
    {
        if (child > 0 && testutil::ProcessRunning(child))
            testutil::KillAndReap(child);
    }
    // A child that keeps running through SIGTERM, until SIGKILL.
    pid_t StartStubbornChild()
    {
        int ready[2];
        if (pipe(ready) != 0)
            return -1;
        pid_t pid = fork();
        if (pid == 0) {
            signal(SIGTERM, SIG_IGN);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            close(ready[0]);
            if (write(ready[1], "x", 1) != 1)
                _exit(2);
            for (;;)
                pause();
        }
        close(ready[1]);
        char c;
        if (read(ready[0], &c, 1) != 1)
            pid = -1;
        close(ready[0]);
        return pid;
    }

    testutil::TempDir dir;
    std::string log = dir / "Service.log";
    pid_t child = -1;
};

// An operator's stop of a server that takes the request but ignores it and
// SIGTERM: the record moves by the table's deadlines, signals only its own
// unreaped child, writes the per-server texts, and ends held.
TEST_F(ServerRecord, OperatorStopRunsTheWholeSequenceOnTheRecordsOwnDeadlines)
{
    using Clock = AppServerProcess::Clock;
    child = StartStubbornChild();
    ASSERT_GT(child, 0);
    AppServerProcess record(dir.path(), "", "127.0.0.1", 8001, 0);
    ManagerTestPeer::place(record, S::Serving, child);
    record.mDeadline = Clock::time_point::max();
    Clock::time_point t0 = Clock::now();

    ASSERT_TRUE(record.requestStop(P::Hold, t0));
    EXPECT_EQ(record.mState, S::StopRequested);
    EXPECT_EQ(record.mDeadline, Clock::time_point::max());
    // A second stop keeps the sequence; a restart does not outrank a hold.
    EXPECT_FALSE(record.requestStop(P::Restart, t0));
    EXPECT_EQ(record.mPurpose, P::Hold);

    record.onRequestDone(true, 7, t0);
    EXPECT_EQ(record.mState, S::StopRequested);
    EXPECT_EQ(record.mDeadline, t0 + seconds(30));
    record.onDeadline(t0 + seconds(30));
    EXPECT_EQ(record.mState, S::Terminating);
    EXPECT_EQ(record.mDeadline, t0 + seconds(35));
    EXPECT_EQ(testutil::CountLinesContaining(
                  log, "Failed to shut down application server at [127.0.0.1]:8001 after 30 sec. (7)"),
              1)
        << testutil::ReadFile(log);
    EXPECT_TRUE(testutil::ProcessRunning(child));  // SIGTERM ignored

    record.onDeadline(t0 + seconds(35));
    EXPECT_EQ(record.mState, S::Killing);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(testutil::CountLinesContaining(log, "Server [127.0.0.1]:8001: killed \""), 1)
        << testutil::ReadFile(log);
    EXPECT_EQ(testutil::CountLinesContaining(log, "stopServers(): killed"), 0);

    // Reaped: the pid may be anybody's now. A late deadline reports, and
    // signals nothing.
    record.onDeadline(t0 + seconds(40));
    EXPECT_EQ(record.mState, S::Killing);
    EXPECT_EQ(record.mDeadline, Clock::time_point::max());
    EXPECT_EQ(testutil::CountLinesContaining(log, "still running 5 s after SIGKILL"), 1);
    record.onEnd(status, t0 + seconds(41));
    EXPECT_EQ(record.mState, S::Held);
    EXPECT_EQ(testutil::CountLinesContaining(log, "Server [127.0.0.1]:8001 stopped by operator"), 1)
        << testutil::ReadFile(log);
    // No line of a failure: the end was asked for.
    EXPECT_EQ(testutil::CountLinesContaining(log, "terminated"), 0) << testutil::ReadFile(log);
    child = -1;

    record.release(t0 + seconds(50));
    EXPECT_EQ(record.mState, S::Down);
    EXPECT_TRUE(ManagerTestPeer::dueToStart(record, t0 + seconds(50)));
}

}  // namespace

namespace {

// The liveness probes' limit: the first failure is shown once, the last
// one counts and gives the server up, and the waiter hears a failure.
TEST_F(ServerRecord, TheLastFailedProbeCountsAndGivesTheServerUp)
{
    using Clock = AppServerProcess::Clock;
    AppServerProcess record(dir.path(), "", "127.0.0.1", 8001, 0);
    ManagerTestPeer::place(record, S::Serving);
    record.mProbeLimit = 2;
    EXPECT_FALSE(record.onProbe(false, "timed out", Clock::now()));
    EXPECT_EQ(record.mState, S::NotAnswering);
    // A hung server cannot answer the shutdown request: SIGTERM at once, no request.
    EXPECT_FALSE(record.onProbe(false, "timed out", Clock::now()));
    EXPECT_EQ(record.mState, S::Terminating);
    EXPECT_EQ(record.mPurpose, P::Fail);
    EXPECT_EQ(record.mAnnounced, N::Failed);
    EXPECT_EQ(testutil::CountLinesContaining(log, "Server [127.0.0.1]:8001 not answering: timed out"), 1);
    EXPECT_EQ(testutil::CountLinesContaining(
                  log, "Server [127.0.0.1]:8001 failed 2 liveness probes in a row; restarting it"),
              1)
        << testutil::ReadFile(log);
}

}  // namespace
