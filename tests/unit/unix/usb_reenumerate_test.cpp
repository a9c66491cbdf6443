// A module that leaves the bus and is back at once (a reboot, a loader restarting
// its USB connection) while a transfer is pending on it: the transfer must end,
// or the link's reader waits in it for ever and the process never exits.
#include "tests/unit/unix/usb_bed.h"

#include "lib/unix/Velmarine-C.h"
#include "lib/unix/vmusb_driver.h"

#include <chrono>
#include <future>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define LEAKS_ARE_EXPECTED() __lsan_disable()
#else
#define LEAKS_ARE_EXPECTED() ((void)0)
#endif

namespace {

using namespace std::chrono_literals;

const std::string kModule = "serial=40F5849A product=0x13 hb=0";

}  // namespace

// ---- inner tests: run only inside the lab --------------------------------

TEST(UsbReenumerateInBed, PendingReadEndsWhenTheModuleIsBackAtOnce)
{
    USB_BED_ONLY();
    vmusb_device* d = vmusb_create_usb(true);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(vmusb_open_velmarine_device(d, "40F5849A"), aErrNone);

    // The module is silent: the read sits in an IN transfer for its whole time-out.
    std::promise<aErr> done;
    std::future<aErr> result = done.get_future();
    std::thread([d, &done] {
        uint8_t b = 0;
        done.set_value(vmusb_get_from_device(d, &b));
    }).detach();
    std::this_thread::sleep_for(200ms);
    // Off the bus and back in the same instant: the host reaps the aborted
    // transfer only after the device is back under a new node.
    ASSERT_EQ(usbbed::control("reenumerate 40F5849A 0"), "ok");

    if (result.wait_for(5s) != std::future_status::ready) {
        ADD_FAILURE() << "the read never ended";
        std::fflush(nullptr);
        _exit(1);  // the reader cannot be joined
    }
    // Ended by the device's departure (one forgiven I/O error), not by its time-out.
    EXPECT_EQ(result.get(), aErrNotReady);
    EXPECT_EQ(d->errorRun, 1);

    // The old node is gone for good: the tolerance runs out and the device fails.
    uint8_t b = 0;
    aErr err = aErrNotReady;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10 && err == aErrNotReady; ++i) err = vmusb_get_from_device(d, &b);
    EXPECT_EQ(err, aErrIO);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(vmusb_close_velmarine_device(d), aErrNone);
    vmusb_destroy(&d);

    // The module is reached again on its new node.
    Velmarine_libusb_exit();
    d = vmusb_create_usb(true);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(vmusb_open_velmarine_device(d, "40F5849A"), aErrNone);
    const uint8_t query[] = {0xAD, 0x00};
    ASSERT_EQ(vmusb_write_to_device(d, query, sizeof query), aErrNone);
    err = aErrNotReady;
    for (int i = 0; i < 5 && err == aErrNotReady; ++i) err = vmusb_get_from_device(d, &b);
    EXPECT_EQ(err, aErrNone);
    EXPECT_EQ(b, 0x02);
    vmusb_destroy(&d);
}

// A device that never completes a transfer, not even the cancel after its
// time-out: the read is given up in bounded time and the device counts as failed.
TEST(UsbReenumerateInBed, TransferThatNeverCompletesIsGivenUp)
{
    USB_BED_ONLY();
    vmusb_device* d = vmusb_create_usb(true);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(vmusb_open_velmarine_device(d, "40F5849A"), aErrNone);
    ASSERT_EQ(usbbed::control("in-lost 40F5849A 1"), "ok");

    std::promise<aErr> done;
    std::future<aErr> result = done.get_future();
    std::thread([d, &done] {
        // libusb keeps the few bytes it allocated for a transfer that was given
        // up: they are freed only when the transfer is reaped, which never happens.
        LEAKS_ARE_EXPECTED();
        uint8_t b = 0;
        done.set_value(vmusb_get_from_device(d, &b));
    }).detach();
    if (result.wait_for(6s) != std::future_status::ready) {
        ADD_FAILURE() << "the read never ended";
        std::fflush(nullptr);
        _exit(1);
    }
    EXPECT_EQ(result.get(), aErrIO);
    EXPECT_EQ(d->devState, vmusbStateFailed);
    const uint8_t query[] = {0xAD, 0x00};
    EXPECT_EQ(vmusb_write_to_device(d, query, sizeof query), aErrIO);
    // Closing frees the transfer that was left behind.
    EXPECT_EQ(vmusb_close_velmarine_device(d), aErrNone);
    EXPECT_EQ(d->stranded[0], nullptr);
    vmusb_destroy(&d);
}

// ---- outer tests: build the lab and run an inner test in it ---------------

TEST(UsbReenumerate, PendingReadEndsWhenTheModuleIsBackAtOnce)
{
    auto r = usbbed::run_inner({kModule}, "UsbReenumerateInBed.PendingReadEndsWhenTheModuleIsBackAtOnce");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(r.has("40F5849A usb-unplug"));
    EXPECT_TRUE(r.has("40F5849A usb-plug"));
}

TEST(UsbReenumerate, TransferThatNeverCompletesIsGivenUp)
{
    auto r = usbbed::run_inner({kModule}, "UsbReenumerateInBed.TransferThatNeverCompletesIsGivenUp");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(r.has("40F5849A usb-in-lost"));
}
