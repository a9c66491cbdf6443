#pragma once
// Writes small BIRD files for recovery tests: blocks, a descriptor, firmware encoded
// for one chip's fingerprint, all in a zlib stream of stored (uncompressed) blocks.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace lpcbird {

enum : uint8_t { LOADER = 0, FIRMWARE = 1, SERIAL_OFFSETS = 2, DESCRIPTOR = 4 };

struct Block {
    uint8_t type;
    std::vector<uint8_t> data;
};

inline void be32(std::vector<uint8_t>& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
}

// The image bytes as they sit in a recovery file for the chip with this fingerprint:
// decoding XORs each byte with the key and with the previous decoded byte.
inline std::vector<uint8_t> encodeForChip(const std::vector<uint8_t>& image, const uint32_t fingerprint[4]) {
    std::vector<uint8_t> key;
    for (int w = 0; w < 4; ++w) be32(key, fingerprint[w]);
    std::vector<uint8_t> out(image.size());
    uint8_t previous = 0;
    for (size_t i = 0; i < image.size(); ++i) {
        out[i] = uint8_t(image[i] ^ key[i % 16] ^ previous);
        previous = image[i];
    }
    return out;
}

inline Block firmware(uint32_t address, const std::vector<uint8_t>& image) {
    Block b{FIRMWARE, {}};
    be32(b.data, address);
    b.data.insert(b.data.end(), image.begin(), image.end());
    return b;
}

inline Block descriptor(uint32_t build, const std::string& version, uint32_t serial, const std::string& model) {
    auto field = [](std::string text) {
        text.resize(16, ' ');
        return text;
    };
    char sn[16];
    std::snprintf(sn, sizeof sn, "%08X", serial);
    std::string text = field(std::to_string(build)) + field(version) + field(sn) + field(model);
    return Block{DESCRIPTOR, std::vector<uint8_t>(text.begin(), text.end())};
}

inline Block serialOffsets(uint32_t serialAddress, uint32_t descriptorAddress) {
    Block b{SERIAL_OFFSETS, {}};
    be32(b.data, serialAddress);
    be32(b.data, descriptorAddress);
    return b;
}

// zlib container around deflate "stored" blocks; any inflater reads it.
inline std::vector<uint8_t> zlibStored(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out{0x78, 0x01};
    size_t pos = 0;
    do {
        size_t n = std::min<size_t>(65535, data.size() - pos);
        bool last = pos + n == data.size();
        out.push_back(last ? 1 : 0);
        out.push_back(uint8_t(n));
        out.push_back(uint8_t(n >> 8));
        out.push_back(uint8_t(~n));
        out.push_back(uint8_t(~n >> 8));
        out.insert(out.end(), data.begin() + long(pos), data.begin() + long(pos + n));
        pos += n;
    } while (pos < data.size());
    uint32_t a = 1, b = 0;
    for (uint8_t c : data) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    be32(out, b << 16 | a);
    return out;
}

inline std::vector<uint8_t> bird(const std::vector<Block>& blocks) {
    std::vector<uint8_t> payload;
    be32(payload, uint32_t(blocks.size()));
    for (const Block& b : blocks) {
        payload.push_back(b.type);
        be32(payload, uint32_t(b.data.size()));
        payload.insert(payload.end(), b.data.begin(), b.data.end());
    }
    be32(payload, 0);  // file checksum: read, never verified
    std::vector<uint8_t> file{'b', 'i', 'r', 'd', 1, 1};
    auto z = zlibStored(payload);
    file.insert(file.end(), z.begin(), z.end());
    return file;
}

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
}

}  // namespace lpcbird
