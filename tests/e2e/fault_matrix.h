#pragma once
// Shared pieces of the fault-injection matrix: the faults, how a run is timed, the
// check that a store holds only complete files, and a run of the updater whose
// store sits on a nearly full disk.
//
// Every case of the matrix asks the same four things of a run that met a fault: it
// ends with a clear message and the documented exit status, within a bound made of
// the time-outs that apply to it; the store holds nothing half-written; and a
// second run brings the device to the new firmware.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/process_runner.h"

namespace fault_e2e {

namespace fs = std::filesystem;

enum class Fault {
    DroppedReply,       // one answer of the device never arrives
    CorruptedFrame,     // one answer arrives damaged on the wire
    ByteSumMismatch,    // the device reports a wrong byte sum, every time the block is tried
    VanishesAndReturns, // the device drops off mid-transfer and is back a moment later
    NeverReturns,       // the device drops off mid-transfer for good (until repaired)
    ServerDies,         // the update server dies halfway through sending the BIRD file
    DiskFull,           // the store's disk fills up during the download
};

inline const char* fault_name(Fault f) {
    switch (f) {
    case Fault::DroppedReply: return "DroppedReply";
    case Fault::CorruptedFrame: return "CorruptedFrame";
    case Fault::ByteSumMismatch: return "ByteSumMismatch";
    case Fault::VanishesAndReturns: return "VanishesAndReturns";
    case Fault::NeverReturns: return "NeverReturns";
    case Fault::ServerDies: return "ServerDies";
    case Fault::DiskFull: return "DiskFull";
    }
    return "?";
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline std::string file_text(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A run of a program with its wall-clock time.
struct TimedRun {
    ProcessResult result;
    double seconds = 0;
    std::string all() const { return result.out + result.err; }
};

inline TimedRun timed_run(const std::vector<std::string>& argv, const ProcessOptions& options) {
    const auto start = std::chrono::steady_clock::now();
    TimedRun r;
    r.result = run_process(argv, options);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
}

// Problems found in an updater store (the "updater" directory), "" when there are
// none. A device directory may hold its attributes file and BIRD files named by
// build number, nothing else (no temporary or partial files); every BIRD file is a
// byte-for-byte copy of the one the server offers in catalog/<serial>/; every
// attributes file is readable key=value lines that carry CREATED_TIME.
inline std::string store_problems(const fs::path& updaterDir, const fs::path& catalog) {
    std::ostringstream problems;
    if (!fs::exists(updaterDir)) return "";
    static const std::regex birdName("[0-9]+\\.bird");
    for (const auto& device : fs::directory_iterator(updaterDir)) {
        if (!device.is_directory()) {
            problems << "stray file " << device.path() << "\n";
            continue;
        }
        const std::string serial = device.path().filename().string();
        for (const auto& entry : fs::directory_iterator(device.path())) {
            const std::string name = entry.path().filename().string();
            if (name == ".settings") {
                const std::string text = file_text(entry.path());
                std::istringstream lines(text);
                std::string line;
                while (std::getline(lines, line))
                    if (line.find('=') == std::string::npos || line.find('=') == 0)
                        problems << serial << "/.settings: unreadable line '" << line << "'\n";
                if (!contains(text, "CREATED_TIME=")) problems << serial << "/.settings: no CREATED_TIME\n";
            } else if (std::regex_match(name, birdName)) {
                const fs::path offered = catalog / serial / name;
                if (!fs::exists(offered))
                    problems << serial << "/" << name << ": not offered by the server\n";
                else if (file_text(entry.path()) != file_text(offered))
                    problems << serial << "/" << name << ": differs from the server's file (" << fs::file_size(entry)
                             << " of " << fs::file_size(offered) << " bytes)\n";
            } else {
                problems << serial << "/" << name << ": not a store file\n";
            }
        }
    }
    return problems.str();
}

// Exit status of the wrapper below when the small disk could not be mounted.
constexpr int kNoSmallDisk = 97;

// Wraps argv so that it runs in a mount namespace of its own with a tmpfs of
// `sizeKiB` mounted on `store`, `fillKiB` of it already taken by a filler file. When
// the program has ended, the disk's content is copied to `snapshot` (the tmpfs
// goes away with the namespace) and the program's exit status is passed on.
inline std::vector<std::string> on_small_disk(const std::vector<std::string>& prefix, const fs::path& store,
                                              unsigned sizeKiB, unsigned fillKiB, const fs::path& snapshot,
                                              const std::vector<std::string>& argv) {
    static const char* script =
        "size=$1; fill=$2; store=$3; snapshot=$4; shift 4\n"
        "mount -t tmpfs -o size=${size}k fault-disk \"$store\" || exit 97\n"
        "head -c $((fill * 1024)) /dev/zero > \"$store/filler\" 2>/dev/null\n"
        "\"$@\"; status=$?\n"
        "rm -f \"$store/filler\"; mkdir -p \"$snapshot\"; cp -a \"$store/.\" \"$snapshot/\"\n"
        "exit $status\n";
    std::vector<std::string> out = prefix;
    out.insert(out.end(), {"unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script, "small-disk",
                           std::to_string(sizeKiB), std::to_string(fillKiB), store.string(), snapshot.string()});
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

}  // namespace fault_e2e
