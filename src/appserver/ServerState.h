// Where one application server stands, why it is being stopped, and the
// table that moves it from one state to the next. The record
// (AppServerProcess.h) carries out what the table says; nothing else decides
// a server's state.
#pragma once

#include <chrono>

enum class ServerState {
    Down,           // no process; started once its deadline has come
    Starting,       // forked; does not accept connections yet
    Running,        // serving: it accepts connections (or readiness is not probed)
    NotAnswering,   // serving, but its last liveness probes failed
    Throttled,      // failed too often too quickly; waits for its next start
    Held,           // stopped by the operator; started only on request
    StopRequested,  // the shutdown request is on its way or was sent
    Terminating,    // SIGTERM and SIGCONT sent
    Killing,        // SIGKILL sent
};

// Every state, in the order above (for lists of them, such as the metrics).
constexpr ServerState kServerStates[] = {
    ServerState::Down,      ServerState::Starting,      ServerState::Running,
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
};

// What happens to a record.
enum class ServerEvent {
    Forked,         // a start attempt made a process
    ForkFailed,     // a start attempt made none
    Ready,          // the started process accepts connections (or is taken as such)
    ProbeFailed,    // a liveness probe failed
    ProbeOk,        // a liveness probe succeeded
    End,            // its process ended and was reaped
    Deadline,       // the record's deadline came
    Stop,           // a stop of any purpose was asked for
    RequestSent,    // the shutdown request went out
    RequestFailed,  // no connection came about: the request cannot go out
    Release,        // the operator asks a held server to start
};

// What the record does on a transition, besides changing its state.
enum class ServerAction {
    None,
    SendRequest,     // hand the shutdown request to a thread
    Terminate,       // SIGTERM and SIGCONT (a stopped process keeps SIGTERM pending for ever)
    Kill,            // SIGKILL
    LiftThrottle,    // forget the quick failures: it has run for a minute
    ReportThrottle,  // log that the starts are held back
    ReportStuck,     // log that the process outlived SIGKILL by 5 s
};

// Where the next deadline is counted from.
enum class DeadlineBase {
    Keep,       // the deadline stays as it was
    None,       // no deadline
    Now,        // `wait` from now
    LastStart,  // `wait` from the last start attempt
};

struct ServerTransition {
    ServerState next;
    ServerAction action = ServerAction::None;
    DeadlineBase base = DeadlineBase::Keep;
    std::chrono::seconds wait{0};
};

// Facts of the record that the table needs besides its state.
struct ServerFacts {
    StopPurpose purpose = StopPurpose::None;
    bool overThrottle = false;  // more quick failures in a row than the throttle allows
    bool probeLimit = false;    // the liveness probes failed as often as allowed
    std::chrono::seconds startTimeout{60};  // for a started server to accept connections
};

// The one table of the server machine: the transition of `state` on `event`.
// An event that means nothing in a state leaves it as it is, with no action
// and the deadline unchanged (next == state, base Keep).
ServerTransition NextTransition(ServerState state, ServerEvent event, const ServerFacts& facts);

// The state's name as operators see it in -servers and its JSON.
const char* ServerStateName(ServerState state);

// True in the states in which the record has a process of its own.
bool HasProcess(ServerState state);
// True while its process runs and no stop has begun (starting or serving).
bool IsLive(ServerState state);
