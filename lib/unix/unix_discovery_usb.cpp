// USB enumeration for discovery: every module on the bus whose serial-number
// string is eight hexadecimal digits becomes a USB link specifier.

#include <cstdlib>
#include <cstring>

#include "lib/common/discover.h"
#include "lib/unix/Velmarine-C.h"
#include "lib/unix/vmusb_driver.h"

namespace {

bool sParseSerial(const unsigned char* text, int length, uint32_t* serial)
{
    if (length != 8) return false;
    char* end = nullptr;
    unsigned long value = strtoul(reinterpret_cast<const char*>(text), &end, 16);
    if (end != reinterpret_cast<const char*>(text) + 8) return false;
    *serial = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

uint8_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* ref)
{
    if (!callback) return 0;
    libusb_context* ctx = Velmarine_libusb_context();
    if (!ctx) return 0;
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0) return 0;

    uint8_t found = 0;
    bool goOn = true;
    for (ssize_t i = 0; i < count && goOn; ++i) {
        libusb_device* dev = list[i];
        if (!is_velmarine_device(dev)) continue;
        libusb_device_handle* h = nullptr;
        if (libusb_open(dev, &h) != LIBUSB_SUCCESS) continue;
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(dev, &desc) != LIBUSB_SUCCESS) {
            libusb_close(h);
            continue;
        }
        unsigned char text[32];
        memset(text, 0, sizeof text);
        int len = libusb_get_string_descriptor_ascii(h, desc.iSerialNumber, text, sizeof text - 1);
        uint32_t serial = 0;
        if (!sParseSerial(text, len, &serial)) {
            libusb_close(h);
            continue;
        }
        linkSpec candidate;
        memset(&candidate, 0, sizeof candidate);
        candidate.type = USB;
        candidate.serialNumber = serial;
        candidate.model = desc.idProduct & 0xFF;
        candidate.usbId = serial;
        bool success = false;
        goOn = callback(&candidate, &success, ref);
        if (success) ++found;
        libusb_close(h);
    }
    libusb_free_device_list(list, 1);
    return found;
}
