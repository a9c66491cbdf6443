#include "lib/common/aUEI.h"

#include <cstring>

namespace {

// Commands whose payloads are not UEIs: heartbeat, raw protocols and the
// link-level address codes.
bool sIsRawCommand(uint8_t cmd)
{
    switch (cmd) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24:
    case 73: case 94: case 95: case 173: case 175:
        return true;
    default:
        return false;
    }
}

// Last data byte of a bytes chunk, or nothing for a packet without data.
bool sLastByte(const aPacket* packet, uint8_t* out)
{
    if (packet == nullptr || packet->dataSize == 0 || packet->dataSize > aPACKET_MAX_DATA)
        return false;
    *out = packet->data[packet->dataSize - 1];
    return true;
}

} // namespace

extern "C" {

void aUEI_StoreShort(uint8_t* buffer, uint16_t value)
{
    buffer[0] = static_cast<uint8_t>(value >> 8);
    buffer[1] = static_cast<uint8_t>(value);
}

uint16_t aUEI_RetrieveShort(const uint8_t* buffer)
{
    return static_cast<uint16_t>((buffer[0] << 8) | buffer[1]);
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value)
{
    buffer[0] = static_cast<uint8_t>(value >> 24);
    buffer[1] = static_cast<uint8_t>(value >> 16);
    buffer[2] = static_cast<uint8_t>(value >> 8);
    buffer[3] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* buffer)
{
    return (static_cast<uint32_t>(buffer[0]) << 24) | (static_cast<uint32_t>(buffer[1]) << 16) |
           (static_cast<uint32_t>(buffer[2]) << 8) | buffer[3];
}

uint32_t aUEI_ModifyIntBuffer(uint32_t* words, uint32_t n)
{
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t b[4];
        std::memcpy(b, &words[i], 4);
        words[i] = aUEI_RetrieveInt(b);
    }
    return n;
}

uint8_t aUEI_getBytesSequence(const aPacket* packet)
{
    uint8_t last = 0;
    return sLastByte(packet, &last) ? (last & ueiBYTES_SEQUENCE_MASK) : 0;
}

bool aUEI_getBytesContinue(const aPacket* packet)
{
    uint8_t last = 0;
    return sLastByte(packet, &last) && (last & ueiBYTES_CONTINUE) != 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet)
{
    return packet != nullptr && (packet->dataSize == 28 || packet->dataSize == 27);
}

bool aUEI_isNotUEIPayload(const aPacket* packet)
{
    return packet != nullptr && sIsRawCommand(packet->data[0]);
}

bool aUEI_isUEIPayload(const aPacket* packet)
{
    return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet)
{
    return packet != nullptr && packet->dataSize > 4 && aUEI_isUEIPayload(packet) &&
           (packet->data[1] & (ueiOPTION_GET | ueiOPTION_SET)) == 0 &&
           (packet->data[2] & ueiSPECIFIER_STREAM) != 0;
}

} // extern "C"
