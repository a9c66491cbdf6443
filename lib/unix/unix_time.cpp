#include "lib/unix/aTime.h"
#include "lib/unix/unix_time_slices.h"

#include <errno.h>
#include <sys/time.h>
#include <time.h>

uint32_t aTime_GetMSTicks(void)
{
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0)
        return 0;
    uint64_t ms = static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
    return static_cast<uint32_t>(ms);
}

size_t aTime_SleepSlices(uint32_t milliseconds, uint32_t* slices, size_t maxSlices)
{
    // Microseconds in 64 bits: a 32-bit product would wrap after about 71 minutes.
    uint64_t remaining = static_cast<uint64_t>(milliseconds) * 1000u;
    size_t count = 0;
    while (remaining > 0) {
        uint32_t slice = remaining > kMaxSleepSliceUS ? kMaxSleepSliceUS : static_cast<uint32_t>(remaining);
        if (slices && count < maxSlices)
            slices[count] = slice;
        ++count;
        remaining -= slice;
    }
    return count;
}

aErr aTime_MSSleep(uint32_t milliseconds)
{
    uint64_t remaining = static_cast<uint64_t>(milliseconds) * 1000u;
    while (remaining > 0) {
        uint32_t slice = remaining > kMaxSleepSliceUS ? kMaxSleepSliceUS : static_cast<uint32_t>(remaining);
        struct timespec ts{0, static_cast<long>(slice) * 1000L};
        // A signal must not cut the sleep short.
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
        remaining -= slice;
    }
    return aErrNone;
}
