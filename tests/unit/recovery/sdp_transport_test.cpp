// The two byte channels of the serial download engine: where each finds the data
// word in a reply, and the serial port's behaviour on a real terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A pseudo-terminal whose master side the test reads and writes itself.
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        grantpt(master);
        unlockpt(master);
        path = ptsname(master);
    }
    ~Pty() { close(master); }
    Bytes readAll(int waitMs) {
        Bytes out;
        pollfd p{master, POLLIN, 0};
        while (poll(&p, 1, waitMs) > 0) {
            uint8_t buf[4096];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
            waitMs = 20;
        }
        return out;
    }
    int master;
    std::string path;
};

}  // namespace

TEST(SdpTransport, DataWordPositionAndCompleteness) {
    HID_SDPLoader hid(HID_SDPLoader::IMX_VENDOR, HID_SDPLoader::IMX_PRODUCT);
    Bytes hidReply(70, 0);
    hidReply[0] = 3;
    hidReply[5] = 4;
    hidReply[6] = 0x88;
    hidReply[7] = 0x77;
    hidReply[8] = 0x66;
    hidReply[9] = 0x55;
    uint32_t v = 0;
    ASSERT_TRUE(hid.getDataFromBuffer(hidReply, 0, v));
    EXPECT_EQ(v, 0x55667788u);
    v = 0;
    EXPECT_FALSE(hid.getDataFromBuffer(Bytes(hidReply.begin(), hidReply.end() - 1), 0, v));
    EXPECT_FALSE(hid.getDataFromBuffer(hidReply, 16, v));

    const char* noPort = "/nonexistent";
    Serial_SDPLoader serial(noPort);
    const Bytes serialReply = {0x56, 0x78, 0x78, 0x56, 0x0D, 0xF0, 0xAD, 0x0B};
    v = 0;
    ASSERT_TRUE(serial.getDataFromBuffer(serialReply, 0, v));
    EXPECT_EQ(v, 0x0BADF00Du);
    v = 0;
    EXPECT_FALSE(serial.getDataFromBuffer(Bytes(serialReply.begin(), serialReply.end() - 1), 0, v));
    EXPECT_EQ(v, 0u);
}

TEST(SdpTransport, SerialInitRefusesWhatIsNoTerminal) {
    for (const char* path : {"/dev/null", "/nonexistent/port"}) {
        SCOPED_TRACE(path);
        SDPLoader sdp;
        ASSERT_TRUE(sdp.setLoader(new Serial_SDPLoader(path)));
        EXPECT_EQ(sdp.init(), 6);
    }
}

TEST(SdpTransport, SerialSendsWithoutReportIdAndReadsRawWords) {
    Pty pty;
    Serial_SDPLoader serial(pty.path.c_str());
    ASSERT_TRUE(serial.init());
    termios t{};
    int fd = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    close(fd);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);

    const Bytes packet = {1, 0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(serial.writeData(packet), 16);
    EXPECT_EQ(pty.readAll(500), Bytes(packet.begin() + 1, packet.end()));

    const Bytes answer = {0x56, 0x78, 0x78, 0x56, 0xF0, 0xF0, 0xF0, 0xF0};
    ASSERT_EQ(write(pty.master, answer.data(), answer.size()), ssize_t(answer.size()));
    Bytes reply = {0xEE};
    EXPECT_EQ(serial.readData(reply, 50), 8);
    EXPECT_EQ(reply, Bytes({0xEE, 0x56, 0x78, 0x78, 0x56, 0xF0, 0xF0, 0xF0, 0xF0}));
}

TEST(SdpTransport, SerialWriteToAPortThatNeverTakesBytesFails) {
    Pty pty;  // nobody reads the master: the port fills up and stays full
    Serial_SDPLoader serial(pty.path.c_str());
    ASSERT_TRUE(serial.init());
    Bytes big(1 << 20, 0x5A);
    big[0] = 2;
    auto start = std::chrono::steady_clock::now();
    EXPECT_LT(serial.writeData(big), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}
