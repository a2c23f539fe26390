// Where one application server stands, why it is being stopped, and the
// table that moves it from one state to the next. The record
// (AppServerProcess.h) carries out what a row says; nothing else decides a
// server's state, and each fact the rows look at changes only in a row or
// comes in with its event.
#pragma once

#include <chrono>
#include <cstddef>

#include "foundation/StopTimes.h"

enum class ServerState {
    Down,           // no process; started once its deadline has come
    Starting,       // forked; does not accept connections yet
    Serving,        // it accepts connections (or readiness is not probed)
    NotAnswering,   // serving, but its last liveness probes failed
    Throttled,      // failed too often too quickly; waits for its next start
    Held,           // stopped by the operator; started only on request
    StopRequested,  // the shutdown request is on its way or was sent
    Terminating,    // SIGTERM and SIGCONT sent
    Killing,        // SIGKILL sent; with no deadline left it is stuck (IsStuck)
};

// Every state, in the order above (for lists of them, such as the metrics).
constexpr ServerState kServerStates[] = {
    ServerState::Down,      ServerState::Starting,      ServerState::Serving,
    ServerState::NotAnswering, ServerState::Throttled,  ServerState::Held,
    ServerState::StopRequested, ServerState::Terminating, ServerState::Killing,
};

// Why a record is being stopped: what follows its end, and which texts the
// log uses on the way.
enum class StopPurpose {
    None,
    Shutdown,  // the service stops: nothing starts again
    Hold,      // the operator's stop: held afterwards
    Restart,   // the operator's restart or a rolling restart: started again at once
    Remove,    // gone from the configuration: the record goes with the process
    Fail,      // it failed (no readiness in time, no liveness): its end counts as a
               // failure, and the throttle decides when it starts again
    Recycle,   // its tree uses more memory than its limit: started again at once,
               // not a failure
};

// What happens to a record. The argument an event brings is named.
enum class ServerEvent {
    Deadline,       // the record's deadline came
    ForkFailed,     // the start made no process (why)
    Ready,          // the started process accepts connections (how long it took)
    ProbeFailed,    // a liveness probe failed (why)
    ProbeOk,        // a liveness probe succeeded
    End,            // its process ended and was reaped (wait status)
    Stop,           // a stop was asked for (purpose)
    RequestSent,    // the shutdown request went out (send status)
    RequestFailed,  // no connection came about: the request cannot go out
    OperatorStart,  // the operator starts a server that has no process
    Readded,        // a reload takes back a server whose removal runs
    Outlived,       // its leader ended and was reaped, processes of its tree are left
                    // (the wait status, their pids); End follows once the tree is empty
    WatchdogMissed, // a serving server sent no WATCHDOG=1 within its interval
};
constexpr size_t kServerEventCount = 13;

// What a row does besides moving the record; several may be joined with |,
// and they are carried out in the order below. Each owns its log line.
enum ServerAction : unsigned {
    kNoAction = 0,
    kTakePurpose = 1u << 0,     // the Stop's purpose becomes the record's
    kLaunch = 1u << 1,          // fork and exec ("started"); unprobed, it is Ready at once
    kForkFailure = 1u << 2,     // a quick failure: the fork's reason
    kServe = 1u << 3,           // ready: how long it took ("serving after")
    kEnded = 1u << 4,           // counts the end; its "terminated" line follows the pass's starts
    kProbeMiss = 1u << 5,       // one more failed probe ("not answering" the first time)
    kProbeHit = 1u << 6,        // the failures are forgotten ("answers again")
    kGiveUpStart = 1u << 7,     // no readiness in time: a failure ("did not accept")
    kGiveUpProbe = 1u << 8,     // the probe limit: a failure ("restarting it")
    kSendRequest = 1u << 9,     // the caller hands the shutdown request to a thread
    kFailedShutdown = 1u << 10, // the request did not end it ("Failed to shut down")
    kTerminate = 1u << 11,      // SIGTERM and SIGCONT (a stopped process keeps SIGTERM pending)
    kKill = 1u << 12,           // SIGKILL ("killed")
    kReportStuck = 1u << 13,    // it outlived SIGKILL ("still running")
    kReaped = 1u << 14,         // a stopped process ended; one no child of ours any more is reported
    kReportHeld = 1u << 15,     // "stopped by operator"
    kLiftThrottle = 1u << 16,   // it ran a minute: the quick failures are forgotten
    kReportThrottle = 1u << 17, // the starts are held back (once per run of failures)
    kRelease = 1u << 18,        // the operator's start: no hold, no throttle
    kReadmit = 1u << 19,        // the removal becomes a restart
    kOutlived = 1u << 20,       // names what is left of its tree ("outlived it"); a failure's stop
    kReportFailEnd = 1u << 21,  // how a server stopped for failing ended ("ended with")
    kMissedWatchdog = 1u << 22, // no WATCHDOG=1 in time: a failure ("sent no WATCHDOG=1")
};

