// The HID transport against the simulated i.MX boot ROM on emulated USB-HID:
// an outer test starts velmarine-usbsim with the ROM and this binary, filtered
// to one inner test, as the program under test; the inner test drives the ROM
// through hidapi's hidraw back end and the outer test checks the result and
// the lab's event log.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"

namespace {

bool insideLab() { return std::getenv("VELMARINE_USBSIM_CONTROL") != nullptr; }

#define LAB_ONLY()                                                   \
    do {                                                             \
        if (!insideLab()) GTEST_SKIP() << "runs inside the USB lab only"; \
    } while (0)

std::vector<uint8_t> image(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 7 + (i >> 8));
    return v;
}

std::unique_ptr<SDPLoader> openRom() {
    auto sdp = std::make_unique<SDPLoader>();
    sdp->setLoader(new HID_SDPLoader(HID_SDPLoader::IMX_VENDOR, HID_SDPLoader::IMX_PRODUCT));
    return sdp;
}

// One word of the ROM's memory through a read-register command on a transport of
// its own, so the test sees what the write left there.
uint32_t readWord(uint32_t address) {
    HID_SDPLoader hid(HID_SDPLoader::IMX_VENDOR, HID_SDPLoader::IMX_PRODUCT);
    if (!hid.init()) return 0xFFFFFFFF;
    hid.writeData(SDPLoader::command(SDPLoader::READ_REGISTER, address, 0x20, 4));
    std::vector<uint8_t> reply;
    hid.readData(reply, 100);
    uint32_t value = 0;
    if (!hid.getDataFromBuffer(reply, 0, value)) return 0xFFFFFFFF;
    return value;
}

struct LabRun {
    int status = -1;
    std::string output, events;
};

// Runs one inner test of this binary inside a USB lab holding an i.MX ROM with
// the given --imx keys; at most 60 seconds.
LabRun runInLab(const std::string& imx, const std::string& inner) {
    LabRun r;
    char dir[] = "/tmp/sdphid.XXXXXX";
    if (!mkdtemp(dir)) return r;
    char self[4096] = {0};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return r;
    const std::string events = std::string(dir) + "/events";
    std::string cmd = "timeout -k 5 60 " TEST_BINARY_DIR "/sim/usb/velmarine-usbsim --events " + events +
                      " --imx '" + imx + "' -- " + self + " --gtest_filter=" + inner + " 2>&1";
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
        int st = pclose(p);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    std::ifstream in(events);
    r.events.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::remove(events.c_str());
    rmdir(dir);
    // An inner test that skipped or never ran proves nothing.
    if (r.output.find("[  PASSED  ] 1 test.") == std::string::npos || r.output.find("SKIPPED") != std::string::npos)
        r.status = r.status == 0 ? -2 : r.status;
    return r;
}

}  // namespace

// Inner tests: run only inside the lab.

TEST(SdpHidInner, FingerprintWriteAndJump) {
    LAB_ONLY();
    auto sdp = openRom();
    ASSERT_EQ(sdp->init(), 0);
    uint64_t fingerprint = 0;
    ASSERT_EQ(sdp->getFingerprint(fingerprint), 0);
    EXPECT_EQ(fingerprint, 0x00C0FFEEA1B2C3D4ull);
    const auto loader = image(5000);
    ASSERT_EQ(sdp->writeLoader(loader, 0x20000000), 0);
    // Words at the start, across a packet boundary and at the end of the file.
    for (uint32_t offset : {0u, 1020u, 1024u, 4996u}) {
        uint32_t expected = 0;
        for (int i = 0; i < 4; ++i) expected |= uint32_t(loader[offset + i]) << (8 * i);
        EXPECT_EQ(readWord(0x20000000 + offset), expected) << "offset " << offset;
    }
    sdp->startLoader(0x20000400);
}

TEST(SdpHidInner, RefusedCompletion) {
    LAB_ONLY();
    auto sdp = openRom();
    ASSERT_EQ(sdp->init(), 0);
    EXPECT_EQ(sdp->writeLoader(image(3000), 0x20000000), 4);
}

TEST(SdpHidInner, AnswerInData) {
    LAB_ONLY();
    auto sdp = openRom();
    ASSERT_EQ(sdp->init(), 0);
    EXPECT_EQ(sdp->writeLoader(image(3000), 0x20000000), 3);
}

TEST(SdpHidInner, Silent) {
    LAB_ONLY();
    auto sdp = openRom();
    ASSERT_EQ(sdp->init(), 0);
    uint64_t fingerprint = 0;
    EXPECT_EQ(sdp->getFingerprint(fingerprint), 2);
    EXPECT_EQ(sdp->writeLoader(image(100), 0x20000000), 2);
}

// Outer tests.

TEST(SdpHid, ExchangesWithTheRomOnEmulatedHid) {
    if (insideLab()) GTEST_SKIP() << "outer test";
    LabRun r = runInLab("fingerprint=A1B2C3D4,00C0FFEE", "SdpHidInner.FingerprintWriteAndJump");
    ASSERT_EQ(r.status, 0) << r.output;
    for (const char* e : {"1FC90130 rom read-register 401F4410 4", "1FC90130 rom read-register 401F4420 4",
                          "1FC90130 rom write-file 20000000 5000", "1FC90130 rom write-complete",
                          "1FC90130 rom jump 20000400"})
        EXPECT_NE(r.events.find(e), std::string::npos) << e << "\n" << r.events;
}

TEST(SdpHid, RomFaultsGiveTheirResults) {
    if (insideLab()) GTEST_SKIP() << "outer test";
    struct Case {
        const char* imx;
        const char* inner;
    };
    for (const Case& c : {Case{"refuse_completion", "SdpHidInner.RefusedCompletion"},
                          Case{"answer_in_data", "SdpHidInner.AnswerInData"}, Case{"silent", "SdpHidInner.Silent"}}) {
        SCOPED_TRACE(c.imx);
        LabRun r = runInLab(c.imx, c.inner);
        EXPECT_EQ(r.status, 0) << r.output;
    }
}
