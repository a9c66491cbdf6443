// Offers arbitrary packets, as a module (or anything pretending to be one) may
// send them, to the UEI reply filter, to the byte-string reassembly and to the
// UEI payload helpers.
//
// Input: four bytes of the awaited reply (module, command, option, specifier in
// the low five bits, the byte-string buffer size in the top three), then packets
// as [address, size, data...] with the size taken modulo 29; a short last packet
// is padded with zeros. The filter must accept only a reply to the awaited
// value, and what it stores must be what the packet carried. The reassembly runs
// as a byte-string read does, one read after the other, and must never write
// past its buffer nor keep anything but the chunks it took, in order.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/common/aPacket.h"
#include "lib/common/aUEI.h"
#include "lib/object/Entity.h"
#include "lib/object/Link.h"

using Corvane::Velmarine::EntityClass;
using Corvane::Velmarine::Link;

namespace {

void check(const aPacket* packet, const uei& awaited) {
    uei value = awaited;
    const uint8_t accepted = Link::ueiFilter(packet, &value);
    if (!accepted) {
        if (std::memcmp(&value, &awaited, sizeof value) != 0) std::abort();  // a refusal changes nothing
        return;
    }
    if (packet->address != awaited.module || packet->dataSize < 3 || packet->data[0] != awaited.command ||
        packet->data[1] != awaited.option || (packet->data[2] & ueiSPECIFIER_INDEX_MASK) != awaited.specifier)
        std::abort();
    if (packet->data[2] & ueiSPECIFIER_ERROR) {
        if (value.specifier != packet->data[2]) std::abort();
        if (packet->dataSize > 3 && value.value.byteVal != packet->data[3]) std::abort();
        return;
    }
    switch (packet->dataSize) {
    case 3:
        if (value.type != ueiTypeVoid) std::abort();
        break;
    case 4:
        if (value.type != ueiTypeByte || value.value.byteVal != packet->data[3]) std::abort();
        break;
    case 5:
        if (value.type != ueiTypeShort || value.value.shortVal != (packet->data[3] << 8 | packet->data[4]))
            std::abort();
        break;
    case 7:
        if (value.type != ueiTypeInt ||
            value.value.intVal != (uint32_t(packet->data[3]) << 24 | uint32_t(packet->data[4]) << 16 |
                                   uint32_t(packet->data[5]) << 8 | packet->data[6]))
            std::abort();
        break;
    default:
        if (value.type != awaited.type) std::abort();
        break;
    }
}

void helpers(const aPacket* packet) {
    const bool payload = aUEI_isUEIPayload(packet);
    if (payload == aUEI_isNotUEIPayload(packet)) std::abort();
    if (aUEI_isStreamPacket(packet) && !payload) std::abort();
    (void)aUEI_getBytesFullPacket(packet);
    if (packet->dataSize > 0) {
        const uint8_t last = packet->data[packet->dataSize - 1];
        if (EntityClass::getUEIBytesSequence(packet) != (last & ueiBYTES_SEQUENCE_MASK)) std::abort();
        if (EntityClass::getUEIBytesContinue(packet) != ((last & ueiBYTES_CONTINUE) != 0)) std::abort();
    }
    (void)aUEI_getBytesSequence(packet);
    (void)aUEI_getBytesContinue(packet);
}

// Byte-string reads over the packets, each started afresh when the last ended.
class Reassembly {
public:
    Reassembly(const uei& awaited, uint32_t capacity)
        : capacity(capacity), buffer(static_cast<uint8_t*>(std::malloc(capacity))) {
        if (buffer == nullptr) std::abort();
        state.record.module = awaited.module;
        state.module = awaited.module;
        state.command = awaited.command;
        state.option = awaited.option;
        state.index = awaited.specifier;
        restart();
    }
    ~Reassembly() { std::free(buffer); }
    Reassembly(const Reassembly&) = delete;
    Reassembly& operator=(const Reassembly&) = delete;

    void offer(const aPacket* packet) {
        const uint32_t before = state.count;
        if (!EntityClass::bytesFilter(packet, &state)) {
            if (state.count != before || state.error) std::abort();
            return;
        }
        if (state.count > capacity || state.write != buffer + state.count) std::abort();
        if (state.error) {
            if (state.count != before) std::abort();
            restart();
            return;
        }
        // A chunk is [command, option, specifier, bytes..., sequence].
        const uint32_t payload = packet->dataSize - 4u;
        if (state.count != before + payload) std::abort();
        expected.insert(expected.end(), packet->data + 3, packet->data + 3 + payload);
        if (state.count > 0 && std::memcmp(buffer, expected.data(), state.count) != 0) std::abort();
        if (!state.continues || state.sequence == 0xFF) restart();
        else ++state.sequence;
    }

private:
    void restart() {
        state.write = buffer;
        state.capacity = capacity;
        state.count = 0;
        state.sequence = 0;
        state.continues = 0;
        state.error = false;
        expected.clear();
    }

    const uint32_t capacity;
    uint8_t* const buffer;  // exactly capacity bytes, so a write past it is caught
    EntityClass::BytesRead state{};
    std::vector<uint8_t> expected;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    uei awaited{};
    awaited.module = data[0];
    awaited.command = data[1];
    awaited.option = data[2];
    awaited.specifier = data[3] & ueiSPECIFIER_INDEX_MASK;
    awaited.type = ueiTypeVoid;
    Reassembly read(awaited, 1 + uint32_t(data[3] >> 5) * 40);
    size_t i = 4;
    while (i + 2 <= size) {
        const uint8_t address = data[i];
        const uint8_t dataSize = data[i + 1] % (aPACKET_MAX_DATA + 1);
        i += 2;
        uint8_t bytes[aPACKET_MAX_DATA] = {};
        const size_t available = size - i < dataSize ? size - i : dataSize;
        std::memcpy(bytes, data + i, available);
        i += available;
        aPacket* packet = aPacket_CreateWithData(address, dataSize, bytes);
        if (packet == nullptr) std::abort();
        check(packet, awaited);
        // The same packet as a reply to exactly what it claims to answer.
        if (dataSize >= 3) {
            uei matching = awaited;
            matching.module = address;
            matching.command = bytes[0];
            matching.option = bytes[1];
            matching.specifier = bytes[2] & ueiSPECIFIER_INDEX_MASK;
            if (!Link::ueiFilter(packet, &matching)) std::abort();
            check(packet, matching);
        }
        read.offer(packet);
        helpers(packet);
        aPacket_Destroy(&packet);
    }
    return 0;
}
