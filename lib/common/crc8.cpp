#include "lib/common/crc8.h"

#include <array>

namespace {

constexpr std::array<uint8_t, 256> makeTable()
{
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint8_t crc = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint8_t, 256> kTable = makeTable();

} // namespace

uint8_t crc8_update(uint8_t crc, uint8_t byte)
{
    return kTable[crc ^ byte];
}

uint8_t crc8_create(const uint8_t* bytes, size_t n)
{
    uint8_t crc = 0;
    for (size_t i = 0; bytes && i < n; ++i)
        crc = crc8_update(crc, bytes[i]);
    return crc;
}

bool crc8_check(const uint8_t* bytes, size_t n, uint8_t expected)
{
    return crc8_create(bytes, n) == expected;
}
