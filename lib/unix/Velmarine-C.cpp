#include "lib/unix/Velmarine-C.h"

#include <mutex>

namespace {
std::mutex sContextMutex;
libusb_context* sContext = nullptr;
}  // namespace

libusb_context* Velmarine_libusb_context(void)
{
    std::lock_guard<std::mutex> lock(sContextMutex);
    if (!sContext) {
        libusb_context* ctx = nullptr;
        if (libusb_init(&ctx) == LIBUSB_SUCCESS) sContext = ctx;
    }
    return sContext;
}

libusb_context* Velmarine_libusb_init(void)
{
    return Velmarine_libusb_context();
}

void Velmarine_libusb_exit(void)
{
    std::lock_guard<std::mutex> lock(sContextMutex);
    if (sContext) {
        libusb_exit(sContext);
        sContext = nullptr;
    }
}
