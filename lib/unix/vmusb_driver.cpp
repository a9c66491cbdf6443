// Library mode reads whole bursts of up to 1024 bytes and hands them out one at
// a time, so the link engine's byte-at-a-time reader costs one transfer per
// burst. Writes are cut so that no transfer is ever exactly 512 bytes: the
// module's firmware would wait for a zero-length packet that never comes.

#include "lib/unix/vmusb_driver.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "lib/common/aDefs.h"
#include "lib/unix/Velmarine-C.h"
#include "lib/unix/aFile.h"

namespace {

// The reader and the writer thread share these two fields without a lock;
// relaxed atomic accesses keep that sharing well defined.
int32_t sLoadState(const vmusb_device* d) { return __atomic_load_n(&d->devState, __ATOMIC_RELAXED); }
void sStoreState(vmusb_device* d, int32_t s) { __atomic_store_n(&d->devState, s, __ATOMIC_RELAXED); }

aErr sStateResult(const vmusb_device* d)
{
    switch (sLoadState(d)) {
    case vmusbStateReady:
        return aErrNone;
    case vmusbStateClosed:
        return aErrConnection;
    case vmusbStateCreated:
    case vmusbStateOpened:
        return aErrNotReady;
    default:
        return aErrIO;
    }
}

void sClearEndpoints(vmusb_device* d)
{
    d->interfaceNumber = 0;
    d->inEndpoint = 0;
    d->outEndpoint = 0;
    d->inMaxPacket = 0;
    d->outMaxPacket = 0;
}

aErr sMapClaimError(int rc)
{
    switch (rc) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
        return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
        return aErrPermission;
    default:
        return aErrUnknown;
    }
}

aErr sKernelGet(vmusb_device* d, uint8_t* pByte)
{
    if (d->mode != 0 || d->nodeFd <= 0) return aErrMode;
    ssize_t n = read(d->nodeFd, pByte, 1);
    if (n == 1) return aErrNone;
    // The driver answers 0 bytes or EFAULT when nothing is waiting.
    if (n == 0 || errno == EFAULT || errno == EINTR || errno == EAGAIN) return aErrNotReady;
    return aErrIO;
}

aErr sKernelWrite(vmusb_device* d, const uint8_t* data, size_t length)
{
    if (d->mode != 0 || d->nodeFd <= 0) return aErrMode;
    size_t done = 0;
    for (int tries = 0; done < length && tries < VMUSB_KERNEL_WRITE_MAX_TRIES; ++tries) {
        ssize_t n = write(d->nodeFd, data + done, length - done);
        if (n < 0) return aErrIO;
        done += static_cast<size_t>(n);
    }
    return done < length ? aErrIO : aErrNone;
}

void LIBUSB_CALL sTransferDone(libusb_transfer* t)
{
    __atomic_store_n(static_cast<int*>(t->user_data), 1, __ATOMIC_RELEASE);
}

bool sCompleted(const int* flag) { return __atomic_load_n(flag, __ATOMIC_ACQUIRE) != 0; }

void sFreeTransfer(libusb_transfer* t)
{
    free(t->user_data);
    libusb_free_transfer(t);  // and its buffer
}

// Only after libusb_close: the handle's in-flight transfers are detached from it
// then and no event handling can complete them any more.
void sReleaseStranded(vmusb_device* d)
{
    for (auto*& t : d->stranded) {
        if (t) sFreeTransfer(t);
        t = nullptr;
    }
}

int sStatusResult(const libusb_transfer* t, bool ownCancel)
{
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL:
        return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_OVERFLOW:
        return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_CANCELLED:
        return ownCancel ? LIBUSB_ERROR_TIMEOUT : LIBUSB_ERROR_IO;
    case LIBUSB_TRANSFER_ERROR:
        return LIBUSB_ERROR_IO;
    default:
        return LIBUSB_ERROR_OTHER;
    }
}

// Result of a transfer that was given up (no libusb code means that).
constexpr int kTransferAbandoned = -1000;

