#pragma once
// A module on USB as a byte stream: through its kernel node when the driver
// made one, otherwise through libusb.

#include <stdint.h>

#include "lib/common/aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

// aErrParam for a null output or serial number 0; the open's own failure
// (aErrNotFound, aErrConfiguration, aErrBusy, ...) otherwise. *pStream stays
// null until success.
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** pStream);

#ifdef __cplusplus
}
#endif
