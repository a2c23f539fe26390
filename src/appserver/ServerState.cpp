// The server machine's table. Every state change of a record is one row
// here; AppServerProcess carries out the actions, and the manager delivers
// the announcements to whoever waits for the record.
#include "appserver/ServerState.h"

#include <iterator>

#include "foundation/StopTimes.h"

namespace {

using S = ServerState;
using E = ServerEvent;
using G = Guard;
using B = DeadlineBase;
using W = Wait;
using N = Announcement;

constexpr unsigned kIdle = StateBit(S::Down) | StateBit(S::Throttled);
constexpr unsigned kLive = StateBit(S::Starting) | StateBit(S::Serving) | StateBit(S::NotAnswering);
constexpr unsigned kServing = StateBit(S::Serving) | StateBit(S::NotAnswering);
constexpr unsigned kStopping =
    StateBit(S::StopRequested) | StateBit(S::Terminating) | StateBit(S::Killing);

constexpr unsigned On(S s)
{
    return StateBit(s);
}

// clang-format off
const ServerRow kRows[] = {
// from               event            guard            next              actions                          deadline             announce
// Starting: the start row, then readiness or its absence.
{On(S::Down),         E::Deadline,     G::Any,          S::Starting,      kLaunch,                         B::Now, W::StartTimeout,   N::None},
{On(S::Starting),     E::ForkFailed,   G::Throttles,    S::Throttled,     kForkFailure | kReportThrottle,  B::LastStart, W::ThrottleHold, N::Failed},
{On(S::Starting),     E::ForkFailed,   G::Any,          S::Down,          kForkFailure,                    B::Now, W::RetryFork,      N::Failed},
{On(S::Starting),     E::Ready,        G::OverThrottle, S::Serving,       kServe,                          B::LastStart, W::Probation, N::Started},
{On(S::Starting),     E::Ready,        G::Any,          S::Serving,       kServe,                          B::Clear, W::Zero,         N::Started},
{On(S::Starting),     E::Deadline,     G::Any,          S::StopRequested, kGiveUpStart | kSendRequest,     B::Clear, W::Zero,         N::Failed},
// Serving: liveness, and the end of a throttle's probation.
{On(S::Serving),      E::Deadline,     G::OverThrottle, S::Serving,       kLiftThrottle,                   B::Clear, W::Zero,         N::None},
{On(S::NotAnswering), E::Deadline,     G::OverThrottle, S::NotAnswering,  kLiftThrottle,                   B::Clear, W::Zero,         N::None},
{On(S::Serving),      E::Deadline,     G::Any,          S::Serving,       kNoAction,                       B::Keep, W::Zero,          N::None},
{On(S::NotAnswering), E::Deadline,     G::Any,          S::NotAnswering,  kNoAction,                       B::Keep, W::Zero,          N::None},
{kServing,            E::ProbeFailed,  G::ProbeLimit,   S::Terminating,   kProbeMiss | kGiveUpProbe | kTerminate, B::Now, W::SignalWait,     N::Failed},
{kServing,            E::ProbeFailed,  G::Any,          S::NotAnswering,  kProbeMiss,                      B::Keep, W::Zero,          N::None},
{On(S::NotAnswering), E::ProbeOk,      G::Any,          S::Serving,       kProbeHit,                       B::Keep, W::Zero,          N::None},
{kServing,            E::WatchdogMissed, G::Any,        S::StopRequested, kMissedWatchdog | kSendRequest,  B::Clear, W::Zero,         N::Failed},
// A live process that ends was not asked to: a failure unless it exited 0.
{kLive,               E::End,          G::Throttles,    S::Throttled,     kEnded | kReportThrottle,        B::LastStart, W::ThrottleHold, N::Failed},
{kLive,               E::End,          G::Any,          S::Down,          kEnded,                          B::Now, W::Zero,           N::Failed},
{kLive,               E::Stop,         G::Any,          S::StopRequested, kTakePurpose | kSendRequest,     B::Clear, W::Zero,         N::None},
// Its leader ended, and processes of its tree are left: they are stopped
// before the server starts again (a failure's stop, the end counted now).
{kLive,               E::Outlived,     G::Any,          S::Terminating,   kEnded | kOutlived | kTakePurpose | kTerminate, B::Now, W::SignalWait, N::Failed},
// The stop sequence: the request, its wait, SIGTERM, SIGKILL, stuck.
{On(S::StopRequested), E::RequestSent, G::Any,          S::StopRequested, kNoAction,                       B::Now, W::RequestWait,    N::None},
{On(S::StopRequested), E::RequestFailed, G::Any,        S::Terminating,   kTerminate,                      B::Now, W::SignalWait,     N::None},
{On(S::StopRequested), E::Deadline,    G::Any,          S::Terminating,   kFailedShutdown | kTerminate,    B::Now, W::SignalWait,     N::None},
{On(S::Terminating),  E::Deadline,     G::Any,          S::Killing,       kKill,                           B::Now, W::SignalWait,     N::None},
{On(S::Killing),      E::Deadline,     G::Any,          S::Killing,       kReportStuck,                    B::Clear, W::Zero,         N::None},
// A stop asked again takes the purpose and keeps the sequence.
{On(S::StopRequested), E::Stop,        G::Any,          S::StopRequested, kTakePurpose,                    B::Keep, W::Zero,          N::None},
{On(S::Terminating),  E::Stop,         G::Any,          S::Terminating,   kTakePurpose,                    B::Keep, W::Zero,          N::None},
{On(S::Killing),      E::Stop,         G::Any,          S::Killing,       kTakePurpose,                    B::Keep, W::Zero,          N::None},
{On(S::StopRequested), E::Readded,     G::Any,          S::StopRequested, kReadmit,                        B::Keep, W::Zero,          N::None},
{On(S::Terminating),  E::Readded,      G::Any,          S::Terminating,   kReadmit,                        B::Keep, W::Zero,          N::None},
{On(S::Killing),      E::Readded,      G::Any,          S::Killing,       kReadmit,                        B::Keep, W::Zero,          N::None},
// The leader of a stopped tree ended first: the rest is signalled at once,
// and the stop ends with the tree's last process (End).
{On(S::StopRequested), E::Outlived,    G::Any,          S::Terminating,   kTerminate,                      B::Now, W::SignalWait,     N::None},
{On(S::Terminating),  E::Outlived,     G::Any,          S::Terminating,   kNoAction,                       B::Keep, W::Zero,          N::None},
{On(S::Killing),      E::Outlived,     G::Any,          S::Killing,       kNoAction,                       B::Keep, W::Zero,          N::None},
// The end of a stopped process: what follows is the stop's purpose.
{kStopping,           E::End,          G::Hold,         S::Held,          kReaped | kReportHeld,           B::Clear, W::Zero,         N::Stopped},
{kStopping,           E::End,          G::Restart,      S::Down,          kReaped,                         B::Now, W::Zero,           N::None},
{kStopping,           E::End,          G::Recycle,      S::Down,          kReaped,                         B::Now, W::Zero,           N::None},
{kStopping,           E::End,          G::FailThrottled, S::Throttled,    kReaped | kReportFailEnd | kReportThrottle, B::LastStart, W::ThrottleHold, N::None},
{kStopping,           E::End,          G::Fail,         S::Down,          kReaped | kReportFailEnd,        B::Now, W::Zero,           N::None},
{kStopping,           E::End,          G::Remove,       S::Down,          kReaped,                         B::Clear, W::Zero,         N::Removed},
{kStopping,           E::End,          G::Any,          S::Down,          kReaped,                         B::Clear, W::Zero,         N::None},
// No process: the throttle's end, the operator, a stop with nothing to stop.
{On(S::Throttled),    E::Deadline,     G::Any,          S::Down,          kNoAction,                       B::Now, W::Zero,           N::None},
{kIdle | On(S::Held), E::OperatorStart, G::Any,         S::Down,          kRelease,                        B::Now, W::Zero,           N::None},
{kIdle | On(S::Held), E::Stop,         G::Remove,       S::Down,          kTakePurpose,                    B::Clear, W::Zero,         N::Removed},
{On(S::Held),         E::Stop,         G::Any,          S::Held,          kNoAction,                       B::Clear, W::Zero,         N::None},
{kIdle,               E::Stop,         G::Hold,         S::Held,          kTakePurpose | kReportHeld,      B::Clear, W::Zero,         N::Stopped},
{kIdle,               E::Stop,         G::Restart,      S::Down,          kTakePurpose,                    B::Now, W::Zero,           N::None},
{kIdle,               E::Stop,         G::Any,          S::Down,          kTakePurpose,                    B::Clear, W::Zero,         N::None},
};
// clang-format on

}  // namespace

