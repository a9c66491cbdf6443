#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/ResultDisplay.h"
#include "recording_display.h"

namespace {

DeviceInfo device(uint32_t type, uint32_t serial, uint32_t model, int32_t error = 0) {
    DeviceInfo d;
    d.spec.type = static_cast<linkType>(type);
    d.spec.serialNumber = serial;
    d.spec.module = 0x06;
    d.spec.router = 0x0A;
    d.spec.model = model;
    d.versionMajor = 2;
    d.versionMinor = 12;
    d.versionPatch = 1;
    d.buildNumber = 12345;
    d.deviceName = "bow sonar";
    d.error = error;
    return d;
}

}  // namespace

TEST(DeviceList, RowsFollowEachEntrysOwnLinkType) {
    DeviceInfo tcp = device(TCPIP, 0x40F5849A, 4);
    DeviceInfo busyTcp = device(TCPIP, 0x0BADF00D, 4, 25);  // an error wins over the TCP/IP row
    const uint8_t address[4] = {192, 168, 7, 21};
    std::memcpy(&tcp.spec.ipAddress, address, 4);
    const std::vector<DeviceInfo> devices = {device(USB, 0x2181F0EE, 23), device(USB, 0x0000BEEF, 4, 25), tcp,
                                             busyTcp};

    RecordingDisplay usb;
    _display_device_list(usb, devices, USB);
    const std::vector<std::string> expected = {
        "Discovered Devices: (USB)",
        "    Device    Module   Router  Model          Firmware Version (Build)    Device Name",
        "    2181F0EE  06       0A      VM-Sonar       2.12.1 (     12345)         bow sonar",
        "    0000BEEF  [Error (25): Is someone else connected to this device?]",
        "    40F5849A  06       0A      VM-Core        2.12.1 (     12345)        [192.168.7.21]     bow sonar",
        "    0BADF00D  [Error (25): Is someone else connected to this device?]",
    };
    EXPECT_EQ(usb.infos, expected);
    EXPECT_TRUE(usb.errors.empty());

    RecordingDisplay other;
    _display_device_list(other, {devices[0]}, 0);
    ASSERT_EQ(other.infos.size(), 3u);
    EXPECT_EQ(other.infos[0], "Discovered Devices: (Unknown)");
    EXPECT_EQ(other.infos[1],
              "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name");
}

TEST(DeviceList, EmptyListAndHeadings) {
    struct Case {
        uint32_t linkType;
        const char* heading;
    };
    for (const Case& c : {Case{USB, "Discovered Devices: (USB)"}, Case{TCPIP, "Discovered Devices: (TCPIP)"},
                          Case{7, "Discovered Devices: (Unknown)"}}) {
        RecordingDisplay display;
        _display_device_list(display, {}, c.linkType);
        EXPECT_EQ(display.infos, (std::vector<std::string>{c.heading, "    No devices found."}));
    }
}

TEST(DeviceList, WideFieldsAreNotCut) {
    DeviceInfo d = device(USB, 0xFFFFFFFF, 99);
    d.versionPatch = 300;
    d.buildNumber = 4294967295u;
    RecordingDisplay display;
    _display_device_list(display, {d}, USB);
    ASSERT_EQ(display.infos.size(), 3u);
    EXPECT_EQ(display.infos[2], "    FFFFFFFF  06       0A      Unknown        2.12.300 (4294967295)         bow sonar");
}

TEST(Builds, NewestVersionFirstColumnsCut) {
    // Numeric, not text, order of versions; both columns cut to 15 characters.
    const BuildList builds = {
        {"100", "2.9.0"}, {"200", "2.15.1"}, {"300", "2.10.0"}, {"12345678901234567890", "100.200.30000000"}};
    RecordingDisplay display;
    _display_builds(display, builds, 0x40F5849A);
    const std::vector<std::string> expected = {
        "Build List for device [40F5849A]:\n",
        "Build          \tVersion        ",
        "123456789012345\t100.200.3000000",
        "200            \t2.15.1         ",
        "300            \t2.10.0         ",
        "100            \t2.9.0          ",
    };
    EXPECT_EQ(display.infos, expected);
}

TEST(Builds, EmptyList) {
    RecordingDisplay display;
    _display_builds(display, {}, 0x0000ABCD);
    EXPECT_EQ(display.infos, std::vector<std::string>{"No builds found for device [0000ABCD]"});
}

TEST(Results, FingerprintAndToken) {
    RecordingDisplay display;
    Fingerprint f;
    f.words[0] = 0x1;
    f.words[1] = 0xDEADBEEF;
    f.words[2] = 0xABC;
    f.words[3] = 0xFFFFFFFF;
    _display_fingerprint(display, f);
    _display_jwt(display, "aaa.bbb.ccc");
    _display_jwt(display, "");
    EXPECT_EQ(display.infos,
              (std::vector<std::string>{"[ 00000001 DEADBEEF 00000ABC FFFFFFFF ]", "aaa.bbb.ccc", ""}));
}
