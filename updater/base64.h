#pragma once
// Base64 with the standard alphabet and "=" padding, no line breaks. BIRD files
// travel from the update server in this form.
#include <cstddef>

extern const char encoding_table[64];

// Returns a new NUL-terminated text of 4 * ceil(length / 3) characters, its length
// stored through outLength; null when memory runs out. Free with free().
char* base64_encode(const unsigned char* data, size_t length, size_t* outLength);

// Returns a new buffer of *outLength bytes followed by one zero byte; null when the
// length is not a multiple of 4, when a character is outside the alphabet, when
// padding appears anywhere but the last two places, or when memory runs out.
// An empty text decodes to an empty buffer. Free with free().
unsigned char* base64_decode(const char* text, size_t length, size_t* outLength);
