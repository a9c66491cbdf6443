// `make demo` end to end: the tour runs against this build's Updater and virtual lab
// and must keep showing what it promises, step by step, so the showcase cannot rot
// quietly. The second case proves the tour's own machinery: a hung or wrong step is
// named, bounded in time, and makes the exit status non-zero.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/e2e/process_runner.h"

namespace {

const std::string kScripts = std::string(TEST_SOURCE_DIR) + "/scripts";

bool has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

TEST(Demo, TourShowsEveryStepAndPasses) {
    ProcessOptions options;
    options.timeout = std::chrono::seconds(240);
    ProcessResult r = run_process({"bash", kScripts + "/demo.sh", TEST_BINARY_DIR}, options);
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;

    // What a viewer is told to look at: each command as typed, and its key result.
    const char* const shown[] = {
        "$ Updater -D -i store",
        "    2181F0EE  02       02      VM-Temp-4      2.10.4 (      1001)         Scope front end",
        "    22220003  [Error (25): Is someone else connected to this device?]",
        "$ Updater -D -t TCPIP -i store",
        "    40F5849A  02       02      VM-Temp-4      2.10.4 (      1001)        [10.213.200.2]     Bench supply",
        "$ Updater -D -r 52A0C0DE -i store",
        "    1B0B0010  10       04      VM-Analog-8",
        "    1B0B0024  24       04      VM-Analog-16",
        "$ Updater -B -d 40F5849A -i store -u http://127.0.0.1:",
        "Build List for device [40F5849A]:",
        "$ Updater -G -d 40F5849A -i store -u http://127.0.0.1:",
        "Build 1200 is valid",
        "$ Updater -U -d 40F5849A -i store -u http://127.0.0.1:",
        "ok: the module's flash holds build 1200 with its own serial number patched in",
        "    40F5849A  02       02      VM-Temp-4      2.11.0 (      1200)",
        "$ Updater -G -U -d 2181F0EE -i store -u http://127.0.0.1:",
        "    2181F0EE  02       02      VM-Temp-4      2.11.0 (      1200)         Scope front end",
        "[ 0400A001 55AA55AA FFFFFFFF 00000007 ]",
        "$ Updater -U -t RECOVER -s /dev/pts/",
        "ok: the chip's flash holds the decoded firmware",
        "$ Updater -N -s USB -i store -u http://127.0.0.1:",
        "[ 44440004 33330003 22220002 11110001 ]",
        "$ Updater -U -t RECOVER -s USB -i store -u http://127.0.0.1:",
        "ok: the module's flash holds the recovery build's firmware",
        "Demo complete: all ",
    };
    for (const char* line : shown) EXPECT_TRUE(has(r.out, line)) << "missing: " << line << "\n" << r.out;
    EXPECT_FALSE(has(r.out, "FAILED")) << r.out;

    // Narration is written for an 80-column terminal (the program's own tables are not ours to wrap).
    size_t start = 0;
    while (start < r.out.size()) {
        size_t end = r.out.find('\n', start);
        if (end == std::string::npos) end = r.out.size();
        std::string line = r.out.substr(start, end - start);
        if (line.rfind("== ", 0) == 0 || line.rfind("   ok", 0) == 0) {
            EXPECT_LE(line.size(), 80u) << line;
        }
        start = end + 1;
    }
}

TEST(Demo, FailedAndHungStepsAreNamedAndFailTheRun) {
    const std::string script = "DEMO_OUT=$(mktemp); trap 'rm -f \"$DEMO_OUT\"' EXIT\n"
                               "source " + kScripts + "/demo_steps.sh\n" +
                               "step 'Hangs'; run 1 sleep 30; expect_status 0; step_done\n"
                               "step 'Wrong output'; run 5 echo hello; expect_line goodbye; step_done\n"
                               "step 'Fine'; run 5 echo hello; expect_status 0; expect_line hello; step_done\n"
                               "summary 0\n";
    ProcessOptions options;
    options.timeout = std::chrono::seconds(20);
    auto begun = std::chrono::steady_clock::now();
    ProcessResult r = run_process({"bash", "-c", script}, options);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(10));
    EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "FAILED: no answer within 1 s")) << r.out;
    EXPECT_TRUE(has(r.out, "FAILED: no line with \"goodbye\" in the output")) << r.out;
    EXPECT_TRUE(has(r.out, "Demo FAILED: 2 of 3 steps failed")) << r.out;
    EXPECT_TRUE(has(r.out, "   1. Hangs\n   2. Wrong output\n")) << r.out;
    const std::string tail = "   1. Hangs\n   2. Wrong output\n";
    EXPECT_TRUE(r.out.size() >= tail.size() && r.out.compare(r.out.size() - tail.size(), tail.size(), tail) == 0)
        << r.out;
}

}  // namespace
