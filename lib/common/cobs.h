#pragma once
// Consistent overhead byte stuffing: the output holds no zero byte, so a zero
// can delimit frames. Encoding adds one byte per started run of 254 bytes.
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Worst-case encoded size of n bytes.
#define COBS_ENCODED_MAX(n) ((n) + (n) / 254 + 1)

// Encodes n bytes into destination (room for COBS_ENCODED_MAX(n)); returns the
// encoded length.
size_t cobs_encode(const uint8_t* source, size_t n, uint8_t* destination);
// Encodes in place; the buffer needs room for COBS_ENCODED_MAX(n) bytes (one
// more than n for anything up to 253 bytes).
size_t cobs_encode_inplace(uint8_t* buffer, size_t n);
// Decodes n bytes (without the zero delimiter) into destination, which needs n
// bytes of room. Returns the decoded length, 0 when the input is not a valid
// encoding (a code byte pointing past the end, or a zero byte inside).
size_t cobs_decode(const uint8_t* source, size_t n, uint8_t* destination);
size_t cobs_decode_inplace(uint8_t* buffer, size_t n);

#ifdef __cplusplus
}
#endif
