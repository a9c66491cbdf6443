#pragma once
// A small persistent dictionary of text keys and values kept as "key=value" lines:
// one per device in the local store, recording what the updater did to it.
#include <cstdint>
#include <map>
#include <string>

class KeyValueStore {
public:
    static const char* const DEFAULT_FILENAME;  // ".settings"
    static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
    static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"

    // Loads the file when a path is given.
    explicit KeyValueStore(const char* path = nullptr);
    ~KeyValueStore() = default;
    KeyValueStore(const KeyValueStore&) = default;
    KeyValueStore& operator=(const KeyValueStore&) = default;

    // The stored value, or null when absent; never adds the key.
    const char* operator[](const std::string& key) const;

    // Typed reads give the default for an absent or empty value. An absent key is
    // added with an empty value (without marking the store modified), so the next
    // Save writes it as "key=".
    int GetInt(const std::string& key, int defaultValue = 0);
    uint32_t GetHex(const std::string& key, uint32_t defaultValue = 0);
    bool GetBOOL(const std::string& key, bool defaultValue = false);
    double GetDouble(const std::string& key, double defaultValue = 0.0);
    // The value when present (even empty), else the default; never adds the key.
    std::string GetString(const std::string& key, const char* defaultValue = nullptr) const;

    bool Add(const std::string& key, int value);            // "%d"
    bool Add(const std::string& key, double value);         // "%f"
    bool Add(const std::string& key, const char* value);
    bool Add(const std::string& key, const std::string& value);
    bool AddHex(const std::string& key, uint32_t value);    // "0x%08X"
    bool Add(const KeyValueStore& other);
    bool Clear();

    void Load(const char* path);
    void Load(const std::string& path) { Load(path.c_str()); }
    // Writes every entry in key order, stamping the updated time when modified. The
    // file is replaced whole: a crash or a full disk leaves the previous file intact.
    void Save(const char* path = nullptr);
    void Save(const std::string& path) { Save(path.c_str()); }

    const std::string& Path() const { return path; }
    bool IsModified() const { return modified; }
    const std::map<std::string, std::string>& Entries() const { return entries; }

    // Local time in the 24-character form of ctime, without its newline.
    static std::string TimeStamp();

private:
    std::string& slot(const std::string& key);
    void parseLine(const char* line, size_t length);

    std::string path;
    std::map<std::string, std::string> entries;
    bool modified = false;
};
