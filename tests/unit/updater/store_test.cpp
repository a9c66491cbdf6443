// The local store: layout on disk, device and file search, writing and reading
// BIRD files, and the errors of a root or device path that cannot be a directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "tests/unit/updater/bird_test_support.h"
#include "updater/UpdaterStore.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

bool isDirectory(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

void touch(const std::string& p, const std::string& text = "x") {
    std::ofstream(p) << text;
}

std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no error)";
}

std::vector<uint8_t> smallBird(uint32_t build) {
    birdwriter::BirdSpec spec;
    spec.blocks.push_back(birdwriter::descriptorBlock(build, "1.0.0", 0xABCD, "HUB"));
    spec.blocks.push_back(birdwriter::firmwareBlock(0, std::vector<uint8_t>(64, uint8_t(build))));
    return birdwriter::make_bird(spec);
}

}  // namespace

TEST(Store, RootIsCreatedThenReused) {
    ScratchDir dir;
    std::string root = dir.file("a/b/updater");
    {
        LogCapture log(Log::DEBUG_Updater);
        UpdaterStore store(root);
        EXPECT_EQ(store.BasePath(), root);
        EXPECT_TRUE(isDirectory(root));
        EXPECT_THAT(log.text(), HasSubstr("UpdaterStore: Created directory [" + root + "].\n"));
    }
    LogCapture log(Log::DEBUG_Updater);
    UpdaterStore again(root);
    EXPECT_THAT(log.text(), HasSubstr("UpdaterStore: [" + root + "] already exists.\n"));
}

TEST(Store, PathsThatCannotBeDirectories) {
    ScratchDir dir;
    touch(dir.file("plain"));
    struct Case {
        const char* name;
        std::function<void()> action;
        std::string error;
    } cases[] = {
        {"root is a plain file", [&] { UpdaterStore s(dir.file("plain")); },
         "UpdaterStore: " + dir.file("plain") + " exists and is a file"},
        {"root below a plain file", [&] { UpdaterStore s(dir.file("plain/store")); },
         "UpdaterStore: Could not create directory " + dir.file("plain/store") + " error 12"},
        {"device entry is a plain file",
         [&] {
             UpdaterStore s(dir.path());
             touch(dir.file("0000ABCD"));
             s.AddDevice(0xABCD);
         },
         "UpdaterStore: " + dir.file("0000ABCD") + " exists and is a file"},
        {"device directory cannot be created",
         [&] {
             UpdaterStore s(dir.path());
             s.AddDevice("plain/12345678");
         },
         "UpdaterStore: Could not create directory " + dir.file("plain/12345678") + " error 12"},
    };
    for (const Case& c : cases) EXPECT_EQ(errorOf(c.action), c.error) << c.name;
}

TEST(Store, AddAndFindDevice) {
    ScratchDir dir;
    UpdaterStore store(dir.path());
    EXPECT_FALSE(UpdaterStoreItem().IsValid());
    EXPECT_EQ(UpdaterStoreItem().kind, STORE_ITEM_NONE);

    UpdaterStoreItem added = store.AddDevice(0xABCD);
    EXPECT_TRUE(added.IsValid());
    EXPECT_EQ(added.parent, dir.path());
    EXPECT_EQ(added.name, "0000ABCD");
    EXPECT_EQ(added.kind, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(isDirectory(dir.file("0000ABCD")));
    std::ifstream settings(dir.file("0000ABCD/.settings"));
    std::string line1, line2, line3;
    std::getline(settings, line1);
    std::getline(settings, line2);
    EXPECT_THAT(line1, StartsWith("CREATED_TIME="));
    EXPECT_THAT(line2, StartsWith("UPDATED_TIME="));
    EXPECT_FALSE(std::getline(settings, line3));
    EXPECT_NE(added.attributes["CREATED_TIME"], nullptr);

    // The attributes belong to the device and survive a round trip through the item.
    added.attributes.Add("LATEST_DOWNLOAD", "1200.bird");
    added.attributes.Save();

    UpdaterStoreItem found;
    LogCapture log(Log::DEBUG_Updater);
    ASSERT_TRUE(store.FindDevice(0xABCD, found));
    EXPECT_THAT(log.text(), HasSubstr("UpdaterStore: FindDevice Found 0000ABCD.\n"));
    EXPECT_THAT(log.text(), HasSubstr("_find_item([" + dir.file("0000ABCD") + "], 1, "));
    EXPECT_EQ(found.parent, dir.path());
    EXPECT_EQ(found.name, "0000ABCD");
    EXPECT_EQ(found.kind, STORE_ITEM_DIRECTORY);
    EXPECT_EQ(found.attributes.GetString("LATEST_DOWNLOAD"), "1200.bird");

    // Adding again reuses the directory and its attributes.
    EXPECT_EQ(store.AddDevice(0xABCD).attributes.GetString("LATEST_DOWNLOAD"), "1200.bird");

    UpdaterStoreItem missing;
    EXPECT_FALSE(store.FindDevice(0x1234, missing));
    EXPECT_THAT(log.text(), HasSubstr("UpdaterStore: FindDevice Not Found 00001234.\n"));
    EXPECT_FALSE(missing.IsValid());
}

TEST(Store, SearchComparesTheEntryNameOnly) {
    // A root whose own path contains a serial number must not make every entry match it.
    ScratchDir dir;
    std::string root = dir.file("0000ABCD-store");
    UpdaterStore store(root);
    UpdaterStoreItem other = store.AddDevice(0x11111111);
    touch(root + "/11111111/0000ABCD.bird.bak");

    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0xABCD, item));
    EXPECT_FALSE(store.FindDevice("ABCD", item)) << "part of a name is not the name";
    EXPECT_TRUE(store.FindDevice(0x11111111, item));
    EXPECT_EQ(item.name, "11111111");

    other.WriteFile("1200.bird", smallBird(1200).data(), smallBird(1200).size());
    EXPECT_TRUE(other.FileExists("1200.bird"));
    EXPECT_FALSE(other.FileExists("1200"));
    EXPECT_FALSE(other.FileExists("0000ABCD"));
    EXPECT_FALSE(other.FileExists("11111111"));
}

