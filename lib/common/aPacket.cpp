#include "lib/common/aPacket.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

const aPacket kTemplate = {aPACKET_CHECK, 0, 0, 0, {0}};

aErr sDataByte(const aPacket* packet, uint8_t* out, uint8_t index, uint8_t mask)
{
    if (out == nullptr)
        return aErrParam;
    if (!aVALIDPACKET(packet) || packet->dataSize < index + 1)
        return aErrPacket;
    *out = packet->data[index] & mask;
    return aErrNone;
}

} // namespace

extern "C" {

aPacket* aPacket_Create(void)
{
    aPacket* p = new (std::nothrow) aPacket;
    if (p != nullptr)
        *p = kTemplate;
    return p;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t size, const uint8_t* bytes)
{
    if (bytes == nullptr || size > aPACKET_MAX_DATA)
        return nullptr;
    aPacket* p = aPacket_Create();
    if (p == nullptr)
        return nullptr;
    p->address = address;
    p->dataSize = size;
    std::memcpy(p->data, bytes, size);
    p->count = static_cast<uint8_t>(size + 2);
    return p;
}

aPacket* aPacket_Copy(const aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return nullptr;
    return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    // The byte counts even when it is refused below: the caller must reset.
    if (packet->count < 0xFF)
        packet->count++;
    if (packet->count > aPACKET_MAX_WIRE)
        return aErrOverrun;
    if (packet->address == 0) {
        if (byte == 0)
            return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }
    if (packet->dataSize == 0) {
        packet->dataSize = byte;
        return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
    }
    if (packet->count > packet->dataSize + 2)
        return aErrPacket;
    packet->data[packet->count - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->count == packet->dataSize + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* out, uint32_t capacity, uint32_t* written)
{
    if (!aVALIDPACKET(packet) || out == nullptr)
        return aErrParam;
    // A size byte above 28 can only come from a refused assembly; never copy past data[].
    if (packet->dataSize > aPACKET_MAX_DATA)
        return aErrPacket;
    const uint32_t n = packet->dataSize + 2u;
    if (capacity < n)
        return aErrOverrun;
    out[0] = packet->address;
    out[1] = packet->dataSize;
    std::memcpy(out + 2, packet->data, packet->dataSize);
    if (written != nullptr)
        *written = n;
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out) { return sDataByte(packet, out, 0, 0xFF); }
aErr aPacket_GetOption(const aPacket* packet, uint8_t* out) { return sDataByte(packet, out, 1, 0x3F); }
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out) { return sDataByte(packet, out, 2, 0x1F); }

aErr aPacket_Reset(aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    *packet = kTemplate;
    return aErrNone;
}

aErr aPacket_Destroy(aPacket** packet)
{
    if (packet == nullptr || *packet == nullptr)
        return aErrParam;
    (*packet)->check = 0;
    delete *packet;
    *packet = nullptr;
    return aErrNone;
}

} // extern "C"
