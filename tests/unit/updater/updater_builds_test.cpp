#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/unit/updater/http_fake_server.h"
#include "updater/BirdFile.h"
#include "updater/Updater.h"
#include "updater/UpdaterStore.h"
#include "updater/base64.h"

namespace {

namespace fs = std::filesystem;

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool on, const char* label) override {
        if (on)
            ++spins;
        else
            cleared = spins;  // how many frames were drawn when the line was cleared
        EXPECT_STREQ(label, "Downloading");
    }
    void info_message(const char* text) override { info += std::string(text) + "\n"; }
    void error_message(const char* text) override { errors += std::string(text) + "\n"; }

    int spins = 0;
    int cleared = -1;
    std::string info, errors;
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void be32(std::string& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>(v >> s));
}

// A small BIRD file: descriptor and one firmware block.
std::string bird_file(uint32_t build, const std::string& version) {
    auto field = [](std::string t) {
        t.resize(16, ' ');
        return t;
    };
    std::string payload;
    be32(payload, 2);
    payload.push_back(4);
    be32(payload, 64);
    payload += field(std::to_string(build)) + field(version) + field("40F5849A") + field("HUB");
    payload.push_back(1);
    be32(payload, 8);
    be32(payload, 0);
    payload += "\x01\x02\x03\x04";
    be32(payload, 0);
    std::string packed(compressBound(payload.size()), '\0');
    uLongf n = packed.size();
    compress(reinterpret_cast<Bytef*>(packed.data()), &n, reinterpret_cast<const Bytef*>(payload.data()),
             payload.size());
    packed.resize(n);
    return std::string("bird\x01\x01", 6) + packed;
}

std::string b64(const std::string& bytes) {
    size_t n = 0;
    char* t = base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &n);
    std::string s(t, n);
    std::free(t);
    return s;
}

bool has(const std::string& target, const char* part) { return target.find(part) != std::string::npos; }

// A well-behaved server offering builds 100 (2.9.0) and 200 (2.15.1, the latest).
class UpdaterBuilds : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/updater-builds-XXXXXX";
        dir = ::mkdtemp(templ);
        store = dir / "updater";
        server.route([this](const std::string& t) { return answer(t); });
    }
    void TearDown() override { fs::remove_all(dir); }

    virtual std::pair<int, std::string> answer(const std::string& t) {
        if (has(t, "op=hi")) return {200, "ok\n"};
        if (has(t, "op=qu")) return {200, "ok\n200\n2.15.1\n"};
        if (has(t, "op=builds")) return {200, "ok\n100;2.9.0\n200;2.15.1\n"};
        if (has(t, "op=ent_jwt")) return {200, "ok\naa.bb.cc\n"};
        if (has(t, "op=fix")) return {200, "ok\n40F5849A\n100\n"};
        if (has(t, "op=bird")) {
            if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
            uint32_t build = has(t, "bld=100") ? 100 : has(t, "bld=200") ? 200 : 0;
            if (build == 0) return {404, "error\n"};
            return {200, "ok\n" + b64(bird_file(build, build == 100 ? "2.9.0" : "2.15.1")) + "\n"};
        }
        return {400, "error\n"};
    }

    fs::path dir, store;
    FakeHttpServer server;
    RecordingDisplay display;
    std::atomic<int> delayMs{0};  // read on the server's thread
};

TEST_F(UpdaterBuilds, FreshUpdaterDefaults) {
    Updater u(server.url(), store.string(), display);
    EXPECT_FALSE(u.Get_UEIBytes_Load());
    EXPECT_EQ(u.Get_ChipKind(), 0);
    u.Set_UEIBytes_Load(true);
    EXPECT_TRUE(u.Get_UEIBytes_Load());
}

TEST_F(UpdaterBuilds, StoreOnAPlainFileIsReported) {
    std::ofstream(dir / "plain") << "x";
    const std::string path = (dir / "plain").string();
    EXPECT_EQ(_createUpdaterStore(display, path, "Get_BuildListLocal"), nullptr);
    EXPECT_EQ(display.errors, "Failed to Create UpdaterStore in: Get_BuildListLocal - Exception: UpdaterStore: " +
                                  path + " exists and is a file\n");
    Updater u(server.url(), path, display);
    EXPECT_TRUE(u.Get_BuildListLocal(0x40F5849A).empty());
    EXPECT_EQ(u.Download_Firmware(0x40F5849A, "", false, false), 0u);
}

TEST_F(UpdaterBuilds, RefusedBuildTextsNeverReachTheServer) {
    Updater u(server.url(), store.string(), display);
    for (const char* text : {"abc", "12x", "4294967296", "-1"}) {
        display.errors.clear();
        EXPECT_EQ(u.Download_Firmware(0x40F5849A, text, false, false), 0u);
        EXPECT_EQ(display.errors, std::string("Build number '") + text + "' must be an number\n");
    }
    EXPECT_EQ(u.Download_Firmware(0, "", false, false), 0u);
    EXPECT_NE(display.errors.find("Serial Number must be non-zero"), std::string::npos);
    EXPECT_TRUE(server.targets().empty());
}

