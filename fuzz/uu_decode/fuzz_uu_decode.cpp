// Decodes arbitrary lines as the LPC boot ROM's UU-encoded read-back. The first
// input byte chooses the room the caller offers; the rest, terminated, is the
// line. The decoder must stay inside that room and inside the line, and a
// line the host encoded itself must decode to the bytes it came from.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "recovery/NXPSerial.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t room = data[0] % 64;
    std::vector<char> line(data + 1, data + size);
    line.push_back(0);
    // Exactly the room offered, so a write past it is caught.
    uint8_t* buffer = static_cast<uint8_t*>(std::malloc(room ? room : 1));
    const size_t decoded = NXPSerialClass::uudecode(buffer, room, line.data());
    if (decoded > room) std::abort();
    std::free(buffer);

    // Round trip of a line of at most one ROM line's worth of the input bytes.
    const size_t count = std::min<size_t>(size - 1, NXPSerialClass::MAX_BYTES_PER_LINE);
    char encoded[2 + 4 * ((NXPSerialClass::MAX_BYTES_PER_LINE + 2) / 3)];
    NXPSerialClass::uuencode(encoded, data + 1, count);
    uint8_t back[NXPSerialClass::MAX_BYTES_PER_LINE];
    if (NXPSerialClass::uudecode(back, sizeof back, encoded) != count) std::abort();
    if (count > 0 && std::memcmp(back, data + 1, count) != 0) std::abort();
    return 0;
}
