#pragma once
// Millisecond ticks and sleeping.
#include <stdint.h>

#include "lib/common/aError.h"

#ifdef __cplusplus
extern "C" {
#endif

// Wall-clock milliseconds kept to 32 bits (wrapping); only the difference of two
// readings means anything. 0 when the clock cannot be read.
uint32_t aTime_GetMSTicks(void);
// Always aErrNone; 0 returns at once.
aErr aTime_MSSleep(uint32_t milliseconds);

#ifdef __cplusplus
}
#endif