// One bulk transfer, like libusb_bulk_transfer, but the wait is bounded. The
// synchronous call waits for the completion without limit, and a device that
// left the bus can leave a transfer that never completes (its cancel finds the
// device gone and nothing is ever reaped); the link's reader would then hang in
// it and keep the process from ending. Past its time-out the transfer is
// cancelled; when even the cancel does not complete it, it is left behind, the
// device fails and kTransferAbandoned is the result. The transfer owns its
// buffer, so nothing of the caller's is touched after the call returns.
int sBulkTransfer(vmusb_device* d, uint8_t endpoint, uint8_t* data, int length, int* transferred,
                  unsigned timeoutMs)
{
    using namespace std::chrono;
    *transferred = 0;
    const bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    libusb_transfer* t = libusb_alloc_transfer(0);
    auto* buffer = static_cast<unsigned char*>(malloc(length > 0 ? static_cast<size_t>(length) : 1));
    auto* completed = static_cast<int*>(calloc(1, sizeof(int)));
    if (!t || !buffer || !completed) {
        if (t) libusb_free_transfer(t);
        free(buffer);
        free(completed);
        return LIBUSB_ERROR_NO_MEM;
    }
    if (!in && length > 0) memcpy(buffer, data, static_cast<size_t>(length));
    libusb_fill_bulk_transfer(t, d->handle, endpoint, buffer, length, sTransferDone, completed, timeoutMs);
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    int rc = libusb_submit_transfer(t);
    if (rc != LIBUSB_SUCCESS) {
        sFreeTransfer(t);
        return rc;
    }

    auto deadline = steady_clock::now() + milliseconds(timeoutMs + VMUSB_CANCEL_GRACE_MS);
    bool ownCancel = false;
    while (!sCompleted(completed)) {
        const auto now = steady_clock::now();
        if (now >= deadline) {
            if (ownCancel) break;
            libusb_cancel_transfer(t);
            ownCancel = true;
            deadline = now + milliseconds(VMUSB_CANCEL_GRACE_MS);
            continue;
        }
        const auto left = duration_cast<microseconds>(deadline - now).count();
        timeval tv{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
        libusb_handle_events_timeout_completed(d->context, &tv, completed);
    }
    if (!sCompleted(completed)) {
        aDebug_Printf(aDEBUG_USB, "libusb transfer on 0x%02X never completed\n", endpoint);
        libusb_transfer*& slot = d->stranded[in ? 0 : 1];
        // A slot already taken cannot happen (a failed device makes no more
        // transfers); should it, the older one is leaked rather than freed live.
        slot = t;
        __atomic_store_n(&d->errorRun, static_cast<uint8_t>(VMUSB_ERROR_TOLERANCE), __ATOMIC_RELAXED);
        sStoreState(d, vmusbStateFailed);
        return kTransferAbandoned;
    }
    rc = sStatusResult(t, ownCancel);
    *transferred = t->actual_length;
    if (in && t->actual_length > 0) memcpy(data, t->buffer, static_cast<size_t>(t->actual_length));
    sFreeTransfer(t);
    return rc;
}

}  // namespace

bool is_velmarine_device(libusb_device* device)
{
    libusb_device_descriptor desc;
    if (!device || libusb_get_device_descriptor(device, &desc) != LIBUSB_SUCCESS) return false;
    return desc.idVendor == VMUSB_VENDOR_ID && (desc.idProduct & 0x8000) == 0;
}

bool vmusb_is_kernel_driver_installed(uint32_t serialNumber)
{
    char path[64];
    snprintf(path, sizeof path, VMUSB_KERNEL_NODE_FORMAT, serialNumber);
    return aFile_Exists(path);
}

vmusb_device* vmusb_create_usb(bool useLibrary)
{
    auto* d = static_cast<vmusb_device*>(calloc(1, sizeof(vmusb_device)));
    if (!d) return nullptr;
    d->mode = useLibrary ? 1 : 0;
    d->devState = vmusbStateCreated;
    d->readCursor = 0;
    if (useLibrary) Velmarine_libusb_context();
    return d;
}

int find_usb_endpoints(vmusb_device* d)
{
    libusb_device* dev = libusb_get_device(d->handle);
    libusb_device_descriptor desc;
    int rc = libusb_get_device_descriptor(dev, &desc);
    if (rc != LIBUSB_SUCCESS) return rc;
    libusb_config_descriptor* config = nullptr;
    rc = libusb_get_config_descriptor(dev, 0, &config);
    if (rc != LIBUSB_SUCCESS) return rc;

    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& itf = config->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = itf.altsetting[a];
            if (alt.bInterfaceClass != VMUSB_INTERFACE_CLASS ||
                alt.bInterfaceSubClass != VMUSB_INTERFACE_SUBCLASS ||
                alt.bInterfaceProtocol != VMUSB_INTERFACE_PROTOCOL)
                continue;
            d->interfaceNumber = alt.bInterfaceNumber;
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                if ((ep.bmAttributes & 0x02) == 0) continue;  // bulk or interrupt only
                if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
                    d->inEndpoint = ep.bEndpointAddress;
                    d->inMaxPacket = ep.wMaxPacketSize;
                    aDebug_Printf(aDEBUG_USB, "In Endpoint Max packet: %d\n", ep.wMaxPacketSize);
                } else {
                    d->outEndpoint = ep.bEndpointAddress;
                    d->outMaxPacket = ep.wMaxPacketSize;
                    aDebug_Printf(aDEBUG_USB, "Out Endpoint Max packet: %d\n", ep.wMaxPacketSize);
                }
            }
        }
    }
    libusb_free_config_descriptor(config);
    return (d->inEndpoint == 0 || d->outEndpoint == 0) ? LIBUSB_ERROR_NOT_FOUND : 0;
}

