// The USB transport against emulated modules: real libusb calls through
// umockdev, a simulated module behind the bulk endpoints.
#include "tests/unit/unix/usb_bed.h"

#include "lib/common/aLink.h"
#include "lib/common/aStream.h"
#include "lib/common/discover.h"
#include "lib/unix/Velmarine-C.h"
#include "lib/unix/unix_streamusb.h"
#include "lib/unix/vmusb_driver.h"

#include <cstring>
#include <dirent.h>
#include <map>

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
const std::string kModule = "serial=40F5849A product=0x13 hb=0";

// Sends an address query and waits for the module's empty answer from address 2.
void expect_exchange(aStream* s)
{
    const uint8_t query[] = {0xAD, 0x00};
    ASSERT_EQ(aStream_Write(s, query, sizeof query), aErrNone);
    uint8_t answer[2] = {0, 0};
    aErr err = aErrNotReady;
    for (int i = 0; i < 5 && err == aErrNotReady; ++i) err = aStream_Read(s, answer, 2);
    ASSERT_EQ(err, aErrNone);
    EXPECT_EQ(answer[0], 0x02);
    EXPECT_EQ(answer[1], 0x00);
}

// Descriptors this process holds on USB device nodes.
int usb_nodes_open()
{
    int n = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    while (dirent* e = readdir(dir)) {
        char link[4096] = {0};
        std::string path = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(path.c_str(), link, sizeof link - 1) > 0 && strstr(link, "/bus/usb/")) ++n;
    }
    closedir(dir);
    return n;
}

vmusb_device* open_library(const char* serial)
{
    vmusb_device* d = vmusb_create_usb(true);
    if (d && vmusb_open_velmarine_device(d, serial) != aErrNone) vmusb_destroy(&d);
    return d;
}

}  // namespace

// ---- inner tests: run only inside the lab --------------------------------

TEST(UsbInBed, ExchangeAndChunks)
{
    USB_BED_ONLY();
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &s), aErrNone);
    expect_exchange(s);
    std::vector<uint8_t> junk(1000, 0xFF);  // no valid packet: the module ignores it
    EXPECT_EQ(aStream_Write(s, junk.data(), junk.size()), aErrNone);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    EXPECT_EQ(s, nullptr);
}

TEST(UsbInBed, OpenFailures)
{
    USB_BED_ONLY();
    // Table of serial numbers and what opening them gives; the lab holds one
    // device per row (see UsbTransport.OpenFailures).
    const std::map<uint32_t, aErr> rows = {
        {0x40F5849A, aErrNotFound},       // its serial string is in lower case
        {0x11110001, aErrNotFound},       // product 0x8001: not a module
        {0x11110002, aErrConfiguration},  // no OUT endpoint
        {0x11110003, aErrBusy},           // another program holds it
        {0x11110004, aErrNotFound},       // not on the bus at all
    };
    const int before = usb_nodes_open();
    for (auto [serial, expected] : rows) {
        aStream* s = reinterpret_cast<aStream*>(0x1);
        EXPECT_EQ(aStream_CreateUSB(serial, &s), expected) << std::hex << serial;
        EXPECT_EQ(s, nullptr);
        // A failed open leaves no device handle behind.
        EXPECT_EQ(usb_nodes_open(), before) << std::hex << serial;
    }
    aStream* s = nullptr;
    EXPECT_EQ(aStream_CreateUSB(0, &s), aErrParam);
}

TEST(UsbInBed, ErrorTolerance)
{
    USB_BED_ONLY();
    vmusb_device* d = open_library("40F5849A");
    ASSERT_NE(d, nullptr);
    uint8_t b = 0;
    // Four failures forgiven, then a good read restarts the count.
    ASSERT_EQ(usbbed::control("in-error 40F5849A 4"), "ok");
    for (int i = 0; i < 4; ++i) EXPECT_EQ(vmusb_get_from_device(d, &b), aErrNotReady) << i;
    ASSERT_EQ(usbbed::control("in-data 40F5849A 0200"), "ok");
    EXPECT_EQ(vmusb_get_from_device(d, &b), aErrNone);
    EXPECT_EQ(d->errorRun, 0);
    EXPECT_EQ(vmusb_get_from_device(d, &b), aErrNone);
    // Five in a row: the fifth fails the device, and it stays failed.
    ASSERT_EQ(usbbed::control("in-error 40F5849A 5"), "ok");
    for (int i = 0; i < 4; ++i) EXPECT_EQ(vmusb_get_from_device(d, &b), aErrNotReady) << i;
    EXPECT_EQ(vmusb_get_from_device(d, &b), aErrIO);
    EXPECT_EQ(d->devState, vmusbStateFailed);
    ASSERT_EQ(usbbed::control("in-data 40F5849A 0200"), "ok");
    for (int i = 0; i < 300; ++i) ASSERT_EQ(vmusb_get_from_device(d, &b), aErrIO) << i;
    const uint8_t query[] = {0xAD, 0x00};
    EXPECT_EQ(vmusb_write_to_device(d, query, 2), aErrIO);
    vmusb_destroy(&d);

    // Reopened, the module answers again.
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &s), aErrNone);
    expect_exchange(s);
    aStream_Destroy(&s);
}

