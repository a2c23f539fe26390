#include "service/SystemdNotifier.h"

#include <stddef.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "foundation/Log.h"

namespace {

// The watchdog's time-out in microseconds as systemd passes it: WATCHDOG_USEC,
// for this very process when WATCHDOG_PID names one; 0 when there is none
// or the value is not a whole number. Read here rather than through
// libsystemd, whose compression and crypto chain every start of the program
// would otherwise map for these two variables.
uint64_t WatchdogUsec()
{
    const char* usec = getenv("WATCHDOG_USEC");
    const char* pid = getenv("WATCHDOG_PID");
    if (usec == nullptr || usec[0] < '0' || usec[0] > '9')
        return 0;
    if (pid != nullptr && (pid[0] < '0' || pid[0] > '9' || strtoll(pid, nullptr, 10) != getpid()))
        return 0;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(usec, &end, 10);
    return errno == 0 && *end == '\0' ? value : 0;
}

long long Seconds(std::chrono::steady_clock::duration d)
{
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(d).count());
}

}  // namespace

CSystemdNotifier::CSystemdNotifier()
{
    const char* socket = getenv("NOTIFY_SOCKET");
    if (socket == nullptr || socket[0] == '\0')
        return;
    mEnabled = openSocket(socket);
    if (mEnabled)
        setWatchdog();
}

CSystemdNotifier::~CSystemdNotifier()
{
    if (mFd >= 0)
        close(mFd);
}

// A path ("/run/systemd/notify") or, after '@', a name in the abstract
// namespace; anything else (or too long for an address) is refused.
bool CSystemdNotifier::openSocket(const char* address)
{
    size_t length = strlen(address);
    if ((address[0] != '/' && address[0] != '@') || length < 2 ||
        length >= sizeof mAddress.sun_path) {
        KXLogWrite(CLog::_pKXLog,
                   "NOTIFY_SOCKET=%.200s: not a Unix socket path or abstract name of at most %zu "
                   "bytes; systemd is not notified",
                   address, sizeof mAddress.sun_path - 1);
        return false;
    }
    mAddress.sun_family = AF_UNIX;
    memcpy(mAddress.sun_path, address, length);
    mAddressLength = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length);
    if (address[0] == '@')
        mAddress.sun_path[0] = '\0';  // abstract: the name has no terminating zero
    else
        mAddressLength += 1;
    mFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (mFd < 0) {
        KXLogWrite(CLog::_pKXLog, "NOTIFY_SOCKET: cannot create a socket (%s); systemd is not notified",
                   strerror(errno));
        return false;
    }
    return true;
}

void CSystemdNotifier::setWatchdog()
{
    uint64_t usec = WatchdogUsec();
    if (usec == 0)
        return;
    mWatchdogPeriod = std::chrono::microseconds(usec / 2);
    if (mWatchdogPeriod < kMinWatchdogPeriod) {
        KXLogWrite(CLog::_pKXLog,
                   "WATCHDOG_USEC=%llu: a keep-alive every %llu us is too often; one is sent "
                   "every %lld ms instead",
                   static_cast<unsigned long long>(usec),
                   static_cast<unsigned long long>(usec / 2),
                   static_cast<long long>(kMinWatchdogPeriod.count()));
        mWatchdogPeriod = kMinWatchdogPeriod;
    }
    mNextPing = Clock::now();
}

bool CSystemdNotifier::send(const std::string& state)
{
    if (!mEnabled)
        return false;
    ssize_t sent = sendto(mFd, state.data(), state.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                          reinterpret_cast<const struct sockaddr*>(&mAddress), mAddressLength);
    if (sent < 0) {
        dropped(state, errno);
        return false;
    }
    if (mDroppedInRun > 0)
        sentAgain();
    return true;
}

// The first drop of a run is logged with its reason, and so is the first
// drop for another reason (the socket went away, say); the next ones are only
// counted, and reported at most once per kDropReportInterval.
void CSystemdNotifier::dropped(const std::string& state, int error)
{
    Clock::time_point now = Clock::now();
    if (mDroppedInRun++ == 0 || error != mLastDropError) {
        KXLogWrite(CLog::_pKXLog, "sd_notify(): cannot send \"%s\" to NOTIFY_SOCKET (%s)",
                   state.c_str(), strerror(error));
        mLastDropError = error;
        mLastDropLine = now;
        mDroppedSinceLine = 0;
        return;
    }
    ++mDroppedSinceLine;
    if (now - mLastDropLine < kDropReportInterval)
        return;
    KXLogWrite(CLog::_pKXLog, "NOTIFY_SOCKET: %lu more notifications dropped in %lld s (%s)",
               mDroppedSinceLine, Seconds(now - mLastDropLine), strerror(error));
    mLastDropLine = now;
    mDroppedSinceLine = 0;
}

void CSystemdNotifier::sentAgain()
{
    KXLogWrite(CLog::_pKXLog, "NOTIFY_SOCKET takes notifications again; %lu were dropped",
               mDroppedInRun);
    mDroppedInRun = 0;
    mDroppedSinceLine = 0;
    mLastDropError = 0;
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

bool CSystemdNotifier::status(unsigned running, unsigned throttled, unsigned stopped,
                              const std::string& notServing)
{
    std::string text = std::to_string(running) + " running, " + std::to_string(throttled) +
                       " throttled, " + std::to_string(stopped) + " stopped";
    if (!notServing.empty())
        text += "; not serving: " + notServing;
    // A status that was dropped is sent again with the next counts.
    if (text == mLastStatus)
        return true;
    if (!send("STATUS=" + text))
        return false;
    mLastStatus = text;
    return true;
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