aErr vmusb_open_velmarine_USBlib_device(vmusb_device* d, const char* serial)
{
    if (!d || !serial) return aErrParam;
    if (d->mode != 1) return aErrMode;
    if (d->devState == vmusbStateNone) return aErrResource;
    libusb_context* ctx = Velmarine_libusb_context();
    if (!ctx) return aErrResource;

    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    aErr result = aErrNotFound;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* dev = list[i];
        if (!is_velmarine_device(dev)) continue;
        libusb_device_handle* h = nullptr;
        if (libusb_open(dev, &h) != LIBUSB_SUCCESS) continue;
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(dev, &desc) != LIBUSB_SUCCESS) {
            libusb_close(h);
            continue;
        }
        unsigned char text[256];
        memset(text, 0, sizeof text);
        // One byte short of the buffer so the text always stays terminated.
        if (libusb_get_string_descriptor_ascii(h, desc.iSerialNumber, text, sizeof text - 1) < 0 ||
            strcmp(reinterpret_cast<const char*>(text), serial) != 0) {
            libusb_close(h);
            continue;
        }

        snprintf(d->serial, sizeof d->serial, "%s", serial);
        d->handle = h;
        d->context = ctx;
        d->devState = vmusbStateOpened;
        if (find_usb_endpoints(d) != 0) {
            result = aErrConfiguration;
        } else {
            int rc = libusb_claim_interface(h, d->interfaceNumber);
            result = rc == LIBUSB_SUCCESS ? aErrNone : sMapClaimError(rc);
        }
        if (result == aErrNone) {
            d->devState = vmusbStateReady;
            d->errorRun = 0;
            d->readCursor = 0;
            d->readAvailable = 0;
        } else {
            d->devState = vmusbStateClosed;
            libusb_close(h);
            d->handle = nullptr;
            sClearEndpoints(d);
        }
        break;
    }
    if (count >= 0) libusb_free_device_list(list, 1);
    return result;
}

aErr vmusb_open_velmarine_kernel_device(vmusb_device* d, const char* serial)
{
    if (!d || !serial) return aErrParam;
    if (d->mode != 0) return aErrMode;
    snprintf(d->serial, sizeof d->serial, "%s", serial);
    char path[300];
    snprintf(path, sizeof path, "/dev/velmarine.%s", serial);
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
    if (fd == 0) {
        // 0 means "not open" in the record; keep the node on another descriptor.
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (moved < 0) return aErrIO;
        fd = moved;
    }
    d->nodeFd = fd;
    d->devState = vmusbStateReady;
    return aErrNone;
}

aErr vmusb_open_velmarine_device(vmusb_device* d, const char* serial)
{
    if (!d) return aErrParam;
    return d->mode == 1 ? vmusb_open_velmarine_USBlib_device(d, serial)
                        : vmusb_open_velmarine_kernel_device(d, serial);
}

aErr _handleErrorTolerance(vmusb_device* d, aErr result, bool isRead)
{
    if (result != aErrIO) {
        __atomic_store_n(&d->errorRun, 0, __ATOMIC_RELAXED);
        return result;
    }
    uint8_t before = __atomic_load_n(&d->errorRun, __ATOMIC_RELAXED);
    // Saturate: a failed device must keep failing, never wrap back into the
    // forgiven range after 256 more errors.
    if (before < 0xFF) __atomic_store_n(&d->errorRun, static_cast<uint8_t>(before + 1), __ATOMIC_RELAXED);
    if (before < VMUSB_ERROR_TOLERANCE) return isRead ? aErrNotReady : aErrNone;
    sStoreState(d, vmusbStateFailed);
    return aErrIO;
}

