#include "servicectl/SignalQueue.h"

#include "baselib/kx_log.h"
#include "foundation/Log.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace servicectl {
namespace {

constexpr unsigned kQueueSize = 64;

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");
static_assert(std::atomic<int>::is_always_lock_free, "slots are written from a signal handler");
static_assert(std::atomic<unsigned>::is_always_lock_free, "positions move in a signal handler");

std::atomic<bool> gStopSignal{false};

// Slot values are signal + 1, so that 0 marks a slot not yet written (a
// handler on another thread may have reserved it and not stored it yet).
std::atomic<int> gSlots[kQueueSize];
std::atomic<unsigned> gReserved{0};  // next position a handler takes
std::atomic<unsigned> gConsumed{0};  // next position the reader takes
// Signals that found the queue full: counted per number so that none is lost.
std::atomic<unsigned> gOverflow[NSIG];

std::mutex gDrainMutex;

void Record(int signal)
{
    unsigned position = gReserved.load(std::memory_order_relaxed);
    do {
        if (position - gConsumed.load(std::memory_order_acquire) >= kQueueSize) {
            if (signal >= 0 && signal < NSIG)
                gOverflow[signal].fetch_add(1, std::memory_order_relaxed);
            return;
        }
    } while (!gReserved.compare_exchange_weak(position, position + 1, std::memory_order_acq_rel));
    gSlots[position % kQueueSize].store(signal + 1, std::memory_order_release);
}

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

[[noreturn]] void ShutDown(int signal)
{
    // Signals recorded before this one would otherwise never reach the log.
    unsigned position = gConsumed.load(std::memory_order_acquire);
    for (;; ++position) {
        int slot = gSlots[position % kQueueSize].exchange(0, std::memory_order_acq_rel);
        if (slot == 0)
            break;
        WriteSafe("Signal received: ", slot - 1);
    }
    WriteSafe("Signal received: ", signal);
    WriteSafe("Shutting down due to signal ", signal);
    // No exit handlers and no static destructors: they may take locks that
    // the interrupted code holds.
    _exit(1);
}

}  // namespace

void KillHandler(int signal, siginfo_t* info, void*)
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
    Record(signal);
    if (signal != 0)
        gStopSignal.store(true, std::memory_order_release);
    errno = savedErrno;
}

bool StopRequested()
{
    return gStopSignal.load(std::memory_order_acquire);
}

void DrainReceivedSignals(void (*emit)(int signal))
{
    std::lock_guard<std::mutex> lock(gDrainMutex);
    unsigned position = gConsumed.load(std::memory_order_relaxed);
    for (;;) {
        int slot = gSlots[position % kQueueSize].exchange(0, std::memory_order_acq_rel);
        if (slot == 0)
            break;
        gConsumed.store(++position, std::memory_order_release);
        emit(slot - 1);
    }
    for (int signal = 0; signal < NSIG; ++signal) {
        unsigned count = gOverflow[signal].exchange(0, std::memory_order_relaxed);
        while (count-- > 0)
            emit(signal);
    }
}

}  // namespace servicectl
