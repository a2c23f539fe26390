#include "servicectl/Signals.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "baselib/kx_log.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

namespace servicectl {
namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is read in a handler");

const int kTerminationSignals[] = {SIGTERM, SIGINT, SIGABRT, SIGPWR};
const int kHandledSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGINT, SIGPWR, SIGSEGV, SIGTERM};

std::atomic<bool> gStop{false};
bool gReload = false;  // service thread only
// Written once by the first WatchSignals, before anything can read them.
int gSignalFd = -1;
int gForwardSignal = 0;  // the real-time signal that carries a sent SIGFPE/SIGILL
sigset_t gWatched;  // read from the descriptor
sigset_t gBlocked;  // blocked in every thread: the watched ones and SIGCHLD

// Decimal digits of a small non-negative number into `out`; returns the end.
char* AppendNumber(char* out, int number)
{
    char digits[12];
    int n = 0;
    unsigned value = number < 0 ? 0u - static_cast<unsigned>(number) : static_cast<unsigned>(number);
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (number < 0)
        *out++ = '-';
    while (n > 0)
        *out++ = digits[--n];
    return out;
}

void WriteSafe(const char* prefix, int signal)
{
    char message[64];
    size_t length = strlen(prefix);
    memcpy(message, prefix, length);
    char* end = AppendNumber(message + length, signal);
    *end = '\0';
    if (CLog::_pKXLog != nullptr) {
        KXLogWriteSignalSafe(CLog::_pKXLog, message);
    } else {
        *end++ = '\n';
        ssize_t ignored = write(STDERR_FILENO, message, static_cast<size_t>(end - message));
        (void)ignored;
    }
}

// The number a read signal stands for: a forwarded SIGFPE/SIGILL carries its own.
int Original(const signalfd_siginfo& info)
{
    return static_cast<int>(info.ssi_signo) == gForwardSignal ? info.ssi_int
                                                               : static_cast<int>(info.ssi_signo);
}

[[noreturn]] void ShutDown(int signal)
{
    // Termination signals still pending would otherwise never reach the log.
    if (gSignalFd >= 0) {
        signalfd_siginfo info;
        while (read(gSignalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            if (info.ssi_signo != SIGCHLD)
                WriteSafe("Signal received: ", Original(info));
    }
    WriteSafe("Signal received: ", signal);
    WriteSafe("Shutting down due to signal ", signal);
    // No exit handlers and no static destructors: they may take locks that
    // the interrupted code holds.
    _exit(1);
}

[[noreturn]] void Fail(const char* call)
{
    throw CWIException(ERROR_GENERAL, "WatchSignals(): %s failed (%s)", call, strerror(errno));
}

}  // namespace

void SignalHandler(int signal, siginfo_t* info, void*)
{
    int savedErrno = errno;
    if (signal == SIGBUS || signal == SIGSEGV)
        ShutDown(signal);
    // Returning from a SIGFPE or SIGILL that the kernel raised for one of our
    // own instructions runs that instruction again, and again: the process
    // would spin forever instead of stopping. One sent with kill() (si_code
    // SI_USER or another value <= 0) is a stop request like SIGTERM.
    if ((signal == SIGFPE || signal == SIGILL) && info != nullptr && info->si_code > 0)
        ShutDown(signal);
    // Everything else is read from the descriptor by the service thread. A
    // termination signal only comes here in a thread that does not block it.
    union sigval value;
    value.sival_int = signal;
    if (gForwardSignal == 0 || sigqueue(getpid(), gForwardSignal, value) != 0)
        gStop.store(true, std::memory_order_release);  // not logged, but not lost either
    errno = savedErrno;
}

void WatchSignals()
{
    if (gSignalFd >= 0) {
        if (pthread_sigmask(SIG_BLOCK, &gBlocked, nullptr) != 0)
            Fail("pthread_sigmask");
        return;
    }
    gForwardSignal = SIGRTMIN;
    sigemptyset(&gWatched);
    sigaddset(&gWatched, SIGHUP);
    sigaddset(&gWatched, gForwardSignal);
    for (int signal : kTerminationSignals)
        sigaddset(&gWatched, signal);

    // Children are reaped by the loop; an inherited SIG_IGN would make the
    // kernel reap them unseen, and stop reports would only wake the loop.
    struct sigaction childAction;
    memset(&childAction, 0, sizeof childAction);
    childAction.sa_handler = SIG_DFL;
    childAction.sa_flags = SA_NOCLDSTOP;
    if (sigaction(SIGCHLD, &childAction, nullptr) != 0)
        Fail("sigaction(SIGCHLD)");

    struct sigaction action;
    memset(&action, 0, sizeof action);
    // SA_SIGINFO tells a faulting instruction's SIGFPE/SIGILL from one sent.
    action.sa_sigaction = SignalHandler;
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    // A full mask keeps every other signal out while the handler runs.
    sigfillset(&action.sa_mask);
    for (int signal : kHandledSignals)
        if (sigaction(signal, &action, nullptr) != 0)
            Fail("sigaction");

    // Blocked first: a signal between the two calls is pending, not handled.
    // SIGCHLD is blocked with them but read by the supervision loop's own
    // descriptor, so that a child's end wakes only the loop.
    gBlocked = gWatched;
    sigaddset(&gBlocked, SIGCHLD);
    if (pthread_sigmask(SIG_BLOCK, &gBlocked, nullptr) != 0)
        Fail("pthread_sigmask");
    int fd = signalfd(-1, &gWatched, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0)
        Fail("signalfd");
    gSignalFd = fd;
}

int SignalDescriptor()
{
    return gSignalFd;
}

void ReadSignals()
{
    if (gSignalFd < 0)
        return;
    signalfd_siginfo infos[16];
    for (;;) {
        ssize_t length = read(gSignalFd, infos, sizeof infos);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0)
            break;  // EAGAIN: nothing more is pending
        size_t count = static_cast<size_t>(length) / sizeof infos[0];
        for (size_t i = 0; i < count; ++i) {
            if (infos[i].ssi_signo == SIGCHLD)
                continue;  // the loop reaps whatever ended
            if (infos[i].ssi_signo == SIGHUP) {
                KXLogWrite(CLog::_pKXLog, "Signal received: %d; reloading the configuration",
                           SIGHUP);
                gReload = true;
                continue;
            }
            KXLogWrite(CLog::_pKXLog, "Signal received: %d", Original(infos[i]));
            gStop.store(true, std::memory_order_release);
        }
        if (count < sizeof infos / sizeof infos[0])
            break;
    }
}

bool TakeReloadRequest()
{
    bool asked = gReload;
    gReload = false;
    return asked;
}

bool StopRequested()
{
    return gStop.load(std::memory_order_acquire);
}

}  // namespace servicectl
