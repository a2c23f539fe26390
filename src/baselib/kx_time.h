/* Millisecond time stamps and sleeping. */
#ifndef KX_TIME_H
#define KX_TIME_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HRTime {
    int32_t seconds;       /* seconds since the epoch */
    uint16_t milliseconds; /* 0-999 (HRTimeDiff may yield 1000, see there) */
} HRTime;

/* Fills *now with the wall-clock time; a null now is ignored. */
void HighResTime(HRTime *now);
/* *difference = *end - *start, with the borrow taken also when the
 * millisecond parts are equal; any null argument is ignored. */
void HRTimeDiff(const HRTime *start, const HRTime *end, HRTime *difference);
/* Sleeps up to milliseconds; a signal cuts the sleep short. Can't fail. */
void SleepMilliseconds(unsigned milliseconds);
/* Sleeps the whole milliseconds, signals or not. Can't fail. */
void SleepMillisecondsFully(unsigned milliseconds);

#ifdef __cplusplus
}
#endif

#endif
