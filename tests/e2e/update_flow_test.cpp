// Firmware updates end to end: the Updater binary on the host side of a lab updating
// simulated modules over TCP/IP, directly and through a routing module.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/update_support.h"

namespace {

using namespace std::chrono_literals;
using namespace update_e2e;

constexpr const char* kSerial = "40F5849A";

class Update : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::path(TEST_BINARY_DIR) /
               ("update-e2e-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "store");
        fs::create_directories(root / "flash");
    }
    void TearDown() override { fs::remove_all(root); }

    // A lab of one TCP/IP module (plus extra lines) whose flash lands in root/flash.
    // Without overrides the module reports what the flashed image carries.
    std::unique_ptr<netlab::NetLab> lab(const std::string& moduleOptions, const std::string& extraLines = "",
                                        bool overrides = true) {
        return std::make_unique<netlab::NetLab>(
            std::string("module serial=") + kSerial + " model=19 address=6 version=2.10.4 build=1001 transport=tcp hb=0 " +
                (overrides ? "build_after_update=1200 version_after_update=2.11.0 " : "") + moduleOptions + "\n" +
                extraLines,
            std::vector<std::string>{"--flash-dir", (root / "flash").string()});
    }

    ProcessResult updater(netlab::NetLab& l, std::vector<std::string> args, std::chrono::milliseconds timeout = 90s) {
        std::vector<std::string> argv = l.host_prefix();
        argv.push_back(UPDATER_BIN);
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {"-i", (root / "store").string()});
        ProcessOptions o;
        o.timeout = timeout;
        o.workingDirectory = root.string();
        return run_process(argv, o);
    }

    std::vector<uint8_t> flash(const std::string& serial = kSerial) {
        return read_bytes(root / "flash" / (serial + "-00000000.bin"));
    }
    std::string settings(const std::string& serial = kSerial) { return read_text(root / "store" / "updater" / serial / ".settings"); }

    fs::path root;
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(Update, FromFileWritesFlashRecordsThePathAndReportsTheNewBuild) {
    Image image;
    const fs::path bird = root / "in" / "fw.bird";
    ASSERT_TRUE(make_bird(bird, image));
    auto l = lab("uei_data");
    ASSERT_TRUE(l->ok()) << l->error();

    ProcessResult r = updater(*l, {"-U", "-d", kSerial, "-f", bird.string()});
    ASSERT_FALSE(r.timedOut) << r.out << r.err;
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Update time: ")) << r.out;
    EXPECT_EQ(flash(), image.firmware);
    // The device had no store entry: the record lands in its own entry, not in the working directory.
    EXPECT_TRUE(contains(settings(), "LATEST_TRANSFER=" + bird.string() + "\n")) << settings();
    EXPECT_FALSE(fs::exists(root / ".settings"));

    ProcessResult listing = updater(*l, {"-D", "-t", "TCPIP"});
    EXPECT_TRUE(contains(listing.out, "  2.11.0 (      1200)")) << listing.out;
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// After the reboot the module runs the image: it reports the build and version the
// image carries. A rebooting module closes its port for a moment, so the updater's
// wait ends as soon as the link drops; a module whose link never drops is waited
// for only a bounded number of passes.
TEST_F(Update, RebootedModuleRunsTheFlashedImageAndTheRebootWaitEndsWithTheLink) {
    Image image;
    image.build = 1300;
    image.version = "2.12.1";
    image.stampAt = 600;
    const fs::path bird = root / "in" / "fw.bird";
    ASSERT_TRUE(make_bird(bird, image));
    constexpr size_t kBound = 20;  // passes of the bounded wait
    for (bool keepsLink : {false, true}) {
        SCOPED_TRACE(keepsLink ? "reboot keeps the link" : "reboot drops the link");
        fs::remove_all(root / "flash");
        fs::create_directories(root / "flash");
        auto l = lab(keepsLink ? "reboot_keeps_link" : "", "", /*overrides=*/false);
        ASSERT_TRUE(l->ok()) << l->error();
        ProcessResult r = updater(*l, {"-U", "-d", kSerial, "-f", bird.string(), "-X", "0x400"});
        ASSERT_FALSE(r.timedOut) << r.out << r.err;
        EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
        EXPECT_EQ(flash(), flashed(image));
        const size_t passes = count(r.err, "Waiting for link to drop.\n");
        if (keepsLink)
            EXPECT_EQ(passes, kBound);
        else
            EXPECT_LT(passes, kBound) << "the dropped link went unnoticed";
        ProcessResult listing = updater(*l, {"-D", "-t", "TCPIP"});
        EXPECT_TRUE(contains(listing.out, "  2.12.1 (      1300)")) << listing.out;
    }
}

// The image as the module must hold it: the generic image with the serial number
// patched in (32 bits least significant first, and eight hex digits in the low
// bytes of a 16-bit text).
std::vector<uint8_t> patched(std::vector<uint8_t> firmware, uint32_t serial, size_t numberAt, size_t textAt) {
    for (int i = 0; i < 4; ++i) firmware[numberAt + i] = static_cast<uint8_t>(serial >> (8 * i));
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial);
    for (int i = 0; i < 8; ++i) firmware[textAt + 2 * i] = static_cast<uint8_t>(text[i]);
    return firmware;
}

