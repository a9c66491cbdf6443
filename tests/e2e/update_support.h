#pragma once
// Fixtures for firmware-update runs: BIRD files made with birdtool, the reference
// update server started on the lab's host side (where the updater runs, so that
// its 127.0.0.1 is the updater's), and the flash a simulated module wrote.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/process_runner.h"
#include "tests/e2e/server_process.h"
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
    int stampAt = -1;                    // >= 0: birdtool writes build and version into the firmware there
};

// The firmware as the module must hold it when the image was stamped: "VMID", the
// build (least significant byte first) and the version text padded with NUL.
inline std::vector<uint8_t> flashed(const Image& image) {
    std::vector<uint8_t> out = image.firmware;
    if (image.stampAt < 0) return out;
    const size_t at = static_cast<size_t>(image.stampAt);
    if (out.size() < at + 24) out.resize(at + 24, 0);
    const uint8_t record[8] = {'V', 'M', 'I', 'D', uint8_t(image.build), uint8_t(image.build >> 8),
                               uint8_t(image.build >> 16), uint8_t(image.build >> 24)};
    std::copy(record, record + 8, out.begin() + long(at));
    for (size_t i = 0; i < 16; ++i) out[at + 8 + i] = i < image.version.size() ? uint8_t(image.version[i]) : 0;
    return out;
}

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
                                     "0:" + firmware.string()};
    if (image.stampAt >= 0) argv.insert(argv.end(), {"--stamp", std::to_string(image.stampAt)});
    argv.insert(argv.end(), {"--build", std::to_string(image.build), "--version",
                             image.version, "--model", image.model});
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
    bool start(const netlab::NetLab& lab, const fs::path& catalog) {
        return server_.start(catalog, {}, lab.host_prefix());
    }
    const std::string& url() const { return server_.url(); }

private:
    server_e2e::UpdateServer server_;
};

}  // namespace update_e2e
