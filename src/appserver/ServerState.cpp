// The server machine's table. Every state change of a record is one row
// here; AppServerProcess carries out the actions.
#include "appserver/ServerState.h"

namespace {

using std::chrono::seconds;
using S = ServerState;
using A = ServerAction;
using B = DeadlineBase;

const seconds kRetryFork{1};        // a failed fork is tried again a second later
const seconds kThrottleHold{120};   // a throttled server starts once per 120 s...
const seconds kThrottleProbation{60};  // ...and counts as running again after a minute
const seconds kRequestWait{30};     // for the end after the shutdown request
const seconds kSignalWait{5};       // after SIGTERM, and after SIGKILL

ServerTransition Stay(ServerState state)
{
    return {state, A::None, B::Keep, seconds{0}};
}

// The end of a process that was not being stopped, or a fork that failed.
ServerTransition Failed(const ServerFacts& facts, seconds retry)
{
    if (facts.overThrottle)
        return {S::Throttled, A::ReportThrottle, B::LastStart, kThrottleHold};
    return {S::Down, A::None, B::Now, retry};
}

// The end of a process that was being stopped: what follows is its purpose.
ServerTransition Stopped(const ServerFacts& facts)
{
    switch (facts.purpose) {
    case StopPurpose::Hold:
        return {S::Held, A::None, B::None, seconds{0}};
    case StopPurpose::Restart:
        return {S::Down, A::None, B::Now, seconds{0}};
    case StopPurpose::Fail:
        return Failed(facts, seconds{0});
    default:
        return {S::Down, A::None, B::None, seconds{0}};
    }
}

// A stop asked of a record without a process.
ServerTransition StopIdle(ServerState state, const ServerFacts& facts)
{
    if (state == S::Held || facts.purpose == StopPurpose::Hold)
        return {S::Held, A::None, B::None, seconds{0}};
    if (facts.purpose == StopPurpose::Restart)
        return {S::Down, A::None, B::Now, seconds{0}};
    // Nothing runs that could fail or be given up: it stays down.
    return {S::Down, A::None, B::None, seconds{0}};
}

ServerTransition Stopping(ServerState state, ServerEvent event, const ServerFacts& facts)
{
    switch (event) {
    case ServerEvent::End:
        return Stopped(facts);
    case ServerEvent::RequestSent:
        if (state == S::StopRequested)
            return {S::StopRequested, A::None, B::Now, kRequestWait};
        return Stay(state);
    case ServerEvent::RequestFailed:
        if (state == S::StopRequested)
            return {S::Terminating, A::Terminate, B::Now, kSignalWait};
        return Stay(state);
    case ServerEvent::Deadline:
        if (state == S::StopRequested)
            return {S::Terminating, A::Terminate, B::Now, kSignalWait};
        if (state == S::Terminating)
            return {S::Killing, A::Kill, B::Now, kSignalWait};
        return {S::Killing, A::ReportStuck, B::None, seconds{0}};
    default:
        return Stay(state);
    }
}

// A server that serves: its deadline is the end of a throttle's probation.
ServerTransition Serving(ServerState state, const ServerFacts& facts)
{
    if (facts.overThrottle)
        return {state, A::None, B::LastStart, kThrottleProbation};
    return {state, A::None, B::None, seconds{0}};
}

ServerTransition Probed(ServerState state, ServerEvent event, const ServerFacts& facts)
{
    if (event == ServerEvent::ProbeOk)
        return state == S::NotAnswering ? ServerTransition{S::Running, A::None, B::Keep, seconds{0}}
                                        : Stay(state);
    if (facts.probeLimit)
        return {S::StopRequested, A::SendRequest, B::None, seconds{0}};
    return {S::NotAnswering, A::None, B::Keep, seconds{0}};
}

ServerTransition Live(ServerState state, ServerEvent event, const ServerFacts& facts)
{
    switch (event) {
    case ServerEvent::Ready:
        if (state != S::Starting)
            return Stay(state);
        return Serving(S::Running, facts);
    case ServerEvent::ProbeOk:
    case ServerEvent::ProbeFailed:
        if (state == S::Starting)
            return Stay(state);
        return Probed(state, event, facts);
    case ServerEvent::End:
        return Failed(facts, seconds{0});
    case ServerEvent::Deadline:
        if (state == S::Starting)
            return {S::StopRequested, A::SendRequest, B::None, seconds{0}};
        if (facts.overThrottle)
            return {state, A::LiftThrottle, B::None, seconds{0}};
        return Stay(state);
    case ServerEvent::Stop:
        return {S::StopRequested, A::SendRequest, B::None, seconds{0}};
    default:
        return Stay(state);
    }
}

ServerTransition Idle(ServerState state, ServerEvent event, const ServerFacts& facts)
{
    switch (event) {
    case ServerEvent::Forked:
        return {S::Starting, A::None, B::Now, facts.startTimeout};
    case ServerEvent::ForkFailed:
        return Failed(facts, kRetryFork);
    case ServerEvent::Deadline:
        if (state == S::Throttled)
            return {S::Down, A::None, B::Now, seconds{0}};
        return Stay(state);
    case ServerEvent::Stop:
        return StopIdle(state, facts);
    case ServerEvent::Release:
        return {S::Down, A::None, B::Now, seconds{0}};
    default:
        return Stay(state);
    }
}

}  // namespace

ServerTransition NextTransition(ServerState state, ServerEvent event, const ServerFacts& facts)
{
    switch (state) {
    case S::Down:
    case S::Throttled:
    case S::Held:
        return Idle(state, event, facts);
    case S::Starting:
    case S::Running:
    case S::NotAnswering:
        return Live(state, event, facts);
    case S::StopRequested:
    case S::Terminating:
    case S::Killing:
        return Stopping(state, event, facts);
    }
    return Stay(state);
}

const char* ServerStateName(ServerState state)
{
    switch (state) {
    case S::Down:
        return "down";
    case S::Starting:
        return "starting";
    case S::Running:
        return "serving";
    case S::NotAnswering:
        return "not answering";
    case S::Throttled:
        return "throttled";
    case S::Held:
        return "stopped by operator";
    // One word first for all three: scripts that look for "stopping" keep working.
    case S::StopRequested:
        return "stopping (request sent)";
    case S::Terminating:
        return "stopping (SIGTERM sent)";
    case S::Killing:
        return "stopping (SIGKILL sent)";
    }
    return "unknown";
}

bool IsLive(ServerState state)
{
    return state == S::Starting || state == S::Running || state == S::NotAnswering;
}

bool HasProcess(ServerState state)
{
    return IsLive(state) || state == S::StopRequested ||
           state == S::Terminating || state == S::Killing;
}
