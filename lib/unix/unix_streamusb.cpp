#include "lib/unix/unix_streamusb.h"

#include <cstdio>
#include <cstdlib>

#include "lib/unix/vmusb_driver.h"

namespace {

constexpr uint16_t kUSBStreamCheck = 0xDEAD;

struct USBStreamState {
    uint32_t serialNumber;
    vmusb_device* device;
    uint16_t check;
};

USBStreamState* sState(void* ref)
{
    auto* s = static_cast<USBStreamState*>(ref);
    return (s && s->check == kUSBStreamCheck && s->device) ? s : nullptr;
}

aErr sGet(uint8_t* pByte, void* ref)
{
    USBStreamState* s = sState(ref);
    if (!s) return aErrParam;
    return vmusb_get_from_device(s->device, pByte);
}

aErr sWrite(const uint8_t* data, size_t length, void* ref)
{
    USBStreamState* s = sState(ref);
    if (!s) return aErrParam;
    return vmusb_write_to_device(s->device, data, length);
}

aErr sPut(const uint8_t* pByte, void* ref)
{
    return sWrite(pByte, 1, ref);
}

aErr sDelete(void* ref)
{
    USBStreamState* s = sState(ref);
    if (!s) return aErrParam;
    aErr err = vmusb_close_velmarine_device(s->device);
    if (err != aErrNone) return err;
    vmusb_destroy(&s->device);
    s->check = 0;
    free(s);
    return aErrNone;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** pStream)
{
    if (pStream) *pStream = nullptr;
    const bool kernel = vmusb_is_kernel_driver_installed(serialNumber);
    if (!pStream || serialNumber == 0) return aErrParam;

    auto* state = static_cast<USBStreamState*>(calloc(1, sizeof(USBStreamState)));
    if (!state) return aErrMemory;
    state->serialNumber = serialNumber;
    state->check = kUSBStreamCheck;

    char serial[16];
    snprintf(serial, sizeof serial, "%08X", serialNumber);
    state->device = vmusb_create_usb(!kernel);
    if (!state->device) {
        free(state);
        return aErrResource;
    }
    aErr err = vmusb_open_velmarine_device(state->device, serial);
    if (err != aErrNone) {
        vmusb_destroy(&state->device);
        free(state);
        return err;
    }
    aStream* stream = aStream_Create(sGet, sPut, sWrite, sDelete, state);
    if (!stream) {
        vmusb_destroy(&state->device);
        free(state);
        return aErrMemory;
    }
    *pStream = stream;
    return aErrNone;
}
