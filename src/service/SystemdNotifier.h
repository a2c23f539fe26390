// Tells systemd (when it started the service with NOTIFY_SOCKET) what the
// service is doing: ready, a one-line status, stopping, reloading, and the
// watchdog's keep-alive. Without NOTIFY_SOCKET every call does nothing.
//
// Nothing here ever waits: a notification that the socket does not take at
// once (its queue is full because nobody reads it) is dropped, so that an
// unread socket costs a log line and never supervision.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <string>
#include <vector>

#include "foundation/EventLoop.h"

class CSystemdNotifier : public LoopSource {
public:
    using Clock = std::chrono::steady_clock;

    // The shortest keep-alive period: a tinier watchdog time-out would make
    // the service do nothing but send keep-alives.
    static constexpr std::chrono::milliseconds kMinWatchdogPeriod{100};
    // While notifications are being dropped, at most one log line per this.
    static constexpr std::chrono::seconds kDropReportInterval{60};

    // Reads NOTIFY_SOCKET and WATCHDOG_USEC (for this process) once and opens
    // a non-blocking socket towards NOTIFY_SOCKET; a value that is not a Unix
    // socket address is logged and leaves notifications off.
    CSystemdNotifier();
    ~CSystemdNotifier() override;
    CSystemdNotifier(const CSystemdNotifier&) = delete;
    CSystemdNotifier& operator=(const CSystemdNotifier&) = delete;

    bool enabled() const { return mEnabled; }
    // The keep-alive period: half of what systemd allows, but at least
    // kMinWatchdogPeriod; zero when off.
    Clock::duration watchdogPeriod() const { return mWatchdogPeriod; }

    void ready();
    void stopping();
    void reloading();
    // "STATUS=<n> running, <m> throttled, <k> stopped", sent only when the
    // counts differ from the last ones sent.
    // With `notServing` not empty, "; not serving: <it>" follows. False when
    // it could not be sent.
    bool status(unsigned running, unsigned throttled, unsigned stopped,
                const std::string& notServing = std::string());

    // Event-source hooks: no descriptor, only the next keep-alive as deadline;
    // dispatch sends WATCHDOG=1 when it is due.
    void prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline) override;
    void dispatch(struct pollfd* fds, size_t count, Clock::time_point now) override;

private:
    bool openSocket(const char* address);
    void setWatchdog();
    // True when the socket took the notification.
    bool send(const std::string& state);
    void dropped(const std::string& state, int error);
    void sentAgain();

    bool mEnabled = false;
    int mFd = -1;
    struct sockaddr_un mAddress {};
    socklen_t mAddressLength = 0;
    Clock::duration mWatchdogPeriod{};
    Clock::time_point mNextPing{};
    std::string mLastStatus;

    // The current run of dropped notifications: how many in all, how many
    // since the last log line, when that line was written and the reason
    // (errno) it gave.
    unsigned long mDroppedInRun = 0;
    unsigned long mDroppedSinceLine = 0;
    Clock::time_point mLastDropLine{};
    int mLastDropError = 0;
};
