// The times of a server's stop sequence and of its start throttle, written
// once: the supervisor runs by them, its log lines name them, and the
// controller's and the control client's waits are derived from them, so
// that no caller gives up before the service could have finished.
#pragma once

#include <chrono>

namespace stoptimes {

using std::chrono::seconds;

// The stop sequence: the shutdown request's connect, the wait for the end
// after it, then SIGTERM and SIGCONT, a wait, SIGKILL, and a last wait.
constexpr seconds kConnect{10};
constexpr seconds kRequestWait{30};
constexpr seconds kSignalWait{5};
// The longest one server's stop runs before it is given up, with the wait
// after the request and the one after each signal as STOP_TIMEOUT and
// KILL_TIMEOUT set them.
constexpr seconds StopBound(seconds requestWait, seconds signalWait)
{
    return kConnect + requestWait + 2 * signalWait;
}
constexpr seconds kStopBound = StopBound(kRequestWait, kSignalWait);

// The throttle: an end within kQuickFailure of its start is a quick
// failure; more than kThrottleFailures of them in a row hold the next start
// back for kThrottleHold, and a server that then serves kQuickFailure
// counts as running again.
constexpr int kThrottleFailures = 4;
constexpr seconds kQuickFailure{60};
constexpr seconds kThrottleHold{120};
// A failed fork is tried again this much later.
constexpr seconds kRetryFork{1};

// The default time a started server has to accept connections.
constexpr seconds kStartTimeout{60};

// What a caller of the whole service's stop allows: every server's stop
// runs at once, plus a margin for the service's own end.
constexpr seconds ServiceStopLimit(seconds stopBound)
{
    return stopBound + seconds{10};
}
constexpr seconds kServiceStopLimit = ServiceStopLimit(kStopBound);
// What the control client allows for the next line of a reply: one
// server's stop and its start again, with the same margin.
constexpr seconds kReplyLimit = kStopBound + kStartTimeout + seconds{10};

}  // namespace stoptimes
