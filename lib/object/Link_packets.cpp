// Link: raw packets and UEI values.

#include <cstring>

#include "lib/object/LinkImpl.h"

namespace Corvane {
namespace Velmarine {

namespace {

struct MatchRef {
    const uint8_t* match;
    uint8_t length;
};

uint8_t sMatchFilter(const aPacket* packet, void* ref)
{
    auto* m = static_cast<MatchRef*>(ref);
    if (packet->dataSize < m->length) return 0;
    return memcmp(packet->data, m->match, m->length) == 0 ? 1 : 0;
}

// Appends the value of a non-bytes record; false for a type that is never sent.
bool sAppendValue(const uei& value, uint8_t* out, uint8_t& n)
{
    switch (value.type) {
    case ueiTypeVoid:
        return true;
    case ueiTypeByte:
        out[n++] = value.value.byteVal;
        return true;
    case ueiTypeShort:
        aUEI_StoreShort(out + n, value.value.shortVal);
        n += 2;
        return true;
    case ueiTypeInt:
        aUEI_StoreInt(out + n, value.value.intVal);
        n += 4;
        return true;
    default:
        return false;
    }
}

} // namespace

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* bytes)
{
    if (aErr err = m_impl->checkPacketTarget(module)) return err;
    if (length > aPACKET_MAX_DATA - 1) return aErrParam;
    if (length && !bytes) return aErrParam;
    uint8_t data[aPACKET_MAX_DATA];
    data[0] = command;
    if (length) memcpy(data + 1, bytes, length);
    linkPutRaw(m_impl->linkId, module, static_cast<uint8_t>(length + 1), data);
    return aErrNone;
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* output)
{
    if (aErr err = m_impl->checkPacketTarget(module)) return err;
    if (!length || !output || (*length && !match)) return aErrParam;
    MatchRef ref{match, *length};
    aPacket* packet = aLink_AwaitFirst(m_impl->linkId, sMatchFilter, &ref, kReplyTimeoutMs);
    if (!packet) return aErrTimeout;
    *length = packet->dataSize;
    memcpy(output, packet->data, packet->dataSize);
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::sendUEI(const uei& value)
{
    if (aErr err = m_impl->checkPacketTarget(value.module)) return err;
    uint8_t data[aPACKET_MAX_DATA] = {value.command, value.option, value.specifier};

    if (value.type != ueiTypeBytes) {
        uint8_t n = 3;
        if (!sAppendValue(value, data, n)) return aErrResource;
        return linkPutRaw(m_impl->linkId, value.module, n, data);
    }

    // Byte strings go in chunks of 24 with a trailing sequence byte; bit 7 of
    // it says another chunk follows. An empty string is one chunk of none.
    const uint8_t* bytes = value.value.bytes.data;
    uint32_t remaining = value.value.bytes.count;
    if (remaining && !bytes) return aErrParam;
    uint32_t sequence = 0;
    do {
        uint8_t chunk = static_cast<uint8_t>(remaining > ueiBYTES_CHUNK ? ueiBYTES_CHUNK : remaining);
        remaining -= chunk;
        if (chunk) memcpy(data + 3, bytes, chunk);
        bytes += chunk;
        data[3 + chunk] = static_cast<uint8_t>((sequence & ueiBYTES_SEQUENCE_MASK) | (remaining ? ueiBYTES_CONTINUE : 0));
        if (aErr err = linkPutRaw(m_impl->linkId, value.module, static_cast<uint8_t>(chunk + 4), data)) return err;
        ++sequence;
    } while (remaining);
    return aErrNone;
}

aErr Link::sendUEI(const uei& value, uint8_t subindex)
{
    if (aErr err = m_impl->checkPacketTarget(value.module)) return err;
    uint8_t data[aPACKET_MAX_DATA] = {value.command, value.option, value.specifier, subindex};
    uint8_t n = 4;
    if (!sAppendValue(value, data, n)) return aErrResource;
    return linkPutRaw(m_impl->linkId, value.module, n, data);
}

uint8_t Link::ueiFilter(const aPacket* packet, void* ref)
{
    auto* v = static_cast<uei*>(ref);
    if (packet->address != v->module || packet->dataSize < 3) return 0;
    if (packet->data[0] != v->command || packet->data[1] != v->option) return 0;
    if ((packet->data[2] & ueiSPECIFIER_INDEX_MASK) != v->specifier) return 0;
    if (packet->data[2] & ueiSPECIFIER_ERROR) {
        v->specifier = packet->data[2];
        v->value.byteVal = packet->dataSize > 3 ? packet->data[3] : static_cast<uint8_t>(aErrUnknown);
        return 1;
    }
    // A subindexed read arrives as a byte record holding the subindex. A reply
    // in the subindexed form echoes that subindex before its value; the 6- and
    // 8-byte forms cannot be mistaken for plain replies, so take their value
    // rather than hand the subindex back as if it had been read.
    if (v->type == ueiTypeByte && packet->data[3] == v->value.byteVal) {
        if (packet->dataSize == 6) {
            v->type = ueiTypeShort;
            v->value.shortVal = aUEI_RetrieveShort(packet->data + 4);
            return 1;
        }
        if (packet->dataSize == 8) {
            v->type = ueiTypeInt;
            v->value.intVal = aUEI_RetrieveInt(packet->data + 4);
            return 1;
        }
    }
    switch (packet->dataSize) {
    case 3:
        v->type = ueiTypeVoid;
        break;
    case 4:
        v->type = ueiTypeByte;
        v->value.byteVal = packet->data[3];
        break;
    case 5:
        v->type = ueiTypeShort;
        v->value.shortVal = aUEI_RetrieveShort(packet->data + 3);
        break;
    case 7:
        v->type = ueiTypeInt;
        v->value.intVal = aUEI_RetrieveInt(packet->data + 3);
        break;
    default:
        break;  // accepted as it is
    }
    return 1;
}

aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* value, aPacketFilter filter)
{
    if (!value) return aErrParam;
    if (aErr err = m_impl->checkPacketTarget(module)) return err;
    uint32_t timeout = (value->type == ueiTypeBytes && value->value.bytes.count > kLongBytesThreshold)
                           ? kLongBytesReplyTimeoutMs
                           : kReplyTimeoutMs;
    aPacket* packet = aLink_AwaitFirst(m_impl->linkId, filter ? filter : ueiFilter, value, timeout);
    if (!packet) return aErrTimeout;
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier)
{
    if (aErr err = m_impl->checkPacketTarget(module)) return err;
    uei key{};
    key.module = module;
    key.command = command;
    key.option = option;
    key.specifier = specifier;
    key.type = ueiTypeVoid;
    aLink_DrainPackets(m_impl->linkId, ueiFilter, &key);
    return aErrNone;
}

} // namespace Velmarine
} // namespace Corvane
