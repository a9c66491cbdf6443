// Decodes arbitrary text as Base64 (the form BIRD files take on the wire) and
// checks both directions: whatever decodes re-encodes to text that decodes to
// the same bytes, and any bytes encode to text that decodes back to them.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "updater/base64.h"

namespace {

void roundTrip(const unsigned char* bytes, size_t length) {
    size_t textLength = 0;
    char* text = base64_encode(bytes, length, &textLength);
    if (text == nullptr) std::abort();
    if (textLength != 4 * ((length + 2) / 3) || std::strlen(text) != textLength) std::abort();
    size_t back = 0;
    unsigned char* decoded = base64_decode(text, textLength, &back);
    if (decoded == nullptr || back != length || decoded[back] != 0) std::abort();
    if (length > 0 && std::memcmp(decoded, bytes, length) != 0) std::abort();
    std::free(decoded);
    std::free(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The decoder is given an exact length, so the text need not be terminated;
    // a copy of exactly that size lets the address checker catch a read past it.
    char* text = static_cast<char*>(std::malloc(size ? size : 1));
    if (size) std::memcpy(text, data, size);
    size_t length = 0;
    unsigned char* decoded = base64_decode(text, size, &length);
    if (decoded != nullptr) {
        if (length > size / 4 * 3 || decoded[length] != 0) std::abort();
        roundTrip(decoded, length);
        std::free(decoded);
    }
    std::free(text);
    roundTrip(data, size);
    return 0;
}
