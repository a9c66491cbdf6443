// The serial download engine over a real serial port against the simulated i.MX
// boot ROM: what lands in the chip's memory, and each way the ROM can let it down.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"
#include "sim/imx/imx_rom.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The simulated ROM on the master side of a pseudo-terminal, run on a thread.
class PtyRom {
public:
    explicit PtyRom(const imxsim::RomConfig& config = {}) : rom_(config) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        path_ = ptsname(master_);
        thread_ = std::thread([this] { run(); });
    }
    ~PtyRom() {
        stop_ = true;
        thread_.join();
        close(master_);
    }
    const char* path() const { return path_.c_str(); }
    template <typename F>
    auto with(F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(rom_);
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 5) <= 0) continue;
            uint8_t buf[4096];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) continue;
            std::string out;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (ssize_t i = 0; i < n; ++i) rom_.receive(buf[i], out);
            }
            if (!out.empty() && write(master_, out.data(), out.size()) < 0) break;
        }
    }

    imxsim::ImxRom rom_;
    int master_;
    std::string path_;
    std::mutex mutex_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t((i * 31) ^ (i >> 8));
    return b;
}

}  // namespace

TEST(SdpRom, FingerprintLoadAndJump) {
    imxsim::RomConfig config;
    config.fingerprintLow = 0xCAFE0001;
    config.fingerprintHigh = 0x00C0FFEE;
    PtyRom rom(config);
    SDPLoader sdp;
    ASSERT_TRUE(sdp.setLoader(new Serial_SDPLoader(rom.path())));
    ASSERT_EQ(sdp.init(), 0);

    uint64_t fp = 0;
    ASSERT_EQ(sdp.getFingerprint(fp), 0);
    EXPECT_EQ(fp, 0x00C0FFEECAFE0001ull);

    // Large enough that the port fills up and the engine must wait for the line.
    const Bytes image = pattern(20000);
    ASSERT_EQ(sdp.writeLoader(image, 0x20000000), 0);
    EXPECT_EQ(rom.with([&](imxsim::ImxRom& r) { return r.memory(0x20000000, image.size()); }), image);

    sdp.startLoader(0x20000400);
    EXPECT_EQ(rom.with([](imxsim::ImxRom& r) { return r.jumpedTo(); }), 0x20000400u);
}

TEST(SdpRom, RomFailures) {
    struct Case {
        const char* name;
        imxsim::RomConfig config;
        int result;
    };
    imxsim::RomConfig silent, refuses, interrupts;
    silent.silent = true;
    refuses.refuseCompletion = true;
    interrupts.answerInData = true;
    for (const Case& c : {Case{"silent", silent, 2}, Case{"refuses completion", refuses, 4},
                          Case{"answers during the data phase", interrupts, 3}}) {
        SCOPED_TRACE(c.name);
        PtyRom rom(c.config);
        SDPLoader sdp;
        ASSERT_TRUE(sdp.setLoader(new Serial_SDPLoader(rom.path())));
        ASSERT_EQ(sdp.init(), 0);
        // Many packets, so an answer in the data phase is seen before the last one.
        EXPECT_EQ(sdp.writeLoader(pattern(64 * 1024), 0x20000000), c.result);
    }
}

// The UART association some loaders open with is echoed only at a command
// boundary; the same bytes inside a command are command bytes.
TEST(SdpRom, AssociationIsEchoedOnlyBetweenCommands) {
    auto feed = [](imxsim::ImxRom& rom, const Bytes& bytes) {
        std::string out;
        for (uint8_t b : bytes) rom.receive(b, out);
        return Bytes(out.begin(), out.end());
    };
    const Bytes magic{0x23, 0x45, 0x45, 0x23};
    const Bytes errorStatus{0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const Bytes statusAnswer{0x56, 0x78, 0x78, 0x56, 0xF0, 0xF0, 0xF0, 0xF0};

    imxsim::ImxRom rom;
    EXPECT_EQ(feed(rom, magic), magic);
    EXPECT_EQ(feed(rom, errorStatus), statusAnswer);
    EXPECT_EQ(feed(rom, magic), magic) << "again after a command";

    // Inside a command (here as its address) the bytes are no association.
    imxsim::ImxRom inside;
    Bytes read{0x01, 0x01, 0x23, 0x45, 0x45, 0x23, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0};
    EXPECT_EQ(feed(inside, read).size(), 8u);
}