// Where the next deadline is counted from.
enum class DeadlineBase {
    Keep,       // the deadline stays as it was
    Clear,      // no deadline
    Now,        // `wait` from now
    LastStart,  // `wait` from the last start attempt
};

// The named waits of the rows (StopTimes.h), resolved by ServerWait.
enum class Wait { Zero, RetryFork, StartTimeout, Probation, ThrottleHold, RequestWait, SignalWait };

// What a row tells the record's waiter.
enum class Announcement { None, Started, Failed, Stopped, Removed };

// The facts of the record (with the event's argument) that the guards read.
struct ServerFacts {
    StopPurpose purpose = StopPurpose::None;  // for a Stop: the purpose it would take
    bool overThrottle = false;      // more quick failures in a row than the throttle allows
    bool failureThrottles = false;  // this event is a quick failure that throttles
    bool probeLimit = false;        // this failed probe reaches the limit
};

// A condition on the facts under which a row applies.
enum class Guard {
    Any,
    Hold, Restart, Remove, Fail, Recycle,  // the purpose is this one
    FailThrottled,                // the purpose is Fail, and the throttle holds
    OverThrottle,                 // the throttle holds
    Throttles,                    // this failure makes the throttle hold
    ProbeLimit,                   // this failed probe is one too many
};

// One row: in one of `from` (a set, StateBit), on `event`, under `guard`.
struct ServerRow {
    unsigned from;
    ServerEvent event;
    Guard guard;
    ServerState next;
    unsigned actions;
    DeadlineBase base;
    Wait wait;
    Announcement announce;
};

constexpr unsigned StateBit(ServerState s)
{
    return static_cast<unsigned>(s) < 32 ? 1u << static_cast<unsigned>(s) : 0;
}

// The rows, in the order they are looked at; the first that matches counts.
struct ServerRows {
    const ServerRow* begin;
    const ServerRow* end;
};
ServerRows ServerTable();

// True when `guard` holds for `facts`.
bool GuardHolds(Guard guard, const ServerFacts& facts);
// The row for `state` on `event` with `facts`, from the table; null when the
// event means nothing there: the record stays as it is, deadline kept.
const ServerRow* FindRow(ServerState state, ServerEvent event, const ServerFacts& facts);
// The length of a named wait; the times given are the record's own.
std::chrono::seconds ServerWait(Wait wait, std::chrono::seconds startTimeout,
                                std::chrono::seconds stopTimeout = stoptimes::kRequestWait,
                                std::chrono::seconds killTimeout = stoptimes::kSignalWait);

// The purpose a record takes on a Stop with `asked`: one being stopped
// keeps its sequence, and only a full stop or a removal outranks what it
// would do next.
StopPurpose TakenPurpose(ServerState state, StopPurpose current, StopPurpose asked);

// The state's name as operators see it in -servers and its JSON.
const char* ServerStateName(ServerState state);

// True in the states in which the record has a process of its own.
bool HasProcess(ServerState state);
// True while its process runs and no stop has begun (starting or serving).
bool IsLive(ServerState state);
// True while a stop of its process runs.
bool IsStopping(ServerState state);
