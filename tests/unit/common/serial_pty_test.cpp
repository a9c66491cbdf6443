#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "lib/common/aStream.h"
#include "lib/common/cobs.h"
#include "lib/common/crc8.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// A pseudo-terminal: the stream opens the device end by path, the test plays
// the module on the controlling end.
struct Pty : ::testing::Test {
    int master = -1, slave = -1;
    std::string path;
    void SetUp() override
    {
        char name[128];
        ASSERT_EQ(0, openpty(&master, &slave, name, nullptr, nullptr));
        path = name;
    }
    void TearDown() override
    {
        close(master);
        close(slave);
    }

    // Reads exactly n bytes from the module's end, waiting at most two seconds.
    Bytes readMaster(size_t n)
    {
        Bytes out;
        auto deadline = Clock::now() + std::chrono::seconds(2);
        while (out.size() < n && Clock::now() < deadline) {
            struct pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            uint8_t buf[64];
            ssize_t got = read(master, buf, std::min(sizeof buf, n - out.size()));
            if (got > 0)
                out.insert(out.end(), buf, buf + got);
        }
        return out;
    }

    // Reads n bytes through the stream, sleeping in its readiness wait between
    // attempts; bounded by two seconds.
    aErr readStream(aStream* s, uint8_t* out, size_t n)
    {
        auto deadline = Clock::now() + std::chrono::seconds(2);
        size_t got = 0;
        while (got < n && Clock::now() < deadline) {
            aErr e = aStream_Read(s, out + got, 1);
            if (e == aErrNone) {
                ++got;
                continue;
            }
            if (e != aErrNotReady)
                return e;
            aStream_WaitReadable(s, 50);
        }
        return got == n ? aErrNone : aErrTimeout;
    }
};

TEST_F(Pty, OpenErrorsAndLineSettings)
{
    aStream* s = nullptr;
    EXPECT_EQ(aErrNotFound, aStream_CreateSerial("/dev/no-such-port", 6, false, 0, 0, &s));
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(aErrResource, aStream_CreateSerial(path.c_str(), 6, false, 2, 0, &s));
    EXPECT_EQ(aErrResource, aStream_CreateSerial(nullptr, 6, false, 0, 0, &s));
    EXPECT_EQ(aErrNotFound, aStream_CreateSerial_Packetized("/dev/no-such-port", 6, false, 0, 0, &s));
    EXPECT_EQ(aErrIO, aStream_CreateSerial("/dev/null", 6, false, 0, 0, &s));  // not a terminal

    struct Case {
        uint32_t index;
        speed_t speed;
        bool parity;
        uint8_t data, stop;
    } cases[] = {
        {6, B115200, false, 0, 0},
        {0, B2400, true, 1, 1},
        {7, B230400, false, 0, 1},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(aErrNone, aStream_CreateSerial(path.c_str(), c.index, c.parity, c.data, c.stop, &s));
        struct termios t;
        ASSERT_EQ(0, tcgetattr(slave, &t));
        EXPECT_EQ(c.speed, cfgetospeed(&t)) << c.index;
        EXPECT_EQ(c.speed, cfgetispeed(&t)) << c.index;
        // (A pseudo-terminal always keeps 8 bits without parity.)
        EXPECT_EQ(c.stop == 1, (t.c_cflag & CSTOPB) != 0);
        EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO));
        EXPECT_EQ(0, t.c_cc[VMIN]);
        EXPECT_EQ(0, t.c_cc[VTIME]);
        EXPECT_EQ(aErrNone, aStream_Destroy(&s));
    }
    // Deleting the stream gives the port back its earlier settings.
    struct termios after;
    ASSERT_EQ(0, tcgetattr(slave, &after));
    EXPECT_NE(0u, after.c_lflag & ICANON);
}

TEST_F(Pty, PlainSerialMovesBytesBothWays)
{
    aStream* s = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateSerial(path.c_str(), 6, false, 0, 0, &s));
    uint8_t b = 0;
    EXPECT_EQ(aErrNotReady, aStream_Read(s, &b, 1));  // returns at once when idle
    auto start = Clock::now();
    EXPECT_EQ(aErrTimeout, aStream_WaitReadable(s, 100));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));

    const std::string text = "Synchronized\r\nOK\r\n";
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(master, text.data(), text.size()));
    EXPECT_EQ(aErrNone, aStream_WaitReadable(s, 1000));
    char line[32];
    auto deadline = Clock::now() + std::chrono::seconds(2);
    aErr e;
    while ((e = aStream_ReadCStringRecord(s, line, sizeof line, "\r\n")) == aErrNotReady && Clock::now() < deadline)
        aStream_WaitReadable(s, 50);
    ASSERT_EQ(aErrNone, e);
    EXPECT_STREQ("Synchronized", line);

    ASSERT_EQ(aErrNone, aStream_WriteCStringRecord(s, "19200", "\r\n"));
    EXPECT_EQ((Bytes{'1', '9', '2', '0', '0', '\r', '\n', 0}), readMaster(8));
    EXPECT_EQ(aErrNone, aStream_Destroy(&s));
}

Bytes framed(const Bytes& wire)
{
    Bytes raw = wire;
    raw.push_back(crc8_create(wire.data(), wire.size()));
    Bytes enc(COBS_ENCODED_MAX(raw.size()));
    enc.resize(cobs_encode(raw.data(), raw.size(), enc.data()));
    enc.push_back(0);
    return enc;
}

TEST_F(Pty, LargestPacketCrossesAFramedLineBothWays)
{
    aStream* s = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateSerial_Packetized(path.c_str(), 6, false, 0, 0, &s));
    Bytes packet = {0x04, 28};
    for (int i = 0; i < 28; ++i)
        packet.push_back(static_cast<uint8_t>(i * 9));  // includes zero bytes
    const Bytes frame = framed(packet);
    ASSERT_EQ(33u, frame.size());

    ASSERT_EQ(aErrNone, aStream_Write(s, packet.data(), packet.size()));
    EXPECT_EQ(frame, readMaster(33));

    // A damaged frame first: reported once, then the good one arrives.
    Bytes damaged = frame;
    damaged[10] ^= 0x40;
    ASSERT_EQ(33, write(master, damaged.data(), damaged.size()));
    ASSERT_EQ(33, write(master, frame.data(), frame.size()));
    Bytes got(30);
    EXPECT_EQ(aErrPacket, readStream(s, got.data(), got.size()));
    ASSERT_EQ(aErrNone, readStream(s, got.data(), got.size()));
    EXPECT_EQ(packet, got);
    EXPECT_EQ(aErrNone, aStream_Destroy(&s));
}

TEST_F(Pty, ClosedFarEndDoesNotSpin)
{
    aStream* s = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateSerial_Packetized(path.c_str(), 6, false, 0, 0, &s));
    close(master);
    master = -1;
    uint8_t b;
    EXPECT_EQ(aErrNotReady, aStream_Read(s, &b, 1));
    auto start = Clock::now();
    aStream_WaitReadable(s, 100);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));
    aStream_Destroy(&s);
}

} // namespace
