#include "updater/UpdaterStore.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "app/Log.h"
#include "lib/unix/aDirectory.h"
#include "updater/AtomicFile.h"
#include "updater/path.h"

namespace {

std::string baseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void ensureDirectory(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        aErr err = aDirectory_Ensure(path.c_str(), 0755);
        if (err != aErrNone)
            throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                     std::to_string(int(err)));
        Log::log(Log::DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
        return;
    }
    if (!S_ISDIR(st.st_mode)) throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    Log::log(Log::DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
}

std::string serialName(uint32_t serialNumber) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serialNumber);
    return text;
}

// Searches one directory for an entry whose own name is the searched text. Only
// the name is compared: a store kept under a path that happens to contain a serial
// number must not match every entry.
struct FindItem {
    result_t* result;
};

bool findItemProc(const aDirectoryListData* entry, void* ref) {
    result_t* result = static_cast<FindItem*>(ref)->result;
    Log::log(Log::DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             int(entry->isDirectory), int(entry->size), result->search.c_str());
    std::string full = entry->path;
    std::string name = baseName(full);
    if (name == "." || name == ".." || name != result->search) return true;
    result->found = true;
    if (result->item != nullptr) {
        size_t slash = full.rfind('/');
        std::string parent = slash == std::string::npos ? std::string() : full.substr(0, slash);
        *result->item =
            UpdaterStoreItem(parent, name, entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    }
    return false;
}

bool findItem(const std::string& directory, result_t& result) {
    FindItem ref{&result};
    aDirectory_List(directory.c_str(), findItemProc, &ref);
    return result.found;
}

struct FindItems {
    std::string directory;
    std::vector<UpdaterStoreItem>* items;
};

bool findItemsProc(const aDirectoryListData* entry, void* ref) {
    auto* find = static_cast<FindItems*>(ref);
    Log::log(Log::DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, int(entry->isDirectory),
             int(entry->size));
    std::string name = baseName(entry->path);
    if (name.empty() || name[0] == '.') return true;  // ".", ".." and hidden files such as .settings
    find->items->push_back(
        UpdaterStoreItem(find->directory, name, entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE));
    return true;
}

}  // namespace

UpdaterStoreItem::UpdaterStoreItem() : kind(STORE_ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const std::string& parentPath, const std::string& entryName, store_item_t k)
    : parent(parentPath), name(entryName), kind(k) {
    attributes.Load(BuildPath({parent, name, KeyValueStore::DEFAULT_FILENAME}));
}

std::string UpdaterStoreItem::Path() const {
    return BuildPath({parent, name});
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const uint8_t* data, size_t length) const {
    if (data == nullptr) return aErrNotFound;
    std::string path = BuildPath({parent, name, fileName});
    int sysError = 0;
    aErr err = AtomicFile_Write(path, data, length, &sysError);
    if (err != aErrNone)
        Log::log(Log::DEBUG_Updater, "UpdaterStore: writing %s failed (%d, errno %d)\n", path.c_str(), int(err),
                 sysError);
    return err;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const {
    std::string path = BuildPath({parent, name, fileName});
    if (!BirdFile::VerifyFile(path)) throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path);
}

bool UpdaterStoreItem::FileExists(const std::string& fileName) const {
    result_t result;
    result.search = fileName;
    return findItem(Path(), result);
}

UpdaterStore::UpdaterStore(const std::string& rootPath) : root(rootPath) {
    ensureDirectory(root);
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serialNumber) {
    return AddDevice(serialName(serialNumber));
}

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name) {
    ensureDirectory(BuildPath({root, name}));
    return UpdaterStoreItem(root, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serialNumber, UpdaterStoreItem& item) {
    return FindDevice(serialName(serialNumber), item);
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem& item) {
    result_t result;
    result.search = name;
    result.item = &item;
    bool found = findItem(root, result);
    Log::log(Log::DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found", name.c_str());
    return found;
}

bool UpdaterStore::FindLocalBuilds(uint32_t serialNumber, std::vector<UpdaterStoreItem>& items) {
    UpdaterStoreItem device;
    if (!FindDevice(serialNumber, device)) return true;
    FindItems find{device.Path(), &items};
    aDirectory_List(find.directory.c_str(), findItemsProc, &find);
    return true;
}
