/* Millisecond time stamps and sleeping. */
#include "baselib/kx_time.h"

#include <errno.h>
#include <stddef.h>
#include <sys/time.h>
#include <time.h>

void HighResTime(HRTime *now)
{
    struct timeval tv;

    if (now == NULL)
        return;
    gettimeofday(&tv, NULL);
    now->seconds = (int32_t)tv.tv_sec;
    now->milliseconds = (uint16_t)(tv.tv_usec / 1000);
}

/* Callers rely on the borrow being taken whenever the millisecond parts are
 * equal, giving 1000 ms and one second less; only the total is meaningful. */
void HRTimeDiff(const HRTime *start, const HRTime *end, HRTime *difference)
{
    if (start == NULL || end == NULL || difference == NULL)
        return;
    if (start->milliseconds < end->milliseconds) {
        difference->seconds = end->seconds - start->seconds;
        difference->milliseconds = (uint16_t)(end->milliseconds - start->milliseconds);
    } else {
        difference->seconds = end->seconds - start->seconds - 1;
        difference->milliseconds = (uint16_t)(end->milliseconds + 1000 - start->milliseconds);
    }
}

/* Sleeps for milliseconds; with `whole`, a signal does not cut it short.
 *
 * This is where worker threads usually are when they get cancelled. Left
 * uninstrumented by the address sanitizer: the forced unwind out of
 * nanosleep would leave this frame's stack redzones poisoned, and the
 * sanitizer's runtime then aborts on them while the thread unwinds. */
#if defined(__SANITIZE_ADDRESS__)
__attribute__((no_sanitize_address))
#endif
static void Sleep(unsigned milliseconds, int whole)
{
    struct timespec ts, remaining;

    if (milliseconds == 0)
        return;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &remaining) != 0 && whole && errno == EINTR)
        ts = remaining;
}

/* An interrupted sleep is not resumed: a signal is meant to cut it short
 * (the supervision loop relies on SIGCHLD waking it). */
#if defined(__SANITIZE_ADDRESS__)
__attribute__((no_sanitize_address))
#endif
void SleepMilliseconds(unsigned milliseconds)
{
    Sleep(milliseconds, 0);
}

void SleepMillisecondsFully(unsigned milliseconds)
{
    Sleep(milliseconds, 1);
}
