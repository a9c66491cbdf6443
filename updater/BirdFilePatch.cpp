// In-memory changes to a loaded BIRD file before a transfer (serial number, LPC
// vector checksum, per-chip decoding) and the diagnostic hex dump.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "app/Log.h"
#include "updater/BirdFile.h"

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void putLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

}  // namespace

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial);
    bool result = false;
    for (BirdBlock& b : blocks) {
        if (b.type != BLOCK_FIRMWARE || b.length < 4) continue;
        // Addresses are compared in 64 bits so that a patch address near the top of
        // the address space cannot wrap into the block.
        const long long A = b.address, L = b.length;
        const long long imageEnd = A + L - 4;
        if (serialNumberOffset != 0) {
            result = true;
            const long long S = serialNumberOffset;
            const long long P = S - A + 4;
            if (S + 4 <= imageEnd && P >= 0) {
                Log::log(Log::DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         le32(b.data + P), serial);
                putLe32(b.data + P, serial);
            }
        }
        if (descriptorOffset != 0) {
            const long long D = descriptorOffset;
            const long long P = D - A + 4;
            if (D + 16 <= imageEnd && P >= 0) {
                // Low bytes of eight 16-bit little-endian characters.
                for (int i = 0; i < 8; ++i) b.data[P + 2 * i] = uint8_t(text[i]);
                result = true;
            }
        }
    }
    return result;
}

bool BirdFile::ReplaceVectorChecksum() {
    for (BirdBlock& b : blocks) {
        if (b.type != BLOCK_FIRMWARE || b.address != 0) continue;
        if (b.length < 4 + 32) continue;  // too short to hold a vector table
        uint8_t* table = b.data + 4;
        uint32_t sum = 0;
        for (int i = 0; i < 7; ++i) sum += le32(table + 4 * i);
        uint32_t old = le32(table + 28);
        uint32_t fresh = 0u - sum;
        Log::log(Log::DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", old, fresh);
        putLe32(table + 28, fresh);
    }
    return true;
}

bool BirdFile::DecodeFirmwareBlocks(uint32_t k0, uint32_t k1, uint32_t k2, uint32_t k3) {
    uint8_t key[16];
    const uint32_t words[4] = {k0, k1, k2, k3};
    for (int w = 0; w < 4; ++w)
        for (int i = 0; i < 4; ++i) key[4 * w + i] = uint8_t(words[w] >> (24 - 8 * i));
    for (BirdBlock& b : blocks) {
        if (b.type != BLOCK_FIRMWARE || b.length < 4) continue;
        uint8_t running = 0;
        unsigned k = 0;
        uint8_t* image = b.data + 4;
        for (uint32_t i = 0; i < b.length - 4; ++i) {
            running = uint8_t(image[i] ^ key[k] ^ running);
            image[i] = running;
            k = (k + 1) % 16;
        }
    }
    return true;
}

bool BirdFile::DumpBlocks(uint8_t type) const {
    std::printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    for (const BirdBlock& b : blocks) {
        if (b.type != type) continue;
        char text[51];
        size_t used = 0;
        text[0] = 0;
        for (uint32_t i = 0; i < b.length; ++i) {
            if (i % 50 == 0) {
                text[used] = 0;
                std::printf(" %s\r\n%06d: ", text, int(i));
                used = 0;
            }
            uint8_t c = b.data[i];
            std::printf("%02X ", c);
            text[used++] = std::isprint(c) ? char(c) : ' ';
        }
        text[used] = 0;
        std::printf(" %s\n", text);
    }
    std::printf("\n");
    return true;
}
