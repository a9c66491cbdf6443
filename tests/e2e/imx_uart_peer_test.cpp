// Cross-check of the simulated i.MX boot ROM against a loader nobody here wrote:
// Debian's imx_uart (package imx-usb-loader) loads a plain image into the ROM over
// its pseudo-terminal, association phase included, and the ROM's memory then holds
// the image, read back word by word with read-register commands.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/e2e/imx_sim_process.h"
#include "tests/e2e/process_runner.h"
#include "tests/e2e/server_process.h"

namespace fs = std::filesystem;

namespace {

bool haveImxUart() { return ::access("/usr/bin/imx_uart", X_OK) == 0; }

// Memory of the ROM at address, count bytes, through one read-register command on
// the terminal; empty when the answer did not come within 5 s.
std::vector<uint8_t> readMemory(const std::string& tty, uint32_t address, uint32_t count) {
    int fd = ::open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return {};
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    ::tcflush(fd, TCIOFLUSH);
    const uint8_t cmd[16] = {0x01, 0x01, uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
                             uint8_t(address), 0x20, uint8_t(count >> 24), uint8_t(count >> 16), uint8_t(count >> 8),
                             uint8_t(count)};
    std::vector<uint8_t> answer;
    if (::write(fd, cmd, sizeof cmd) == ssize_t(sizeof cmd)) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (answer.size() < 4 + count && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            uint8_t buf[4096];
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) answer.insert(answer.end(), buf, buf + n);
        }
    }
    ::close(fd);
    if (answer.size() != 4 + count) return {};
    return std::vector<uint8_t>(answer.begin() + 4, answer.end());  // after the security word
}

}  // namespace

TEST(ImxUartPeer, LoadsAPlainImageIntoTheSimulatedRom) {
    if (!haveImxUart()) GTEST_SKIP() << "imx_uart (Debian package imx-usb-loader) is not installed";
    server_e2e::TempDir tmp("imx-uart");
    std::vector<uint8_t> image(3000);
    uint32_t x = 12345;
    for (auto& b : image) b = uint8_t((x = x * 1103515245u + 12345u) >> 24);
    const fs::path file = tmp.path() / "plain.bin";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), long(image.size()));
    // The target description: a RAM at 0x20000000 and one job, the plain image
    // loaded at an explicit address (no header, no DCD, no jump).
    const fs::path conf = tmp.path() / "velmarine.conf";
    std::ofstream(conf) << "velmarine\nhid,1024,0x20000000,0x20000000,512K\n" << file.string() << ":load 0x20000000\n";

    ImxSimProcess sim;
    ASSERT_TRUE(sim.start());
    ProcessOptions o;
    o.timeout = std::chrono::seconds(60);
    // -n: the pseudo-terminal has no RTS/CTS lines to use.
    ProcessResult r = run_process({"/usr/bin/imx_uart", "-n", sim.path(), conf.string()}, o);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("status 0x88888888"), std::string::npos) << r.out;

    EXPECT_EQ(readMemory(sim.path(), 0x20000000, uint32_t(image.size())), image);
    sim.stop();
    auto events = sim.events();
    std::vector<std::string> wanted{"associate", "write-file 20000000 3000", "write-complete"};
    std::vector<std::string> got;
    for (const auto& e : events)
        if (e == "associate" || e.rfind("write-", 0) == 0) got.push_back(e);
    EXPECT_EQ(got, wanted);
}
