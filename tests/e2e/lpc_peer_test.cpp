// Debian's lpc21isp, written by people who never saw our simulator, programs a file
// into it: if both speak the real ISP protocol the flash then holds the file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "tests/e2e/lpc_sim_process.h"

namespace {

const char* kLpc21isp = "/usr/bin/lpc21isp";

// Runs a program with its output discarded; its exit status, or -1 after `seconds`.
int runBounded(std::vector<std::string> args, int seconds) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    for (int i = 0; i < seconds * 100; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

}  // namespace

TEST(LpcPeer, Lpc21ispProgramsAFileIntoTheSimulatedBootRom) {
    if (::access(kLpc21isp, X_OK) != 0) GTEST_SKIP() << "lpc21isp is not installed (scripts/setup.sh installs it)";
    char tmpl[] = "/tmp/lpc_peer_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    std::filesystem::path dir = tmpl;

    // 20000 bytes: a sector and a half of the small sectors, ending inside a copy block.
    std::vector<uint8_t> image(20000);
    std::mt19937 rng(7);
    for (auto& b : image) b = uint8_t(rng());
    std::string file = (dir / "image.bin").string();
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());

    LpcSimProcess sim;
    ASSERT_TRUE(sim.start((dir / "flash.bin").string(), {"--pace"}));
    int rc = runBounded({kLpc21isp, "-bin", file, sim.path(), "115200", "14746"}, 120);
    sim.stop();
    EXPECT_EQ(rc, 0);

    std::vector<uint8_t> flash = sim.flash();
    ASSERT_EQ(flash.size(), 0x80000u);
    // lpc21isp stores the vector table checksum in word 7; everything else is the file.
    for (size_t i = 28; i < 32; ++i) image[i] = flash[i];
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    uint32_t vectorSum = 0;
    for (size_t w = 0; w < 8; ++w)
        vectorSum += uint32_t(flash[4 * w]) | uint32_t(flash[4 * w + 1]) << 8 | uint32_t(flash[4 * w + 2]) << 16 |
                     uint32_t(flash[4 * w + 3]) << 24;
    EXPECT_EQ(vectorSum, 0u) << "the first eight vectors sum to zero on a bootable image";
    EXPECT_TRUE(sim.hasEvent("go 0 T"));
    std::filesystem::remove_all(dir);
}
