// Feeds arbitrary bytes to the packet assembler the way a byte-synchronised
// transport does (a refused byte resets it, a complete packet is taken and the
// assembler reset) and compares every packet with a plain reading of the wire
// form [address != 0, size <= 28, size data bytes].
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/common/aPacket.h"

namespace {

// The packets a byte stream holds, read independently of the assembler.
std::vector<std::vector<uint8_t>> expected(const uint8_t* data, size_t size) {
    std::vector<std::vector<uint8_t>> packets;
    std::vector<uint8_t> current;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        if (current.empty()) {
            if (b != 0) current.push_back(b);
        } else if (current.size() == 1) {
            if (b > aPACKET_MAX_DATA) current.clear();
            else current.push_back(b);
        } else {
            current.push_back(b);
        }
        if (current.size() >= 2 && current.size() == size_t(current[1]) + 2) {
            packets.push_back(current);
            current.clear();
        }
    }
    return packets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    aPacket* packet = aPacket_Create();
    if (packet == nullptr) return 0;
    std::vector<std::vector<uint8_t>> got;
    for (size_t i = 0; i < size; ++i) {
        if (aPacket_AddByte(packet, data[i]) != aErrNone) {
            aPacket_Reset(packet);
            continue;
        }
        if (!aPacket_IsComplete(packet)) continue;
        uint8_t wire[aPACKET_MAX_WIRE];
        uint32_t n = 0;
        if (aPacket_GetBytes(packet, wire, sizeof wire, &n) != aErrNone || n > sizeof wire) std::abort();
        got.emplace_back(wire, wire + n);

        // The accessors and a copy agree with the wire form.
        uint8_t byte = 0;
        if ((aPacket_GetCmd(packet, &byte) == aErrNone) != (packet->dataSize >= 1)) std::abort();
        if ((aPacket_GetOption(packet, &byte) == aErrNone) != (packet->dataSize >= 2)) std::abort();
        if ((aPacket_GetIndex(packet, &byte) == aErrNone) != (packet->dataSize >= 3)) std::abort();
        aPacket* copy = aPacket_Copy(packet);
        if (copy == nullptr || !aPacket_IsComplete(copy) || copy->address != packet->address ||
            copy->dataSize != packet->dataSize || std::memcmp(copy->data, packet->data, packet->dataSize) != 0)
            std::abort();
        aPacket_Destroy(&copy);
        // Too small a buffer is refused, never overrun.
        if (aPacket_GetBytes(packet, wire, n - 1, nullptr) != aErrOverrun) std::abort();
        aPacket_Reset(packet);
    }
    // A refused size byte leaves the record unusable until reset: it must not copy.
    uint8_t wire[aPACKET_MAX_WIRE];
    uint32_t n = 0;
    if (aPacket_GetBytes(packet, wire, sizeof wire, &n) == aErrNone && n > sizeof wire) std::abort();
    aPacket_Destroy(&packet);
    if (packet != nullptr) std::abort();
    if (got != expected(data, size)) std::abort();
    return 0;
}
