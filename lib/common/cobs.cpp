#include "lib/common/cobs.h"

#include <cstring>
#include <vector>

size_t cobs_encode(const uint8_t* source, size_t n, uint8_t* destination)
{
    if (!source || !destination)
        return 0;
    size_t out = 1;   // where the next data byte goes
    size_t codeAt = 0;  // where the current run's code byte goes
    uint8_t code = 1;
    for (size_t i = 0; i < n; ++i) {
        if (source[i] == 0) {
            destination[codeAt] = code;
            codeAt = out++;
            code = 1;
            continue;
        }
        destination[out++] = source[i];
        // A full run closes its block; a new one starts only if data follows.
        if (++code == 0xFF && i + 1 < n) {
            destination[codeAt] = code;
            codeAt = out++;
            code = 1;
        }
    }
    destination[codeAt] = code;
    return out;
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t n)
{
    if (!buffer)
        return 0;
    std::vector<uint8_t> copy(buffer, buffer + n);
    return cobs_encode(copy.data(), n, buffer);
}

size_t cobs_decode(const uint8_t* source, size_t n, uint8_t* destination)
{
    if (!source || !destination)
        return 0;
    size_t in = 0, out = 0;
    while (in < n) {
        uint8_t code = source[in++];
        if (code == 0 || in + code - 1 > n)
            return 0;
        for (uint8_t i = 1; i < code; ++i) {
            if (source[in] == 0)
                return 0;
            destination[out++] = source[in++];
        }
        // A run shorter than 254 bytes stands for a zero, except at the very end.
        if (code != 0xFF && in < n)
            destination[out++] = 0;
    }
    return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t n)
{
    if (!buffer)
        return 0;
    // Decoding never writes ahead of where it reads, so the same buffer serves.
    return cobs_decode(buffer, n, buffer);
}
