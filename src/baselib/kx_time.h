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

void HighResTime(HRTime *now);
void HRTimeDiff(const HRTime *start, const HRTime *end, HRTime *difference);
void SleepMilliseconds(unsigned milliseconds);

#ifdef __cplusplus
}
#endif

#endif
