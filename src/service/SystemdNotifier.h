// Tells systemd (when it started the service with NOTIFY_SOCKET) what the
// service is doing: ready, a one-line status, stopping, reloading, and the
// watchdog's keep-alive. Without NOTIFY_SOCKET every call does nothing.
#pragma once

#include <poll.h>

#include <chrono>
#include <string>
#include <vector>

#include "appserver/EventLoop.h"

class CSystemdNotifier : public LoopSource {
public:
    using Clock = std::chrono::steady_clock;

    // Reads NOTIFY_SOCKET and WATCHDOG_USEC (for this process) once.
    CSystemdNotifier();

    bool enabled() const { return mEnabled; }
    // The keep-alive period: half of what systemd allows; zero when off.
    Clock::duration watchdogPeriod() const { return mWatchdogPeriod; }

    void ready();
    void stopping();
    void reloading();
    // "STATUS=<n> running, <m> throttled, <k> stopped", sent only when the
    // counts differ from the last ones sent.
    void status(unsigned running, unsigned throttled, unsigned stopped);

    // Event-source hooks: no descriptor, only the next keep-alive as deadline;
    // dispatch sends WATCHDOG=1 when it is due.
    void prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline) override;
    void dispatch(struct pollfd* fds, size_t count, Clock::time_point now) override;

private:
    void send(const std::string& state);

    bool mEnabled = false;
    Clock::duration mWatchdogPeriod{};
    Clock::time_point mNextPing{};
    std::string mLastStatus;
};
