#pragma once
// How a long sleep is divided; kept apart so the division can be checked
// without sleeping.
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define kMaxSleepSliceUS 999999u

// Stores the microseconds of each slice (up to maxSlices of them) and returns how
// many slices the sleep takes.
size_t aTime_SleepSlices(uint32_t milliseconds, uint32_t* slices, size_t maxSlices);

#ifdef __cplusplus
}
#endif