TEST(Store, FindLocalBuildsSkipsDotFiles) {
    ScratchDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(0xABCD);
    for (uint32_t build : {1200u, 1300u}) {
        std::vector<uint8_t> bird = smallBird(build);
        ASSERT_EQ(device.WriteFile(std::to_string(build) + ".bird", bird.data(), bird.size()), aErrNone);
    }
    touch(dir.file("0000ABCD/.1200.bird.tmp-left-by-a-crash"));

    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0xABCD, items));
    ASSERT_EQ(items.size(), 2u);
    std::vector<std::string> names{items[0].name, items[1].name};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"1200.bird", "1300.bird"}));
    for (const UpdaterStoreItem& it : items) {
        EXPECT_EQ(it.kind, STORE_ITEM_FILE);
        EXPECT_EQ(it.parent, dir.file("0000ABCD"));
        EXPECT_NE(it.attributes["CREATED_TIME"], nullptr) << "held in memory only";
        EXPECT_FALSE(exists(it.Path() + "/.settings"));
    }

    std::vector<UpdaterStoreItem> none{UpdaterStoreItem()};
    EXPECT_TRUE(store.FindLocalBuilds(0x5555, none));
    EXPECT_EQ(none.size(), 1u) << "an unknown device leaves the list as it was";
}

TEST(Store, WriteAndReadBirdFiles) {
    ScratchDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(0xABCD);
    std::string path = dir.file("0000ABCD/1200.bird");

    EXPECT_EQ(device.WriteFile("1200.bird", nullptr, 10), aErrNotFound);
    EXPECT_FALSE(exists(path));

    std::vector<uint8_t> first = smallBird(1200), second = smallBird(1201);
    ASSERT_EQ(device.WriteFile("1200.bird", first.data(), first.size()), aErrNone);
    ASSERT_EQ(device.WriteFile("1200.bird", second.data(), second.size()), aErrNone);
    BirdFile bird = device.ReadBirdFile("1200.bird");
    EXPECT_EQ(bird.GetBuild(), 1201u);
    EXPECT_EQ(bird.path, path);

    UpdaterStoreItem gone(dir.path(), "FFFFFFFF", STORE_ITEM_DIRECTORY);  // directory never made
    EXPECT_EQ(gone.WriteFile("1.bird", first.data(), first.size()), aErrNotFound);

    touch(dir.file("0000ABCD/bad.bird"), "BIRD\x01\x01 not a bird file");
    EXPECT_EQ(errorOf([&] { device.ReadBirdFile("bad.bird"); }), "Invalid bird " + dir.file("0000ABCD/bad.bird"));
    EXPECT_EQ(errorOf([&] { device.ReadBirdFile("none.bird"); }), "Invalid bird " + dir.file("0000ABCD/none.bird"));
    touch(dir.file("0000ABCD/trunc.bird"), std::string("bird\x01\x01\x78", 7));
    EXPECT_EQ(errorOf([&] { device.ReadBirdFile("trunc.bird"); }), "Failed to load bird data");
}

TEST(Store, ItemsAreValues) {
    ScratchDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem a = store.AddDevice(0x1);
    a.attributes.Add("K", 1);
    UpdaterStoreItem b = a;
    b.attributes.Add("K", 2);
    EXPECT_STREQ(a.attributes["K"], "1");
    EXPECT_STREQ(b.attributes["K"], "2");
    EXPECT_EQ(b.attributes.Path(), a.attributes.Path());
    EXPECT_TRUE(b.attributes.IsModified());
}
