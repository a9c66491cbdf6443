// Loads arbitrary bytes as a device's attributes file, saves what was read and
// loads it again. Every entry that survives the round trip must come back with
// the value it had, and every entry read must come back: a save must never
// invent, alter or lose an entry.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "updater/KeyValueStore.h"

namespace {

// Scratch files of this process, on a memory file system when there is one so the
// durable replace of Save costs nothing.
const std::string& scratch(const char* suffix) {
    static std::string base = [] {
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(dir) + "/fuzz_kvstore_" + std::to_string(getpid());
    }();
    static std::string in = base + ".in", out = base + ".out";
    static bool cleanup = [] {
        std::atexit([] {
            std::remove(in.c_str());
            std::remove(out.c_str());
        });
        return true;
    }();
    (void)cleanup;
    return suffix[0] == 'i' ? in : out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& in = scratch("in");
    const std::string& out = scratch("out");
    FILE* f = std::fopen(in.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    KeyValueStore store(in.c_str());
    if (store.IsModified()) std::abort();  // loading an existing file changes nothing
    store.Save(out);
    KeyValueStore again(out.c_str());
    for (const auto& [key, value] : again.Entries()) {
        auto before = store.Entries().find(key);
        if (before == store.Entries().end() || value != before->second) std::abort();
    }
    // Nor may it lose one, unless its line (indented when the key begins with '#')
    // grew past the reader's 2047 characters: a last line read without its newline.
    for (const auto& [key, value] : store.Entries()) {
        const size_t line = key.size() + value.size() + 2 + (key[0] == '#' ? 1 : 0);
        if (line < 2048 && again.Entries().count(key) == 0) std::abort();
    }

    // The typed reads over every key, on a copy: they add absent keys.
    KeyValueStore reader(store);
    for (const auto& [key, value] : store.Entries()) {
        (void)reader.GetInt(key, -1);
        (void)reader.GetHex(key, 1);
        (void)reader.GetBOOL(key, true);
        (void)reader.GetDouble(key, 0.5);
        if (reader.GetString(key) != value) std::abort();
    }
    return 0;
}