TEST_F(UpdaterBuilds, DownloadSpinsWhileWaitingThenStoresAndRecords) {
    delayMs = 1000;
    Updater u(server.url(), store.string(), display);
    EXPECT_EQ(u.Download_Firmware(0x40F5849A, "", false, false), 200u) << display.errors;
    EXPECT_GE(display.spins, 8) << "one frame every 100 ms during a one-second wait";
    EXPECT_LE(display.spins, 25) << "no busy drawing";
    EXPECT_EQ(display.cleared, display.spins) << "the line is cleared once, after the last frame";

    const fs::path device = store / "40F5849A";
    EXPECT_EQ(slurp(device / "200.bird"), bird_file(200, "2.15.1"));
    KeyValueStore first((device / ".settings").string().c_str());
    EXPECT_EQ(first.GetString("LATEST_DOWNLOAD"), "200.bird");

    // The same build again replaces the file and both keys.
    std::ofstream(device / "200.bird") << "damaged";
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    delayMs = 0;
    EXPECT_EQ(u.Download_Firmware(0x40F5849A, "200", false, false), 200u);
    EXPECT_EQ(slurp(device / "200.bird"), bird_file(200, "2.15.1"));
    KeyValueStore second((device / ".settings").string().c_str());
    EXPECT_NE(second.GetString("LAST_DOWNLOAD_DATE"), first.GetString("LAST_DOWNLOAD_DATE"));
}

TEST_F(UpdaterBuilds, FailedWriteIsAFailedDownload) {
    Updater u(server.url(), store.string(), display);
    ASSERT_EQ(u.Download_Firmware(0x40F5849A, "100", false, false), 100u);
    const fs::path device = store / "40F5849A";
    const std::string settings = slurp(device / ".settings");
    fs::create_directories(device / "200.bird");  // nothing can be written under that name
    EXPECT_EQ(u.Download_Firmware(0x40F5849A, "200", false, false), 0u);
    EXPECT_NE(display.errors.find("Failed to write file with "), std::string::npos) << display.errors;
    EXPECT_EQ(slurp(device / ".settings"), settings) << "no record of a download that did not happen";
}

TEST_F(UpdaterBuilds, LocalListingTakesVersionsFromFiles) {
    Updater u(server.url(), store.string(), display);
    ASSERT_EQ(u.Download_Firmware(0x40F5849A, "100", false, false), 100u);
    ASSERT_EQ(u.Download_Firmware(0x40F5849A, "200", false, false), 200u);
    std::ofstream(store / "40F5849A" / "300.bird") << "not a bird";
    std::ofstream(store / "40F5849A" / "400.bird") << std::string("bird\x01\x01", 6) << "damaged payload";
    BuildList expected{{"100", "2.9.0"}, {"200", "2.15.1"}, {"300", ""}, {"400", ""}};
    EXPECT_EQ(u.Get_BuildListLocal(0x40F5849A), expected);
    EXPECT_TRUE(u.Get_BuildListLocal(0x12345678).empty());
}

TEST_F(UpdaterBuilds, LoadBirdDownloadsOnlyWhenAllowed) {
    Updater u(server.url(), store.string(), display);
    try {
        u.load_bird("Updating", "", 0x40F5849A, 100, false);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error reading birdfile");
    }
    BirdFile bird = u.load_bird("Updating", "", 0x40F5849A, 100, true);
    EXPECT_EQ(bird.GetBuild(), 100u);
    EXPECT_NE(display.info.find("Updating firmware with build: 100\nDownloading firmware build 100\n"),
              std::string::npos)
        << display.info;
}

TEST_F(UpdaterBuilds, FingerprintDownloadUsesTheServersAssignment) {
    Updater u(server.url(), store.string(), display);
    Fingerprint fp{{1, 2, 3, 4}};
    EXPECT_EQ(u.Download_Firmware(fp, "", false), 100u);
    EXPECT_TRUE(fs::exists(store / "40F5849A" / "100.bird"));
    EXPECT_EQ(u.Download_Firmware(fp, "200", false), 200u) << "a given build wins over the assigned one";
}

class FailingServer : public UpdaterBuilds {
protected:
    std::pair<int, std::string> answer(const std::string& t) override {
        if (has(t, "op=hi") && pingFails) return {500, "down\n"};
        if (has(t, "op=builds") || has(t, "op=ent_jwt")) return {200, "no\n"};
        return UpdaterBuilds::answer(t);
    }
    std::atomic<bool> pingFails{false};
};

TEST_F(FailingServer, ListAndTokenFailuresAreReported) {
    Updater u(server.url(), store.string(), display);
    EXPECT_TRUE(u.Get_BuildList(0x40F5849A).empty());
    EXPECT_TRUE(u.Get_JWT(0x40F5849A).empty());
    EXPECT_EQ(display.errors, "Failed to retrieve builds for 40F5849A\nFailed to retrieve jwt for 40F5849A\n");
    EXPECT_EQ(u.Download_Firmware(0x40F5849A, "200", false, false), 0u) << "validation fails";
    EXPECT_NE(display.errors.find("No valid build 200"), std::string::npos);

    display.errors.clear();
    pingFails = true;
    EXPECT_TRUE(u.Get_BuildList(0x40F5849A).empty());
    EXPECT_EQ(display.errors, "Server request failed for " + server.url() + "\n");
}

}  // namespace
