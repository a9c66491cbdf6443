#pragma once
// Fixtures for firmware-update runs: BIRD files made with birdtool, the reference
// update server started on the lab's host side (where the updater runs, so that
// its 127.0.0.1 is the updater's), and the flash a simulated module wrote.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/process_runner.h"
#include "tests/e2e/support/netlab.h"

namespace update_e2e {

namespace fs = std::filesystem;

inline std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 7;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

inline void write_bytes(const fs::path& p, const std::vector<uint8_t>& bytes) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_text(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<uint8_t> read_bytes(const fs::path& p) {
    const std::string s = read_text(p);
    return std::vector<uint8_t>(s.begin(), s.end());
}

struct Image {
    uint32_t build = 1200;
    std::string version = "2.11.0";
    std::string serial = "40F5849A";     // descriptor serial; "" for a generic image
    std::string model = "VM-Temp-4";
    std::string serialOffsets;           // "S:D" for a generic image
    std::vector<uint8_t> loader = pattern(100, 1);
    std::vector<uint8_t> firmware = pattern(1000, 2);
};

// Writes the image as a BIRD file: one loader block at 0x10000000, one firmware block at 0.
inline bool make_bird(const fs::path& out, const Image& image) {
    const fs::path dir = out.parent_path();
    fs::create_directories(dir);
    const fs::path loader = dir / (out.filename().string() + ".loader");
    const fs::path firmware = dir / (out.filename().string() + ".fw");
    write_bytes(loader, image.loader);
    write_bytes(firmware, image.firmware);
    std::vector<std::string> argv = {std::string(TEST_BINARY_DIR) + "/tools/birdtool/birdtool", "create", "-o",
                                     out.string(), "--loader", "0x10000000:" + loader.string(), "--firmware",
                                     "0:" + firmware.string(), "--build", std::to_string(image.build), "--version",
                                     image.version, "--model", image.model};
    if (!image.serial.empty()) argv.insert(argv.end(), {"--serial", image.serial});
    if (!image.serialOffsets.empty()) argv.insert(argv.end(), {"--serial-offsets", image.serialOffsets});
    ProcessResult r = run_process(argv);
    fs::remove(loader);
    fs::remove(firmware);
    return r.exitStatus == 0;
}

// The reference update server, run on the lab's host side.
class HostServer {
public:
    ~HostServer() { stop(); }
    bool start(const netlab::NetLab& lab, const fs::path& catalog) {
        std::vector<std::string> args = lab.host_prefix();
        args.insert(args.end(), {std::string(TEST_BINARY_DIR) + "/tools/update_server/update_server", "--catalog",
                                 catalog.string(), "--port", "0"});
        int out[2];
        if (::pipe(out) != 0) return false;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            ::dup2(out[1], 1);
            int devnull = ::open("/dev/null", O_WRONLY);
            if (devnull >= 0) ::dup2(devnull, 2);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char b[256];
            ssize_t n = ::read(out[0], b, sizeof b);
            if (n <= 0) break;
            line.append(b, static_cast<size_t>(n));
        }
        ::close(out[0]);
        const std::string prefix = "listening on ";
        if (line.rfind(prefix, 0) != 0) return false;
        url_ = line.substr(prefix.size(), line.find('\n') - prefix.size());
        return true;
    }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(-pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    const std::string& url() const { return url_; }

private:
    pid_t pid_ = -1;
    std::string url_;
};

}  // namespace update_e2e