TEST_F(Update, GetThenUpdateFromTheServerPatchesTheSerialNumberWithEitherTransferPath) {
    Image generic;
    generic.serial = "";
    generic.serialOffsets = "256:512";
    ASSERT_TRUE(make_bird(root / "catalog" / kSerial / "1200.bird", generic));
    const auto expected = patched(generic.firmware, 0x40F5849A, 256, 512);

    struct Case {
        const char* name;
        std::vector<std::string> extra;
    };
    for (const Case& c : {Case{"packets", {"-m", "0"}}, Case{"byte strings, pooled", {}}}) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root / "store");
        fs::remove_all(root / "flash");
        fs::create_directories(root / "flash");
        auto l = lab("uei_data features=0x80000000");
        ASSERT_TRUE(l->ok()) << l->error();
        HostServer server;
        ASSERT_TRUE(server.start(*l, root / "catalog"));
        std::vector<std::string> args = {"-G", "-U", "-d", kSerial, "-u", server.url()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        ProcessResult r = updater(*l, args);
        ASSERT_FALSE(r.timedOut) << r.out << r.err;
        EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
        EXPECT_EQ(flash(), expected);
        EXPECT_TRUE(contains(settings(), "LATEST_TRANSFER=1200.bird\n")) << settings();
    }
}

