#include "updater/KeyValueStore.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/Log.h"
#include "lib/unix/aFile.h"
#include "updater/AtomicFile.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

constexpr size_t kLineBuffer = 2048;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string trimmed(const char* begin, const char* end) {
    while (begin < end && isSpace(*begin)) ++begin;
    while (end > begin && isSpace(end[-1])) --end;
    return std::string(begin, end);
}

// The line an entry is saved as, or false when no line would read back as the
// same key and value. A key that begins with '#' would read as a comment, so it
// is written indented: the reader skips leading whitespace before the key, and
// older readers of these files do the same, so no new syntax is needed.
bool savedLine(const std::string& key, const std::string& value, std::string& line) {
    if (key.empty() || isSpace(key.front()) || isSpace(key.back()) ||
        key.find_first_of("=\n") != std::string::npos)
        return false;
    if (!value.empty() && (isSpace(value.front()) || isSpace(value.back()) || value.find('\n') != std::string::npos))
        return false;
    line.clear();
    if (key.front() == '#') line += ' ';
    line += key;
    line += '=';
    line += value;
    line += '\n';
    // A line longer than the reader's buffer is still written as it is: the file
    // keeps the value, and reading it skips that one line, as it always has.
    return true;
}

}  // namespace

KeyValueStore::KeyValueStore(const char* filePath) {
    if (filePath != nullptr) Load(filePath);
}

std::string KeyValueStore::TimeStamp() {
    std::time_t now = std::time(nullptr);
    char text[32] = {};
    if (ctime_r(&now, text) == nullptr) return {};
    size_t n = std::strlen(text);
    if (n > 0 && text[n - 1] == '\n') text[n - 1] = 0;
    return text;
}

const char* KeyValueStore::operator[](const std::string& key) const {
    auto it = entries.find(key);
    return it == entries.end() ? nullptr : it->second.c_str();
}

std::string& KeyValueStore::slot(const std::string& key) {
    return entries[key];  // an absent key is added with an empty value
}

int KeyValueStore::GetInt(const std::string& key, int defaultValue) {
    const std::string& v = slot(key);
    if (v.empty()) return defaultValue;
    long long n = std::strtoll(v.c_str(), nullptr, 10);
    return int(n < INT_MIN ? INT_MIN : n > INT_MAX ? INT_MAX : n);
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t defaultValue) {
    const std::string& v = slot(key);
    if (v.empty()) return defaultValue;
    unsigned long long n = std::strtoull(v.c_str(), nullptr, 16);
    return n > UINT32_MAX ? UINT32_MAX : uint32_t(n);
}

bool KeyValueStore::GetBOOL(const std::string& key, bool defaultValue) {
    const std::string& v = slot(key);
    if (v.empty()) return defaultValue;
    return std::strtoll(v.c_str(), nullptr, 10) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double defaultValue) {
    const std::string& v = slot(key);
    if (v.empty()) return defaultValue;
    return std::strtod(v.c_str(), nullptr);
}

std::string KeyValueStore::GetString(const std::string& key, const char* defaultValue) const {
    auto it = entries.find(key);
    if (it != entries.end()) return it->second;
    return defaultValue ? defaultValue : "";
}

bool KeyValueStore::Add(const std::string& key, const std::string& value) {
    std::string& current = entries[key];
    if (current != value) modified = true;
    current = value;
    return true;
}

bool KeyValueStore::Add(const std::string& key, const char* value) {
    return Add(key, std::string(value ? value : ""));
}

bool KeyValueStore::Add(const std::string& key, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::Add(const std::string& key, double value) {
    char text[400];
    std::snprintf(text, sizeof text, "%f", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const std::string& key, uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    if (&other == this) return true;
    for (const auto& [k, v] : other.entries) entries[k] = v;
    if (!other.entries.empty()) modified = true;
    return true;
}

bool KeyValueStore::Clear() {
    entries.clear();
    modified = true;
    return true;
}

void KeyValueStore::parseLine(const char* line, size_t length) {
    if (length < 3 || line[0] == '#') return;
    const char* end = line + length;
    const char* p = line;
    while (p < end && isSpace(*p)) ++p;
    const char* eq = static_cast<const char*>(std::memchr(p, '=', size_t(end - p)));
    std::string key = trimmed(p, eq ? eq : end);
    // A line without a key cannot be written back meaningfully; it is skipped.
    if (key.empty()) return;
    entries[key] = eq ? trimmed(eq + 1, end) : std::string();
}

void KeyValueStore::Load(const char* filePath) {
    if (filePath == nullptr) return;
    aFileRef file = aFile_Open(filePath, aFileModeReadOnly);
    if (file == nullptr) {
        Log::log(Log::DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", filePath, errno);
        Add(KEY_CREATED_TIME, TimeStamp());
        Save(filePath);
        return;
    }
    path = filePath;
    modified = false;

    char line[kLineBuffer];
    size_t length = 0;
    bool skipping = false;  // inside the rest of an overlong line
    for (;;) {
        aErr err = aFile_ReadLine(file, line, sizeof line, &length);
        if (err == aErrOverrun) {
            // A line longer than the buffer is dropped whole; the entries after it
            // are still read, so the next save does not lose them.
            if (!skipping)
                Log::log(Log::DEBUG_Attributes, "Attibutes: skipping overlong line in '%s'\n", filePath);
            skipping = true;
            continue;
        }
        if (err != aErrNone) break;
        if (skipping) {
            skipping = false;  // this chunk ends the overlong line
            continue;
        }
        parseLine(line, length);
    }
    aFile_Close(&file);
}

void KeyValueStore::Save(const char* filePath) {
    if (filePath != nullptr) {
        path = filePath;
    } else if (path.empty()) {
        path = DEFAULT_FILENAME;
        Log::log(Log::DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
                 path.c_str());
    }
    if (modified) Add(KEY_UPDATED_TIME, TimeStamp());

    std::string text, line;
    for (const auto& [k, v] : entries) {
        // An entry that would come back altered, or as a different entry, is not
        // written: a value with a line break would otherwise inject a line of its own.
        if (!savedLine(k, v, line)) {
            Log::log(Log::DEBUG_Attributes, "Attibutes: entry '%s' cannot be stored in '%s', left out\n", k.c_str(),
                     path.c_str());
            continue;
        }
        text += line;
    }
    int sysError = 0;
    aErr err = AtomicFile_Write(path, reinterpret_cast<const uint8_t*>(text.data()), text.size(), &sysError);
    if (err == aErrNotFound) {
        Log::log(Log::DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path.c_str(), sysError);
        return;
    }
    if (err != aErrNone) {
        Log::log(Log::DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n", path.c_str(),
                 sysError);
        return;
    }
    modified = false;
}