TEST(UsbInBed, StallsTimeoutsAndFailedWrites)
{
    USB_BED_ONLY();
    vmusb_device* d = open_library("40F5849A");
    ASSERT_NE(d, nullptr);
    uint8_t b = 0;
    // A read that times out with nothing to read is no error.
    EXPECT_EQ(vmusb_get_from_device(d, &b), aErrNotReady);
    EXPECT_EQ(d->errorRun, 0);
    // A stalled IN endpoint is cleared and read again later.
    ASSERT_EQ(usbbed::control("in-stall 40F5849A 1"), "ok");
    EXPECT_EQ(vmusb_get_from_device(d, &b), aErrNotReady);
    EXPECT_EQ(d->errorRun, 0);
    // A stalled OUT transfer is cleared and the write goes through.
    ASSERT_EQ(usbbed::control("out-stall 40F5849A 1"), "ok");
    const uint8_t query[] = {0xAD, 0x00};
    EXPECT_EQ(vmusb_write_to_device(d, query, 2), aErrNone);
    aErr err = aErrNotReady;
    for (int i = 0; i < 5 && err == aErrNotReady; ++i) err = vmusb_get_from_device(d, &b);
    EXPECT_EQ(err, aErrNone);
    EXPECT_EQ(b, 0x02);
    EXPECT_EQ(vmusb_get_from_device(d, &b), aErrNone);
    // Ten transfers the module never takes: the write fails, the device does not.
    ASSERT_EQ(usbbed::control("out-timeout 40F5849A 10"), "ok");
    EXPECT_EQ(vmusb_write_to_device(d, query, 2), aErrWrite);
    EXPECT_EQ(d->errorRun, 0);
    EXPECT_EQ(d->devState, vmusbStateReady);
    vmusb_destroy(&d);
}

TEST(UsbInBed, UnplugAndReplug)
{
    USB_BED_ONLY();
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &s), aErrNone);
    expect_exchange(s);
    ASSERT_EQ(usbbed::control("unplug 40F5849A"), "ok");
    uint8_t b = 0;
    aErr err = aErrNone;
    int reads = 0;
    for (; reads < 20; ++reads)
        if ((err = aStream_Read(s, &b, 1)) != aErrNotReady) break;
    EXPECT_EQ(err, aErrIO);
    EXPECT_EQ(reads, 4);  // four forgiven, the fifth fails the device
    aStream_Destroy(&s);
    EXPECT_EQ(aStream_CreateUSB(kSerial, &s), aErrNotFound);

    ASSERT_EQ(usbbed::control("plug 40F5849A"), "ok");
    // What the updater does while a module re-enumerates: refresh the context.
    Velmarine_libusb_exit();
    ASSERT_EQ(aStream_CreateUSB(kSerial, &s), aErrNone);
    expect_exchange(s);
    aStream_Destroy(&s);
}

TEST(UsbInBed, LinkSurvivesUnplug)
{
    USB_BED_ONLY();
    aLinkRef link = aLink_CreateUSB(kSerial);
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStateRunning);
    ASSERT_EQ(usbbed::control("unplug 40F5849A"), "ok");
    int32_t state = aLink_GetStatus(link);
    for (int i = 0; i < 100 && state != kLinkStateIOError; ++i) {
        usleep(100 * 1000);
        state = aLink_GetStatus(link);
    }
    EXPECT_EQ(state, kLinkStateIOError);
    aLink_Destroy(&link);

    ASSERT_EQ(usbbed::control("plug 40F5849A"), "ok");
    // Hot-plug notice alone is enough to find the module again.
    for (int attempt = 0; attempt < 5 && link == 0; ++attempt) {
        link = aLink_CreateUSB(kSerial);
        if (link == 0) usleep(200 * 1000);
    }
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStateRunning);
    aLink_Destroy(&link);
}

TEST(UsbInBed, KernelNode)
{
    USB_BED_ONLY();
    ASSERT_TRUE(vmusb_is_kernel_driver_installed(kSerial));
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &s), aErrNone);
    expect_exchange(s);
    aStream_Destroy(&s);
}

