#pragma once
// The one libusb context of the process. Enumeration and every USB stream go
// through it; releasing it makes the next use start from a fresh device list,
// which is how a module that re-enumerated after a reboot is found again.

#include <libusb.h>

#ifdef __cplusplus
extern "C" {
#endif

// Creates the context on first use; null when libusb cannot be initialised.
libusb_context* Velmarine_libusb_context(void);
// The same as Velmarine_libusb_context.
libusb_context* Velmarine_libusb_init(void);
// Releases the context; the next use creates a new one. Only call this while no
// device is open through it.
void Velmarine_libusb_exit(void);

#ifdef __cplusplus
}
#endif
