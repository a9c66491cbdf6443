#pragma once
// Access to one Velmarine module on USB: either through libusb (bulk transfers
// on the module's vendor interface) or, when the optional kernel driver made a
// node for it, by plain reads and writes on "/dev/velmarine.<serial>".

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include <libusb.h>

#include "lib/common/aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VMUSB_VENDOR_ID 0x24FF
#define VMUSB_INTERFACE_CLASS 0xFF
#define VMUSB_INTERFACE_SUBCLASS 0x88
#define VMUSB_INTERFACE_PROTOCOL 0x10
#define VMUSB_KERNEL_NODE_FORMAT "/dev/velmarine.%08X"

#define VMUSB_READ_BUFFER_SIZE 1024
#define VMUSB_READ_TIMEOUT_MS 1000
#define VMUSB_WRITE_TIMEOUT_MS 50
#define VMUSB_WRITE_MAX_FAILURES 10
#define VMUSB_KERNEL_WRITE_MAX_TRIES 1000
// Consecutive I/O errors forgiven before the device counts as failed.
#define VMUSB_ERROR_TOLERANCE 4
// How long a transfer may outlive its own time-out before it is cancelled, and a
// cancelled one before it is given up: a device that went away mid-transfer
// must not hold the calling thread (a link's reader or writer) for ever.
#define VMUSB_CANCEL_GRACE_MS 500

typedef enum {
    vmusbStateNone = 0,
    vmusbStateCreated = 1,
    vmusbStateClosed = 2,  // also: failed to open
    vmusbStateOpened = 3,  // handle held, interface not claimed yet
    vmusbStateReady = 4,
    vmusbStateFailed = 5,  // too many I/O errors in a row
} vmusbState;

typedef struct vmusb_device {
    int32_t mode;  // 1: through libusb, 0: through the kernel node
    char serial[256];
    int nodeFd;  // kernel mode; 0 means not open
    libusb_device_handle* handle;
    int32_t devState;  // read and written by the reader and the writer thread
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint8_t readBuffer[VMUSB_READ_BUFFER_SIZE];
    size_t readCursor;
    size_t readAvailable;
    uint8_t errorRun;  // likewise; both threads update it without a lock
    uint16_t inMaxPacket;
    uint16_t outMaxPacket;
    libusb_context* context;  // the context the handle was opened through
    // Transfers that never completed, not even after a cancel (IN, OUT). The
    // device counts as failed; they are freed once the handle is closed, when
    // libusb can no longer complete them.
    struct libusb_transfer* stranded[2];
} vmusb_device;

// Vendor 0x24FF with a product id below 0x8000; other ids are not modules.
bool is_velmarine_device(libusb_device* device);
bool vmusb_is_kernel_driver_installed(uint32_t serialNumber);

// A closed record; in library mode the shared context is created as well. Null
// when memory runs out.
vmusb_device* vmusb_create_usb(bool useLibrary);
aErr vmusb_open_velmarine_device(vmusb_device* device, const char* serial);
aErr vmusb_open_velmarine_USBlib_device(vmusb_device* device, const char* serial);
aErr vmusb_open_velmarine_kernel_device(vmusb_device* device, const char* serial);
// 0 when the vendor interface has both bulk endpoints, negative otherwise.
int find_usb_endpoints(vmusb_device* device);

// One byte: aErrNone with the byte, aErrNotReady when nothing came in time.
aErr vmusb_get_from_device(vmusb_device* device, uint8_t* pByte);
aErr vmusb_write_to_device(vmusb_device* device, const uint8_t* data, size_t length);
aErr vmusb_close_velmarine_device(vmusb_device* device);
// Closes a remaining handle, frees the record and nulls the caller's pointer.
aErr vmusb_destroy(vmusb_device** pDevice);

// Forgives a short run of I/O errors (a read becomes aErrNotReady, a write
// aErrNone); the next one in a row fails the device for good.
aErr _handleErrorTolerance(vmusb_device* device, aErr result, bool isRead);

#ifdef __cplusplus
}
#endif
