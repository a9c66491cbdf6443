#pragma once
// The local store: one directory per device (named by its serial number as eight
// upper-case hex digits) under a root, holding the device's attributes file
// ".settings" and the BIRD files downloaded for it ("<build>.bird").
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/common/aError.h"
#include "updater/BirdFile.h"
#include "updater/KeyValueStore.h"

enum store_item_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,
};

// One entry of the tree (a device directory or a file in it) with its attributes,
// loaded from parent/name/.settings. Items are plain values.
class UpdaterStoreItem {
public:
    UpdaterStoreItem();
    UpdaterStoreItem(const std::string& parent, const std::string& name, store_item_t kind);

    bool IsValid() const { return !parent.empty() && !name.empty(); }
    // parent/name
    std::string Path() const;

    // Replaces parent/name/fileName whole with the bytes. aErrNotFound for null data
    // or a file that cannot be created, aErrIO when the bytes could not all be written.
    aErr WriteFile(const std::string& fileName, const uint8_t* data, size_t length) const;
    // Throws std::runtime_error("Invalid bird <path>") when the header test fails, or
    // the load error of BirdFile.
    BirdFile ReadBirdFile(const std::string& fileName) const;
    // True when the item's directory holds an entry of exactly that name.
    bool FileExists(const std::string& fileName) const;

    std::string parent;
    std::string name;
    store_item_t kind;
    KeyValueStore attributes;
};

// What a device or file search looks for and what it found.
struct result_t {
    bool found = false;
    std::string search;
    UpdaterStoreItem* item = nullptr;
};

class UpdaterStore {
public:
    // Ensures the root directory; throws std::runtime_error when it cannot.
    explicit UpdaterStore(const std::string& root);

    const std::string& BasePath() const { return root; }

    // Ensures root/SERIAL (throws std::runtime_error when it cannot) and returns its item.
    UpdaterStoreItem AddDevice(uint32_t serialNumber);
    UpdaterStoreItem AddDevice(const std::string& name);

    bool FindDevice(uint32_t serialNumber, UpdaterStoreItem& item);
    bool FindDevice(const std::string& name, UpdaterStoreItem& item);

    // Appends one item per entry of the device's directory not beginning with ".".
    bool FindLocalBuilds(uint32_t serialNumber, std::vector<UpdaterStoreItem>& items);

private:
    std::string root;
};