TEST(UsbInBed, Enumeration)
{
    USB_BED_ONLY();
    std::vector<linkSpec> found;
    auto collect = [](const linkSpec* spec, bool* success, void* ref) {
        static_cast<std::vector<linkSpec>*>(ref)->push_back(*spec);
        *success = true;
        return true;
    };
    EXPECT_EQ(aDiscovery_EnumerateUSB(collect, &found), 1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].type, USB);
    EXPECT_EQ(found[0].serialNumber, kSerial);
    EXPECT_EQ(found[0].usbId, kSerial);
    EXPECT_EQ(found[0].model, 0x13u);
    EXPECT_EQ(found[0].module, 0u);
}

// ---- outer tests: build the lab and run an inner test in it --------------

TEST(UsbTransport, ExchangesBytesInChunksNeverOf512)
{
    struct Case {
        const char* out_max;
        std::vector<std::string> chunks;
    };
    const Case cases[] = {
        {"512", {"usb-out 511", "usb-out 489"}},
        {"64", std::vector<std::string>(15, "usb-out 64")},
    };
    for (const auto& c : cases) {
        auto r = usbbed::run_inner({kModule + " out_max=" + c.out_max}, "UsbInBed.ExchangeAndChunks");
        ASSERT_EQ(r.status, 0) << r.output;
        std::vector<std::string> outs;
        for (auto& e : r.events)
            if (e.rfind("40F5849A usb-out ", 0) == 0) outs.push_back(e.substr(9));
        std::vector<std::string> want = {"usb-out 2"};  // the address query
        want.insert(want.end(), c.chunks.begin(), c.chunks.end());
        if (std::string(c.out_max) == "64") want.push_back("usb-out 40");
        EXPECT_EQ(outs, want) << "out_max " << c.out_max;
        EXPECT_TRUE(r.has("40F5849A usb-claim 0"));
        EXPECT_TRUE(r.has("40F5849A usb-release 0"));
    }
}

TEST(UsbTransport, OpenFailures)
{
    auto r = usbbed::run_inner({"serial=40F5849A serial_string=40f5849a", "serial=11110001 product=0x8001",
                                "serial=11110002 no_out", "serial=11110003 held"},
                               "UsbInBed.OpenFailures");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.count("11110001 usb-open"), 0u);  // never opened
    // The device without an OUT endpoint was opened, never claimed.
    EXPECT_TRUE(r.has("11110002 usb-open"));
    EXPECT_EQ(r.count("11110002 usb-claim 0"), 0u);
    EXPECT_TRUE(r.has("11110003 usb-claim-busy 0"));
}

TEST(UsbTransport, ErrorTolerance)
{
    auto r = usbbed::run_inner({kModule}, "UsbInBed.ErrorTolerance");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.count("40F5849A usb-in-error"), 9u);
}

TEST(UsbTransport, StallsTimeoutsAndFailedWrites)
{
    auto r = usbbed::run_inner({kModule}, "UsbInBed.StallsTimeoutsAndFailedWrites");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(r.has("40F5849A usb-clear-halt 0x81"));
    EXPECT_TRUE(r.has("40F5849A usb-clear-halt 0x02"));
    EXPECT_EQ(r.count("40F5849A usb-out-nak"), 10u);
}

TEST(UsbTransport, UnplugAndReplug)
{
    auto r = usbbed::run_inner({kModule}, "UsbInBed.UnplugAndReplug");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(r.has("40F5849A usb-unplug"));
    EXPECT_TRUE(r.has("40F5849A usb-plug"));
}

TEST(UsbTransport, LinkSurvivesUnplug)
{
    auto r = usbbed::run_inner({kModule}, "UsbInBed.LinkSurvivesUnplug");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.count("40F5849A usb-claim 0"), 2u);
}

TEST(UsbTransport, KernelNodeIsUsedWithoutTouchingLibusb)
{
    auto r = usbbed::run_inner({kModule + " kernel"}, "UsbInBed.KernelNode");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(r.has("40F5849A kernel-open"));
    EXPECT_TRUE(r.has("40F5849A kernel-write 2"));
    EXPECT_EQ(r.count("40F5849A usb-open"), 0u);
}

TEST(UsbTransport, EnumerationReportsModulesOnly)
{
    auto r = usbbed::run_inner({kModule, "serial=11110001 product=0x8001", "serial=11110005 serial_string=1234567"},
                               "UsbInBed.Enumeration");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.count("11110001 usb-open"), 0u);
}
