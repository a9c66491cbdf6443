#pragma once
// Four 32-bit words that identify a chip while it sits in its boot ROM. Word 0 is shown
// first and sent to the update server first.
#include <cstdint>

struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};