aErr vmusb_get_from_device(vmusb_device* d, uint8_t* pByte)
{
    if (!d || !pByte) return aErrParam;
    if (d->mode == 0) return sKernelGet(d, pByte);
    if (d->mode != 1) return aErrMode;

    if (d->readAvailable > 0) {
        *pByte = d->readBuffer[d->readCursor++];
        d->readAvailable--;
        return aErrNone;
    }

    aErr result = sStateResult(d);
    if (result == aErrNone) {
        int got = 0;
        int rc = sBulkTransfer(d, d->inEndpoint, d->readBuffer, VMUSB_READ_BUFFER_SIZE, &got,
                               VMUSB_READ_TIMEOUT_MS);
        if ((rc == LIBUSB_SUCCESS || rc == LIBUSB_ERROR_TIMEOUT) && got > 0) {
            d->readCursor = 1;
            d->readAvailable = static_cast<size_t>(got) - 1;
            *pByte = d->readBuffer[0];
        } else if (rc == LIBUSB_SUCCESS || rc == LIBUSB_ERROR_TIMEOUT) {
            result = aErrNotReady;
        } else if (rc == LIBUSB_ERROR_PIPE) {
            libusb_clear_halt(d->handle, d->inEndpoint);
            result = aErrNotReady;
        } else {
            aDebug_Printf(aDEBUG_USB, "libusb READ error bulk transfer: %d\n", rc);
            result = aErrIO;
        }
    } else {
        aDebug_Printf(aDEBUG_USB, "libusb READ error dev state: %d\n", static_cast<int>(sLoadState(d)));
    }
    return _handleErrorTolerance(d, result, true);
}

aErr vmusb_write_to_device(vmusb_device* d, const uint8_t* data, size_t length)
{
    if (!d || (!data && length > 0)) return aErrParam;
    if (d->mode == 0) return sKernelWrite(d, data, length);
    if (d->mode != 1) return aErrMode;

    aErr result = sStateResult(d);
    if (result != aErrNone) {
        aDebug_Printf(aDEBUG_USB, "libusb WRITE error dev state: %d\n", static_cast<int>(sLoadState(d)));
        return _handleErrorTolerance(d, result, false);
    }

    size_t sent = 0;
    int failures = 0;
    bool abandoned = false;
    const size_t maxPacket = d->outMaxPacket ? d->outMaxPacket : 64;
    while (sent < length && failures < VMUSB_WRITE_MAX_FAILURES) {
        size_t chunk = length - sent < maxPacket ? length - sent : maxPacket;
        if (chunk == 512) chunk = 511;
        int done = 0;
        int rc = sBulkTransfer(d, d->outEndpoint, const_cast<uint8_t*>(data + sent), static_cast<int>(chunk),
                               &done, VMUSB_WRITE_TIMEOUT_MS);
        // Bytes that went out before a time-out are not sent again: the module
        // has them already.
        if (done > 0) sent += static_cast<size_t>(done);
        if (rc == LIBUSB_SUCCESS && done > 0) continue;
        aDebug_Printf(aDEBUG_USB, "libusb lenSent: %d - nSize: %d\n", done, static_cast<int>(chunk));
        aDebug_Printf(aDEBUG_USB, "libusb error: %d\n", rc);
        ++failures;
        if (rc == kTransferAbandoned) {
            abandoned = true;  // the device is gone: no more tries
            break;
        }
        if (rc == LIBUSB_ERROR_PIPE) {
            int crc = libusb_clear_halt(d->handle, d->outEndpoint);
            if (crc != LIBUSB_SUCCESS) {
                aDebug_Printf(aDEBUG_USB, "libusb WRITE error clearing halt: %d\n", crc);
                result = aErrIO;
            }
        }
    }
    if (abandoned)
        result = aErrIO;
    else if (sent < length)
        result = aErrWrite;
    return _handleErrorTolerance(d, result, false);
}

aErr vmusb_close_velmarine_device(vmusb_device* d)
{
    if (!d) return aErrParam;
    if (d->mode == 1) {
        if (!d->handle) return aErrMode;
        libusb_release_interface(d->handle, d->interfaceNumber);
        libusb_close(d->handle);
        sReleaseStranded(d);
        d->handle = nullptr;
        d->devState = vmusbStateClosed;
        sClearEndpoints(d);
        return aErrNone;
    }
    if (d->mode != 0) return aErrMode;
    if (d->nodeFd <= 0) return aErrNone;
    if (close(d->nodeFd) != 0) return aErrCancel;
    d->nodeFd = 0;
    d->devState = vmusbStateClosed;
    return aErrNone;
}

aErr vmusb_destroy(vmusb_device** pDevice)
{
    if (!pDevice || !*pDevice) return aErrParam;
    vmusb_device* d = *pDevice;
    if (d->mode == 1 && d->handle) {
        libusb_release_interface(d->handle, d->interfaceNumber);
        libusb_close(d->handle);
        sReleaseStranded(d);
    } else if (d->mode == 0 && d->nodeFd > 0) {
        close(d->nodeFd);  // a descriptor must not outlive its record
    }
    free(d);
    *pDevice = nullptr;
    return aErrNone;
}
