// The server machine's one table, row by row: every state on every event,
// under every stop purpose and with and without the throttle, against the
// rows written out below. Whatever is not a row must leave the record as it
// is: same state, no action, the deadline kept. Then the names operators
// see and which states own a process, and one record carried through its
// stop by the table with a real child.
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

namespace {

using std::chrono::seconds;
using S = ServerState;
using E = ServerEvent;
using A = ServerAction;
using B = DeadlineBase;
using P = StopPurpose;

const std::vector<S> kStates = {S::Down,          S::Starting,    S::Running,     S::NotAnswering,
                                S::Throttled,     S::Held,        S::StopRequested, S::Terminating,
                                S::Killing};
const std::vector<E> kEvents = {E::Forked,      E::ForkFailed, E::Ready,       E::ProbeFailed,
                                E::ProbeOk,     E::End,        E::Deadline,    E::Stop,
                                E::RequestSent, E::RequestFailed, E::Release};
const std::vector<P> kPurposes = {P::None, P::Shutdown, P::Hold, P::Restart, P::Remove, P::Fail};

// A row of the expected table. `purpose` and `throttle` narrow it when set;
// the first row that matches is the one that counts.
struct Row {
    S state;
    E event;
    ServerTransition expected;
    int purpose = -1;   // a StopPurpose, or -1: any
    int throttle = -1;  // 0 or 1 for overThrottle, or -1: either
    int limit = -1;     // 0 or 1 for probeLimit, or -1: either
};

ServerTransition T(S next, A action, B base, int wait = 0)
{
    return {next, action, base, seconds{wait}};
}

int Of(P p)
{
    return static_cast<int>(p);
}

// The end of a process that is being stopped, by its purpose: held after an
// operator's stop, started at once after a restart, down for good otherwise.
void AddStoppedEnd(std::vector<Row>& rows, S state)
{
    rows.push_back({state, E::End, T(S::Held, A::None, B::None), Of(P::Hold)});
    rows.push_back({state, E::End, T(S::Down, A::None, B::Now, 0), Of(P::Restart)});
    // Given up (no readiness, no liveness): a failure, and the throttle decides.
    rows.push_back(
        {state, E::End, T(S::Throttled, A::ReportThrottle, B::LastStart, 120), Of(P::Fail), 1});
    rows.push_back({state, E::End, T(S::Down, A::None, B::Now, 0), Of(P::Fail), 0});
    rows.push_back({state, E::End, T(S::Down, A::None, B::None)});
}

std::vector<Row> StoppingRows()
{
    std::vector<Row> rows;
    for (S state : {S::StopRequested, S::Terminating, S::Killing})
        AddStoppedEnd(rows, state);
    // The request went out: 30 s for the end. It could not: SIGTERM at once.
    rows.push_back({S::StopRequested, E::RequestSent, T(S::StopRequested, A::None, B::Now, 30)});
    rows.push_back({S::StopRequested, E::RequestFailed, T(S::Terminating, A::Terminate, B::Now, 5)});
    rows.push_back({S::StopRequested, E::Deadline, T(S::Terminating, A::Terminate, B::Now, 5)});
    rows.push_back({S::Terminating, E::Deadline, T(S::Killing, A::Kill, B::Now, 5)});
    // Outlived SIGKILL by 5 s: reported once, no deadline any more.
    rows.push_back({S::Killing, E::Deadline, T(S::Killing, A::ReportStuck, B::None)});
    return rows;
}

std::vector<Row> LiveRows()
{
    std::vector<Row> rows;
    // Serving; after a run of failures it must last a minute from its start
    // before the throttle is lifted.
    rows.push_back({S::Starting, E::Ready, T(S::Running, A::None, B::LastStart, 60), -1, 1});
    rows.push_back({S::Starting, E::Ready, T(S::Running, A::None, B::None), -1, 0});
    // No readiness within the start time-out: the stop sequence.
    rows.push_back({S::Starting, E::Deadline, T(S::StopRequested, A::SendRequest, B::None)});
    for (S state : {S::Running, S::NotAnswering}) {
        rows.push_back({state, E::Deadline, T(state, A::LiftThrottle, B::None), -1, 1});
        // Liveness: the limit of failures in a row restarts it; fewer show it.
        rows.push_back(
            {state, E::ProbeFailed, T(S::StopRequested, A::SendRequest, B::None), -1, -1, 1});
        rows.push_back({state, E::ProbeFailed, T(S::NotAnswering, A::None, B::Keep), -1, -1, 0});
    }
    rows.push_back({S::NotAnswering, E::ProbeOk, T(S::Running, A::None, B::Keep)});
    for (S state : {S::Starting, S::Running, S::NotAnswering}) {
        rows.push_back({state, E::End, T(S::Throttled, A::ReportThrottle, B::LastStart, 120), -1, 1});
        rows.push_back({state, E::End, T(S::Down, A::None, B::Now, 0), -1, 0});
        // Every purpose begins with the request.
        rows.push_back({state, E::Stop, T(S::StopRequested, A::SendRequest, B::None)});
    }
    return rows;
}

std::vector<Row> IdleRows()
{
    std::vector<Row> rows;
    rows.push_back({S::Throttled, E::Deadline, T(S::Down, A::None, B::Now, 0)});
    // Stopping a server without a process: held stays held, an operator's
    // stop holds it, the others leave it down (a restart starts it at once).
    for (S state : {S::Down, S::Throttled, S::Held}) {
        rows.push_back({state, E::Forked, T(S::Starting, A::None, B::Now, 60)});
        rows.push_back(
            {state, E::ForkFailed, T(S::Throttled, A::ReportThrottle, B::LastStart, 120), -1, 1});
        rows.push_back({state, E::ForkFailed, T(S::Down, A::None, B::Now, 1), -1, 0});
        rows.push_back({state, E::Release, T(S::Down, A::None, B::Now, 0)});
    }
    rows.push_back({S::Held, E::Stop, T(S::Held, A::None, B::None)});
    for (S state : {S::Down, S::Throttled}) {
        rows.push_back({state, E::Stop, T(S::Held, A::None, B::None), Of(P::Hold)});
        rows.push_back({state, E::Stop, T(S::Down, A::None, B::Now, 0), Of(P::Restart)});
        rows.push_back({state, E::Stop, T(S::Down, A::None, B::None)});
    }
    return rows;
}

const Row* Match(const std::vector<Row>& rows, S state, E event, P purpose, bool throttle,
                 bool limit)
{
    for (const Row& row : rows)
        if (row.state == state && row.event == event &&
            (row.purpose < 0 || row.purpose == Of(purpose)) &&
            (row.throttle < 0 || row.throttle == (throttle ? 1 : 0)) &&
            (row.limit < 0 || row.limit == (limit ? 1 : 0)))
            return &row;
    return nullptr;
}

std::string Describe(S state, E event, P purpose, bool throttle, bool limit)
{
    return std::string(ServerStateName(state)) + " on event " +
           std::to_string(static_cast<int>(event)) + ", purpose " + std::to_string(Of(purpose)) +
           (throttle ? ", over the throttle" : "") + (limit ? ", probe limit" : "");
}

TEST(ServerMachine, EveryStateOnEveryEventUnderEveryPurposeAndThrottle)
{
    std::vector<Row> rows = StoppingRows();
    for (const auto& more : {LiveRows(), IdleRows()})
        rows.insert(rows.end(), more.begin(), more.end());
    std::vector<bool> used(rows.size(), false);
    int stays = 0;
    for (S state : kStates)
        for (E event : kEvents)
            for (P purpose : kPurposes)
                for (int bits = 0; bits < 4; ++bits) {
                    bool throttle = (bits & 1) != 0, limit = (bits & 2) != 0;
                    ServerFacts facts;
                    facts.purpose = purpose;
                    facts.overThrottle = throttle;
                    facts.probeLimit = limit;
                    ServerTransition got = NextTransition(state, event, facts);
                    const Row* row = Match(rows, state, event, purpose, throttle, limit);
                    // Not a row: the event means nothing here.
                    ServerTransition want = row ? row->expected : T(state, A::None, B::Keep);
                    if (row)
                        used[row - rows.data()] = true;
                    else
                        ++stays;
                    std::string what = Describe(state, event, purpose, throttle, limit);
                    EXPECT_EQ(got.next, want.next) << what;
                    EXPECT_EQ(got.action, want.action) << what;
                    EXPECT_EQ(got.base, want.base) << what;
                    // The wait counts only where there is a base to count from.
                    if (want.base == B::Now || want.base == B::LastStart) {
                        EXPECT_EQ(got.wait, want.wait) << what;
                    }
                }
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_TRUE(used[i]) << "row " << i << " is shadowed by an earlier one";
    // Most pairs are meaningless; a table that reacted to everything would
    // also pass the rows above.
    EXPECT_GT(stays, 1400);
}

// No table row leaves a stopping record without a way out: each stop state
// has a deadline after its entry, except Killing once reported.
TEST(ServerMachine, EveryStopStepHasItsDeadlineAndTheSequenceIsBounded)
{
    ServerFacts facts;
    facts.purpose = P::Shutdown;
    ServerTransition t = NextTransition(S::Running, E::Stop, facts);
    ASSERT_EQ(t.next, S::StopRequested);
    t = NextTransition(t.next, E::RequestSent, facts);
    int total = static_cast<int>(t.wait.count());
    int steps = 0;
    for (S state = t.next; steps < 10; ++steps) {
        t = NextTransition(state, E::Deadline, facts);
        if (t.base != B::Now)
            break;
        total += static_cast<int>(t.wait.count());
        state = t.next;
    }
    // Request 30 s, SIGTERM 5 s, SIGKILL 5 s; then ReportStuck ends it.
    EXPECT_EQ(steps, 2);
    EXPECT_EQ(total, 40);
    EXPECT_EQ(t.next, S::Killing);
    EXPECT_EQ(t.action, A::ReportStuck);
    EXPECT_EQ(t.base, B::None);
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
        {S::Running, "serving", true},
        {S::NotAnswering, "not answering", true},
        {S::Throttled, "throttled", false},
        {S::Held, "stopped by operator", false},
        {S::StopRequested, "stopping (request sent)", true},
        {S::Terminating, "stopping (SIGTERM sent)", true},
        {S::Killing, "stopping (SIGKILL sent)", true},
    };
    ASSERT_EQ(sizeof all / sizeof all[0], kStates.size());
    for (const Expected& e : all) {
        EXPECT_STREQ(ServerStateName(e.state), e.name);
        EXPECT_EQ(HasProcess(e.state), e.process) << e.name;
    }
    EXPECT_STREQ(ServerStateName(static_cast<S>(99)), "unknown");
    EXPECT_FALSE(HasProcess(static_cast<S>(99)));
    EXPECT_EQ(NextTransition(static_cast<S>(99), E::Stop, ServerFacts{}).next, static_cast<S>(99));
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
    record.mPid = child;
    record.mState = S::Running;
    record.mDeadline = Clock::time_point::max();
    Clock::time_point t0 = Clock::now();

    ASSERT_TRUE(record.requestStop(P::Hold, t0));
    EXPECT_EQ(record.mState, S::StopRequested);
    EXPECT_EQ(record.mDeadline, Clock::time_point::max());
    // A second stop, here a full one, keeps the sequence and takes the purpose.
    EXPECT_FALSE(record.requestStop(P::Shutdown, t0));
    EXPECT_EQ(record.mPurpose, P::Shutdown);
    record.mPurpose = P::Hold;

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
    EXPECT_TRUE(record.startDue(t0 + seconds(50)));
}

}  // namespace
