#include "sim/lpc/uucodec.h"

namespace lpcsim {

static char enc(unsigned v) {
    v &= 0x3F;
    return v == 0 ? '`' : static_cast<char>(v + 32);
}

static unsigned dec(char c) { return (static_cast<unsigned char>(c) - 32) & 0x3F; }

std::string uu_encode_line(const uint8_t* data, size_t count) {
    std::string line(1, enc(static_cast<unsigned>(count)));
    for (size_t i = 0; i < count; i += 3) {
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k) group = (group << 8) | (i + k < count ? data[i + k] : 0);
        line += enc(group >> 18);
        line += enc(group >> 12);
        line += enc(group >> 6);
        line += enc(group);
    }
    return line;
}

bool uu_decode_line(const std::string& line, std::vector<uint8_t>& out) {
    if (line.empty()) return false;
    size_t count = dec(line[0]);
    size_t need = 1 + (count + 2) / 3 * 4;
    if (line.size() < need) return false;
    for (size_t i = 0, pos = 1; i < count; pos += 4) {
        uint32_t group = (dec(line[pos]) << 18) | (dec(line[pos + 1]) << 12) |
                         (dec(line[pos + 2]) << 6) | dec(line[pos + 3]);
        for (int k = 2; k >= 0 && i < count; --k, ++i) out.push_back(static_cast<uint8_t>(group >> (8 * k)));
    }
    return true;
}

}  // namespace lpcsim
