#include "service/SystemdNotifier.h"

#include <systemd/sd-daemon.h>
#include <time.h>

#include <cstdlib>
#include <cstring>

#include "foundation/Log.h"

CSystemdNotifier::CSystemdNotifier()
{
    const char* socket = getenv("NOTIFY_SOCKET");
    mEnabled = socket != nullptr && socket[0] != '\0';
    uint64_t usec = 0;
    // Positive only when WATCHDOG_PID (if set) names this very process.
    if (mEnabled && sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        mWatchdogPeriod = std::chrono::microseconds(usec / 2);
        mNextPing = Clock::now();
    }
}

void CSystemdNotifier::send(const std::string& state)
{
    if (!mEnabled)
        return;
    int rc = sd_notify(0, state.c_str());
    if (rc < 0)
        KXLogWrite(CLog::_pKXLog, "sd_notify(): cannot send \"%s\" to NOTIFY_SOCKET (%s)",
                   state.c_str(), strerror(-rc));
}

void CSystemdNotifier::ready()
{
    send("READY=1");
}

void CSystemdNotifier::stopping()
{
    send("STOPPING=1");
}

void CSystemdNotifier::reloading()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    unsigned long long usec =
        static_cast<unsigned long long>(now.tv_sec) * 1000000ULL + now.tv_nsec / 1000;
    send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void CSystemdNotifier::status(unsigned running, unsigned throttled, unsigned stopped)
{
    std::string text = std::to_string(running) + " running, " + std::to_string(throttled) +
                       " throttled, " + std::to_string(stopped) + " stopped";
    if (text == mLastStatus)
        return;
    mLastStatus = text;
    send("STATUS=" + text);
}

void CSystemdNotifier::prepare(std::vector<struct pollfd>&, Clock::time_point& deadline)
{
    if (mWatchdogPeriod != Clock::duration::zero() && mNextPing < deadline)
        deadline = mNextPing;
}

void CSystemdNotifier::dispatch(struct pollfd*, size_t, Clock::time_point now)
{
    if (mWatchdogPeriod == Clock::duration::zero() || now < mNextPing)
        return;
    send("WATCHDOG=1");
    mNextPing = now + mWatchdogPeriod;
}