ServerRows ServerTable()
{
    return {std::begin(kRows), std::end(kRows)};
}

bool GuardHolds(Guard guard, const ServerFacts& facts)
{
    switch (guard) {
    case G::Any:
        return true;
    case G::Hold:
        return facts.purpose == StopPurpose::Hold;
    case G::Restart:
        return facts.purpose == StopPurpose::Restart;
    case G::Remove:
        return facts.purpose == StopPurpose::Remove;
    case G::Fail:
        return facts.purpose == StopPurpose::Fail;
    case G::Recycle:
        return facts.purpose == StopPurpose::Recycle;
    case G::FailThrottled:
        return facts.purpose == StopPurpose::Fail && facts.overThrottle;
    case G::OverThrottle:
        return facts.overThrottle;
    case G::Throttles:
        return facts.failureThrottles;
    case G::ProbeLimit:
        return facts.probeLimit;
    }
    return false;
}

const ServerRow* FindRow(ServerState state, ServerEvent event, const ServerFacts& facts)
{
    for (const ServerRow& row : kRows)
        if ((row.from & StateBit(state)) != 0 && row.event == event && GuardHolds(row.guard, facts))
            return &row;
    return nullptr;
}

std::chrono::seconds ServerWait(Wait wait, std::chrono::seconds startTimeout,
                                std::chrono::seconds stopTimeout, std::chrono::seconds killTimeout)
{
    switch (wait) {
    case W::Zero:
        return std::chrono::seconds{0};
    case W::RetryFork:
        return stoptimes::kRetryFork;
    case W::StartTimeout:
        return startTimeout;
    case W::Probation:
        return stoptimes::kQuickFailure;
    case W::ThrottleHold:
        return stoptimes::kThrottleHold;
    case W::RequestWait:
        return stopTimeout;
    case W::SignalWait:
        return killTimeout;
    }
    return std::chrono::seconds{0};
}

StopPurpose TakenPurpose(ServerState state, StopPurpose current, StopPurpose asked)
{
    if (!IsStopping(state) || current == StopPurpose::None || asked == StopPurpose::Shutdown ||
        asked == StopPurpose::Remove)
        return asked;
    return current;
}

const char* ServerStateName(ServerState state)
{
    switch (state) {
    case S::Down:
        return "down";
    case S::Starting:
        return "starting";
    case S::Serving:
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
    return state == S::Starting || state == S::Serving || state == S::NotAnswering;
}

bool IsStopping(ServerState state)
{
    return state == S::StopRequested || state == S::Terminating || state == S::Killing;
}

bool HasProcess(ServerState state)
{
    return IsLive(state) || IsStopping(state);
}
