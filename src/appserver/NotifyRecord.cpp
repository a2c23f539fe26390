// What a server's own messages on the notification socket do to its record:
// READY=1 is its readiness, STATUS= and STOPPING=1 are kept for the
// operator, WATCHDOG=1 keeps its liveness, and a missed one fails it.
#include <cinttypes>

#include "appserver/AppServerProcess.h"

void AppServerProcess::forgetNotices()
{
    mHasStatus = false;
    mStatusText.clear();
    mStoppingNotified = false;
    mWatchdogUsec = mWatchdogSetting;
    mWatchdogDeadline = Clock::time_point::max();
}

bool AppServerProcess::onNotify(const NotifyEvent& event, Clock::time_point now)
{
    // A message still queued from a process that ended says nothing of the next.
    if (!HasProcess(mState))
        return false;
    switch (event.kind) {
    case NotifyEvent::Kind::Ready:
        if (mHearsReady && mState == ServerState::Starting)
            onReady(now);
        break;
    case NotifyEvent::Kind::Status:
        mHasStatus = true;
        mStatusText = event.text;
        mChanged = true;
        break;
    case NotifyEvent::Kind::Stopping:
        mStoppingNotified = true;
        mChanged = true;
        break;
    case NotifyEvent::Kind::WatchdogTimeout:
        // A server may set its own period, or end its watchdog with 0, as
        // under systemd; the new period counts from now.
        mWatchdogUsec = event.usec;
        if (serving())
            mWatchdogDeadline = WatchdogDeadline(now, mWatchdogUsec);
        break;
    case NotifyEvent::Kind::Watchdog:
        if (mWatchdogUsec != 0 && serving())
            mWatchdogDeadline = WatchdogDeadline(now, mWatchdogUsec);
        break;
    }
    return false;
}

bool AppServerProcess::onWatchdogMissed(Clock::time_point now)
{
    return apply(ServerEvent::WatchdogMissed, now) & kSendRequest;
}

void AppServerProcess::carryOutNotify(unsigned action, Clock::time_point now)
{
    // The first interval counts from the moment it serves.
    if (action & kServe)
        mWatchdogDeadline = WatchdogDeadline(now, mWatchdogUsec);
    if (action & kMissedWatchdog) {
        uint64_t seconds = (mWatchdogUsec + 999999) / 1000000;
        say("Server [%s]:%hu sent no WATCHDOG=1 within %" PRIu64 " s; restarting it",
            mHost.c_str(), mPort, seconds);
        mFailure = "sent no WATCHDOG=1 within " + std::to_string(seconds) + " s";
        countFailure(true, now);
        mPurpose = StopPurpose::Fail;
        mWatchdogDeadline = Clock::time_point::max();
    }
}
