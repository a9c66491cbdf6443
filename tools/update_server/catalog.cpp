#include "tools/update_server/catalog.h"

#include <dirent.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <tuple>

namespace update_server {

namespace {

uint32_t be32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

std::string trim_field(const char* p) {
    std::string s(p, 16);
    size_t end = s.find(' ');
    if (end != std::string::npos) s.erase(end);
    return s;
}

// Inflates the payload and reads the first descriptor block; false when the file is
// not a BIRD file at all.
bool read_descriptor(const std::string& path, Build& build) {
    std::string file;
    if (!Catalog::readFile(path, file) || file.size() < 6 || file.compare(0, 4, "bird") != 0) return false;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef*>(file.data() + 6);
    z.avail_in = static_cast<uInt>(file.size() - 6);
    std::string payload;
    unsigned char chunk[1 << 16];
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        payload.append(reinterpret_cast<char*>(chunk), sizeof chunk - z.avail_out);
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(payload.data());
    size_t pos = 4;
    while (pos + 5 <= payload.size()) {
        uint8_t type = p[pos] & 0x1F;
        uint32_t len = be32(p + pos + 1);
        if (len > payload.size() - pos - 5) break;
        if (type == 4 && len >= 64) {
            const char* d = payload.data() + pos + 5;
            build.number = static_cast<uint32_t>(std::strtoul(std::string(d, 16).c_str(), nullptr, 10));
            build.version = trim_field(d + 16);
            std::string model(d + 48, 16);
            model.erase(model.find_last_not_of(' ') + 1);
            build.model = model;
            return true;
        }
        pos += 5 + len;
    }
    return true;
}

struct CacheKey {
    std::string path;
    off_t size;
    time_t mtime;
    bool operator<(const CacheKey& o) const {
        return std::tie(path, size, mtime) < std::tie(o.path, o.size, o.mtime);
    }
};

std::mutex cache_mutex;
std::map<CacheKey, std::optional<Build>> cache;

std::optional<Build> describe(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    CacheKey key{path, st.st_size, st.st_mtime};
    {
        std::lock_guard<std::mutex> lock(cache_mutex);
        auto it = cache.find(key);
        if (it != cache.end()) return it->second;
    }
    Build b;
    b.path = path;
    std::optional<Build> result;
    if (read_descriptor(path, b)) {
        if (b.number == 0) {
            // No descriptor: the file name gives the build number.
            std::string name = path.substr(path.find_last_of('/') + 1);
            b.number = static_cast<uint32_t>(std::strtoul(name.c_str(), nullptr, 10));
        }
        result = b;
    }
    std::lock_guard<std::mutex> lock(cache_mutex);
    cache[key] = result;
    return result;
}

std::vector<int> version_numbers(const std::string& v) {
    std::vector<int> out;
    std::stringstream s(v);
    std::string part;
    while (std::getline(s, part, '.')) out.push_back(std::atoi(part.c_str()));
    return out;
}

}  // namespace

std::optional<std::string> normalise_serial(const std::string& text) {
    if (text.empty() || text.size() > 8 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::nullopt;
    char out[16];
    std::snprintf(out, sizeof out, "%08lX", std::strtoul(text.c_str(), nullptr, 16));
    return std::string(out);
}

bool Catalog::readFile(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    bytes = s.str();
    return true;
}

namespace {

bool scan_folder(const std::string& dir, std::vector<Build>& out) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return false;
    std::vector<Build> found;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".bird") != 0) continue;
        if (auto b = describe(dir + "/" + name)) found.push_back(*b);
    }
    ::closedir(d);
    std::sort(found.begin(), found.end(), [](const Build& a, const Build& b) { return a.number < b.number; });
    out.insert(out.end(), found.begin(), found.end());
    return true;
}

}  // namespace

std::optional<std::vector<Build>> Catalog::builds(const std::string& serial, bool includeHidden) const {
    const std::string dir = root_ + "/" + serial;
    std::vector<Build> out;
    if (!scan_folder(dir, out)) return std::nullopt;
    if (includeHidden) scan_folder(dir + "/hidden", out);
    return out;
}

std::optional<Build> Catalog::latest(const std::vector<Build>& builds) {
    const Build* best = nullptr;
    for (const Build& b : builds) {
        if (best == nullptr) {
            best = &b;
            continue;
        }
        auto vb = version_numbers(b.version), vbest = version_numbers(best->version);
        if (vb > vbest || (vb == vbest && b.number > best->number)) best = &b;
    }
    if (best == nullptr) return std::nullopt;
    return *best;
}

std::optional<std::string> Catalog::token(const std::string& serial) const {
    std::string text;
    if (!readFile(root_ + "/" + serial + "/token", text)) return std::nullopt;
    text = text.substr(0, text.find_first_of("\r\n"));
    if (text.empty()) return std::nullopt;
    return text;
}

bool Catalog::recovery(const uint32_t words[4], uint32_t& serial, uint32_t& build) const {
    std::ifstream in(root_ + "/fingerprints");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream s(line);
        std::string w[4], sn, bld;
        if (!(s >> w[0] >> w[1] >> w[2] >> w[3] >> sn >> bld)) continue;
        bool match = true;
        for (int i = 0; i < 4; ++i) match = match && std::strtoul(w[i].c_str(), nullptr, 16) == words[i];
        if (!match) continue;
        serial = static_cast<uint32_t>(std::strtoul(sn.c_str(), nullptr, 16));
        build = static_cast<uint32_t>(std::strtoul(bld.c_str(), nullptr, 10));
        return true;
    }
    return false;
}

}  // namespace update_server
