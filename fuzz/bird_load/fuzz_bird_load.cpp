// Loads arbitrary bytes as a BIRD file and runs every query and patch on the result.
// Inputs that begin with "bird" are whole files; anything else is taken as an
// inflated payload and wrapped in a valid header and zlib stream first, so the
// block scanner and the patches see mutations that would not survive the stream's
// own checksum.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "updater/BirdFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> file;
    if (size >= 4 && std::memcmp(data, "bird", 4) == 0) {
        file.assign(data, data + size);
    } else {
        uLongf bound = compressBound(uLong(size));
        file.assign(6 + bound, 0);
        std::memcpy(file.data(), "bird\x01\x01", 6);
        if (compress2(file.data() + 6, &bound, data, uLong(size), 1) != Z_OK) return 0;
        file.resize(6 + bound);
    }

    BirdFile bird;
    if (!bird.LoadData(file.data(), file.size())) return 0;
    (void)bird.GetBuild();
    (void)bird.GetVersion();
    (void)bird.GetSerialNumber();
    (void)bird.ValidateModel("HUB");
    (void)bird.FindBlocks(BLOCK_LOADER_START);
    bird.ReplaceSerialNumber(0x0A1B2C3D);
    bird.ReplaceVectorChecksum();
    bird.DecodeFirmwareBlocks(0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10);
    BirdFile moved = std::move(bird);
    for (const BirdBlock& b : moved.blocks) {
        // Touch the first and last byte of every block: out-of-payload pointers show up here.
        if (b.length > 0) {
            volatile uint8_t first = b.data[0];
            volatile uint8_t last = b.data[b.length - 1];
            (void)first;
            (void)last;
        }
    }
    return 0;
}
