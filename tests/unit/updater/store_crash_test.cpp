// A writer killed at random points while it saves attributes and stores BIRD files
// must leave every file either as it was or as it was meant to become.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "tests/unit/updater/bird_test_support.h"
#include "updater/UpdaterStore.h"

namespace {

constexpr int kBirdVersions = 6;

std::string blobFor(long generation) {
    return std::string(2000 + size_t(generation % 7) * 300, char('a' + generation % 26));
}

std::vector<uint8_t> birdFor(int version) {
    birdwriter::BirdSpec spec;
    spec.blocks.push_back(birdwriter::descriptorBlock(1200, std::to_string(version), 0xABCD, "HUB"));
    // Incompressible-looking content so the file spans several disk blocks.
    std::mt19937 rng(version);
    std::vector<uint8_t> image(48 * 1024 + version * 1000);
    for (uint8_t& b : image) b = uint8_t(rng());
    spec.blocks.push_back(birdwriter::firmwareBlock(0, image));
    return birdwriter::make_bird(spec);
}

// One round of what a download does to the store: record it, then store the file.
void writeRound(const std::string& root, long n, const std::vector<std::vector<uint8_t>>& birds) {
    UpdaterStoreItem device(root, "0000ABCD", STORE_ITEM_DIRECTORY);
    device.attributes.Add("GEN", int(n % 1000000));
    device.attributes.Add("BLOB", blobFor(n % 1000000));
    device.attributes.Add("LATEST_DOWNLOAD", "1200.bird");
    device.attributes.Save();
    const std::vector<uint8_t>& bird = birds[size_t(n % kBirdVersions)];
    device.WriteFile("1200.bird", bird.data(), bird.size());
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Empty when the attributes file is one complete save, otherwise what is wrong.
// Complete means either the file the store made (the two time stamps) or one whole
// save of the writer (five keys whose BLOB belongs to its GEN).
std::string checkSettings(const std::string& text) {
    if (text.empty()) return "empty";
    if (text.back() != '\n') return "does not end with a newline";
    std::map<std::string, std::string> lines;
    std::istringstream in(text);
    std::string line, lastKey;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) return "line without '=': " + line.substr(0, 40);
        std::string key = line.substr(0, eq);
        if (!lastKey.empty() && key <= lastKey) return "keys out of order";
        lastKey = key;
        lines[key] = line.substr(eq + 1);
    }
    if (lines.count("CREATED_TIME") == 0 || lines.count("UPDATED_TIME") == 0) return "time stamps missing";
    if (lines.size() == 2) return {};
    if (lines.count("GEN") == 0 || lines.count("BLOB") == 0) return "generation missing";
    if (lines["BLOB"] != blobFor(std::stol(lines["GEN"]))) return "BLOB does not belong to GEN " + lines["GEN"];
    if (lines["LATEST_DOWNLOAD"] != "1200.bird") return "LATEST_DOWNLOAD lost";
    if (lines.size() != 5) return "unexpected keys";
    return {};
}

}  // namespace

TEST(StoreCrash, KilledWriterLeavesOldOrNewFiles) {
    ScratchDir dir;
    const std::string root = dir.path();
    UpdaterStore store(root);
    store.AddDevice(0xABCD);
    std::vector<std::vector<uint8_t>> birds;
    for (int v = 0; v < kBirdVersions; ++v) birds.push_back(birdFor(v));

    // Time a few rounds here, so the kills spread over whole rounds however fast the
    // disk syncs on this machine.
    const auto start = std::chrono::steady_clock::now();
    for (long n = 0; n < 4; ++n) writeRound(root, n, birds);
    const auto round = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start) / 4;
    const int maxDelayUs = int(std::clamp<long long>(round.count() * 3, 2000, 200000));
    RecordProperty("max_kill_delay_us", maxDelayUs);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> delayUs(0, maxDelayUs);
    int iterations = 0, birdChanges = 0;
    bool generationSeen = false;
    std::string lastBird;
    for (; iterations < 300 && std::chrono::steady_clock::now() < deadline; ++iterations) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (long n = long(iterations + 1) * 1000;; ++n) writeRound(root, n, birds);
        }
        usleep(useconds_t(delayUs(rng)));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));

        std::string settings = readText(root + "/0000ABCD/.settings");
        ASSERT_EQ(checkSettings(settings), "") << "iteration " << iterations << ":\n" << settings.substr(0, 200);
        bool hasGeneration = settings.find("\nGEN=") != std::string::npos;
        ASSERT_TRUE(hasGeneration || !generationSeen) << "iteration " << iterations << ": a save was lost";
        generationSeen = generationSeen || hasGeneration;

        std::string text = readText(root + "/0000ABCD/1200.bird");
        std::vector<uint8_t> bytes(text.begin(), text.end());
        bool known = false;
        for (const auto& b : birds) known = known || b == bytes;
        ASSERT_TRUE(known) << "iteration " << iterations << ": 1200.bird is " << bytes.size()
                           << " bytes and matches no complete version";
        if (text != lastBird) ++birdChanges;
        lastBird = text;
    }
    EXPECT_GE(iterations, 20) << "too few kills to mean anything";
    EXPECT_GE(birdChanges, 5) << "the writer rarely got as far as the BIRD file";
    RecordProperty("iterations", iterations);

    // Whatever a kill left behind is hidden from the listing.
    std::vector<UpdaterStoreItem> items;
    store.FindLocalBuilds(0xABCD, items);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].name, "1200.bird");
}