TEST_F(Update, BuildChoice) {
    Image served;
    served.build = 1300;
    ASSERT_TRUE(make_bird(root / "catalog" / kSerial / "1300.bird", served));
    Image i1200, i1300;
    i1300.build = 1300;
    i1300.firmware = pattern(1000, 13);
    const std::string download = "LATEST_DOWNLOAD=1200.bird\n", transfer = "LATEST_TRANSFER=1200.bird\n";
    const std::string notice = "New firmware is available.  Updater will proceed if valid firmware is found locally.";

    struct Case {
        const char* name;
        bool serverUp;
        bool stored1300;
        std::string settingsText;
        std::vector<std::string> extra;
        int status;
        const std::vector<uint8_t>* flashed;
        std::string shown;     // a line the run must show ("" for none)
        bool noticeShown;
    };
    const std::vector<Case> cases = {
        {"latest on the server and stored", true, true, download, {}, 0, &i1300.firmware, "", false},
        {"latest on the server not stored", true, false, download, {}, 0, &i1200.firmware,
         "Updating with the Latest Download", true},
        {"server unreachable", false, false, download, {}, 0, &i1200.firmware, "Updating with the Latest Download", false},
        {"only a transfer recorded", false, false, transfer, {}, 0, &i1200.firmware, "Updating with the Latest Transfer",
         false},
        {"build given", true, true, download, {"-b", "1200"}, 0, &i1200.firmware, "", false},
        {"nothing known", false, false, "", {}, 1, nullptr, "Could not find valid build for this device.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root / "store");
        fs::remove_all(root / "flash");
        fs::create_directories(root / "flash");
        const fs::path device = root / "store" / "updater" / kSerial;
        fs::create_directories(device);
        ASSERT_TRUE(make_bird(device / "1200.bird", i1200));
        if (c.stored1300) {
            ASSERT_TRUE(make_bird(device / "1300.bird", i1300));
        }
        std::ofstream(device / ".settings") << c.settingsText;

        auto l = lab("");
        ASSERT_TRUE(l->ok()) << l->error();
        HostServer server;
        std::string url = "http://127.0.0.1:1";
        if (c.serverUp) {
            ASSERT_TRUE(server.start(*l, root / "catalog"));
            url = server.url();
        }
        std::vector<std::string> args = {"-U", "-d", kSerial, "-u", url};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        ProcessResult r = updater(*l, args);
        const std::string all = r.out + r.err;
        EXPECT_EQ(r.exitStatus, c.status) << all;
        if (!c.shown.empty()) {
            EXPECT_TRUE(contains(all, c.shown)) << all;
        }
        EXPECT_EQ(contains(all, notice), c.noticeShown) << all;
        if (c.flashed) {
            EXPECT_EQ(flash(), *c.flashed);
        }
    }
}

TEST_F(Update, ImageForAnotherModuleIsRefusedBeforeTheLoader) {
    struct Case {
        const char* name;
        Image image;
        bool override;
        int status;
        std::string shown;
    };
    Image otherModel, otherSerial;
    otherModel.model = "VM-Core";
    otherSerial.serial = "11111111";
    const std::vector<Case> cases = {
        {"model mismatch", otherModel, false, 1,
         "Connected device model and Bird file model do not match [VM-Temp-4] (0)"},
        {"personalised for another serial number", otherSerial, false, 1, "Birdfile failed validation"},
        {"override lets it through", otherSerial, true, 0, "Update time: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path bird = root / "in" / "other.bird";
        ASSERT_TRUE(make_bird(bird, c.image));
        auto l = lab("");
        ASSERT_TRUE(l->ok()) << l->error();
        std::vector<std::string> args = {"-U", "-d", kSerial, "-f", bird.string()};
        if (c.override) args.push_back("-OVERRIDE");
        ProcessResult r = updater(*l, args);
        const std::string all = r.out + r.err;
        EXPECT_EQ(r.exitStatus, c.status) << all;
        EXPECT_TRUE(contains(all, c.shown)) << all;
        bool loaderTouched = false;
        for (const auto& e : l->sim().events_of(0x40F5849A)) loaderTouched |= e.rfind("upgrade-init", 0) == 0;
        EXPECT_EQ(loaderTouched, c.status == 0);
    }
}

TEST_F(Update, BlockRetriesShowEachRetryAndFiveFailuresEndTheUpdate) {
    Image image;
    const fs::path bird = root / "in" / "fw.bird";
    ASSERT_TRUE(make_bird(bird, image));
    {
        auto l = lab("bad_upgrade_sum=4");
        ASSERT_TRUE(l->ok()) << l->error();
        ProcessResult r = updater(*l, {"-U", "-d", kSerial, "-f", bird.string()});
        EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
        for (const char* retry : {"  Retry 1", "  Retry 2", "  Retry 3", "  Retry 4"})
            EXPECT_TRUE(contains(r.out, retry)) << retry << "\n" << r.out;
        EXPECT_FALSE(contains(r.out, "  Retry 5"));
        EXPECT_EQ(flash(), image.firmware);
    }
    fs::remove_all(root / "flash");
    fs::create_directories(root / "flash");
    {
        // Five wrong sums for the block: the update ends with the loader still
        // running; the module reports the right sum from then on, so a second run completes.
        auto l = lab("bad_upgrade_sum=5");
        ASSERT_TRUE(l->ok()) << l->error();
        ProcessResult r = updater(*l, {"-U", "-d", kSerial, "-f", bird.string()});
        EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
        EXPECT_FALSE(l->sim().wait_event("upgrade-reboot", 10ms));
        ProcessResult again = updater(*l, {"-U", "-d", kSerial, "-f", bird.string()});
        EXPECT_EQ(again.exitStatus, 0) << again.out << again.err;
        EXPECT_EQ(flash(), image.firmware);
    }
}

TEST_F(Update, ShortAcknowledgementAndSilentLoaderStartStillComplete) {
    Image image;
    const fs::path bird = root / "in" / "fw.bird";
    ASSERT_TRUE(make_bird(bird, image));
    for (const char* fault : {"short_ack", "no_load_reply"}) {
        SCOPED_TRACE(fault);
        fs::remove_all(root / "flash");
        fs::create_directories(root / "flash");
        auto l = lab(fault);
        ASSERT_TRUE(l->ok()) << l->error();
        ProcessResult r = updater(*l, {"-U", "-d", kSerial, "-f", bird.string(), "-X", "0x100"});
        EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
        EXPECT_EQ(flash(), image.firmware);
        if (std::string(fault) == "no_load_reply") {
            EXPECT_TRUE(contains(r.out + r.err, "NETWORK: Attempting to reconnect. Attempt: 1 of 5")) << r.out << r.err;
        }
    }
}

TEST_F(Update, ThroughARoutingModule) {
    Image image;
    image.serial = "1B0B0010";
    const fs::path bird = root / "in" / "bus.bird";
    ASSERT_TRUE(make_bird(bird, image));
    auto l = lab("", "router serial=52A0C0DE model=5 address=4 transport=tcp hb=0\n"
                     "bus serial=1B0B0010 model=19 address=0x10 version=2.10.4 build=16\n");
    ASSERT_TRUE(l->ok()) << l->error();

    ProcessResult r = updater(*l, {"-U", "-d", "1B0B0010", "-r", "52A0C0DE", "-f", bird.string()});
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_EQ(flash("1B0B0010"), image.firmware);

    ProcessResult absent = updater(*l, {"-U", "-d", "0BADBEEF", "-r", "52A0C0DE", "-f", bird.string()});
    EXPECT_EQ(absent.exitStatus, 1);
    EXPECT_TRUE(contains(absent.out + absent.err,
                         "Module address required for indirect firmware update, could not find serial number "
                         "[0x0BADBEEF] on network"))
        << absent.out << absent.err;
}

}  // namespace
