#include "updater/base64.h"

#include <cstdint>
#include <cstdlib>

const char encoding_table[64] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
    'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
    'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

namespace {

constexpr int8_t kInvalid = -1;
constexpr int8_t kPad = -2;

struct DecodingTable {
    int8_t value[256];
    constexpr DecodingTable() : value() {
        for (int i = 0; i < 256; ++i) value[i] = kInvalid;
        for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(encoding_table_init(i))] = static_cast<int8_t>(i);
        value[static_cast<unsigned char>('=')] = kPad;
    }
    static constexpr char encoding_table_init(int i) {
        return i < 26 ? static_cast<char>('A' + i)
               : i < 52 ? static_cast<char>('a' + i - 26)
               : i < 62 ? static_cast<char>('0' + i - 52)
               : i == 62 ? '+'
                         : '/';
    }
};

constexpr DecodingTable kDecoding;

}  // namespace

char* base64_encode(const unsigned char* data, size_t length, size_t* outLength) {
    const size_t out = 4 * ((length + 2) / 3);
    char* text = static_cast<char*>(std::malloc(out + 1));
    if (text == nullptr) return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < length; i += 3) {
        uint32_t a = data[i];
        uint32_t b = i + 1 < length ? data[i + 1] : 0;
        uint32_t c = i + 2 < length ? data[i + 2] : 0;
        uint32_t triple = (a << 16) | (b << 8) | c;
        text[o++] = encoding_table[(triple >> 18) & 0x3F];
        text[o++] = encoding_table[(triple >> 12) & 0x3F];
        text[o++] = encoding_table[(triple >> 6) & 0x3F];
        text[o++] = encoding_table[triple & 0x3F];
    }
    static const int kPadCount[3] = {0, 2, 1};
    for (int i = 0; i < kPadCount[length % 3]; ++i) text[out - 1 - i] = '=';
    text[out] = '\0';
    if (outLength != nullptr) *outLength = out;
    return text;
}

unsigned char* base64_decode(const char* text, size_t length, size_t* outLength) {
    if (length % 4 != 0) return nullptr;
    if (length > 0 && text == nullptr) return nullptr;

    size_t out = length / 4 * 3;
    if (length > 0 && text[length - 1] == '=') --out;
    if (length > 1 && text[length - 2] == '=') --out;

    // Refuse anything outside the alphabet, and "=" anywhere but the two last places
    // (where "x=" followed by a letter would otherwise be accepted): such text is not
    // a file we can trust, and decoding it would produce bytes nobody sent.
    for (size_t i = 0; i < length; ++i) {
        int8_t v = kDecoding.value[static_cast<unsigned char>(text[i])];
        if (v == kInvalid) return nullptr;
        if (v == kPad) {
            bool last = i == length - 1;
            bool beforeLastPad = i == length - 2 && text[length - 1] == '=';
            if (!last && !beforeLastPad) return nullptr;
        }
    }

    unsigned char* bytes = static_cast<unsigned char*>(std::malloc(out + 1));
    if (bytes == nullptr) return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t sextets[4];
        for (int k = 0; k < 4; ++k) {
            int8_t v = kDecoding.value[static_cast<unsigned char>(text[i + k])];
            sextets[k] = v < 0 ? 0 : static_cast<uint32_t>(v);
        }
        uint32_t triple = (sextets[0] << 18) | (sextets[1] << 12) | (sextets[2] << 6) | sextets[3];
        if (o < out) bytes[o++] = static_cast<unsigned char>(triple >> 16);
        if (o < out) bytes[o++] = static_cast<unsigned char>(triple >> 8);
        if (o < out) bytes[o++] = static_cast<unsigned char>(triple);
    }
    bytes[out] = 0;
    if (outLength != nullptr) *outLength = out;
    return bytes;
}
