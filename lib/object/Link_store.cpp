// Link: factory data records and store slots, two small request/reply
// protocols of their own beside the UEI values.

#include <algorithm>
#include <cstring>

#include "lib/common/aDefs.h"
#include "lib/object/LinkImpl.h"

namespace Corvane {
namespace Velmarine {

namespace {

// Factory request flags (second byte).
constexpr uint8_t kFactoryIndexMask = 0x0F;
constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryClose = 0x20;
constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kReplyError = 0x80;
constexpr uint8_t kFactoryChunk = 26;

// Store-slot sub-commands.
constexpr uint8_t kSlotCapacity = 1;
constexpr uint8_t kSlotSize = 2;
constexpr uint8_t kSlotOpenRead = 3;
constexpr uint8_t kSlotOpenWrite = 4;
constexpr uint8_t kSlotRead = 6;
constexpr uint8_t kSlotWrite = 7;
constexpr uint8_t kSlotClose = 8;
constexpr uint8_t kSlotChunk = 25;

struct Reply {
    aPacket* p = nullptr;
    ~Reply()
    {
        if (p) aPacket_Destroy(&p);
    }
    uint8_t size() const { return p->dataSize; }
    const uint8_t* data() const { return p->data; }
};

struct FactoryKey {
    uint8_t index;
};

uint8_t sFactoryFilter(const aPacket* packet, void* ref)
{
    auto* k = static_cast<FactoryKey*>(ref);
    if (packet->dataSize < 2 || packet->data[0] != cmdFACTORY) return 0;
    return (packet->data[1] & 0x7F) == k->index ? 1 : 0;
}

struct SlotKey {
    uint8_t sub;
    uint8_t a;  // store, or the handle
    uint8_t b;  // slot
};

uint8_t sSlotFilter(const aPacket* packet, void* ref)
{
    auto* k = static_cast<SlotKey*>(ref);
    if (packet->dataSize < 4 || packet->data[0] != cmdSLOT) return 0;
    if ((packet->data[1] & 0x7F) != k->sub) return 0;
    if (k->sub <= kSlotOpenWrite) return packet->data[2] == k->a && packet->data[3] == k->b ? 1 : 0;
    return packet->data[2] == k->a ? 1 : 0;
}

} // namespace

// One request/reply of either protocol: send [bytes], await the filter's packet.
static aErr sExchange(aLinkRef link, uint8_t module, const uint8_t* bytes, uint8_t length, aPacketFilter filter,
                      void* key, uint32_t timeoutMs, Reply& reply)
{
    if (aErr err = linkPutRaw(link, module, length, bytes)) return err;
    reply.p = aLink_AwaitFirst(link, filter, key, timeoutMs);
    return reply.p ? aErrNone : aErrTimeout;
}

static aErr sFactoryClose(aLinkRef link, uint8_t module, uint32_t count)
{
    FactoryKey key{0};
    uint8_t req[4] = {cmdFACTORY, kFactoryClose, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
    Reply r;
    if (aErr err = sExchange(link, module, req, 4, sFactoryFilter, &key, kReplyTimeoutMs, r)) return err;
    if (r.size() == 3 && (r.data()[1] & kReplyError)) return static_cast<aErr>(r.data()[2]);
    return aErrNone;
}

aErr Link::getFactoryData(uint8_t module, uint8_t index, uint8_t* buffer, uint32_t capacity, uint32_t* count)
{
    if (aErr err = m_impl->checkPacketTarget(module)) return err;
    if (!buffer || !count) return aErrParam;
    index &= kFactoryIndexMask;
    FactoryKey key{index};
    uint32_t received = 0;
    bool first = true;
    for (;;) {
        uint8_t req[2] = {cmdFACTORY, static_cast<uint8_t>(index | (first ? kFactoryFirst : 0))};
        first = false;
        Reply r;
        if (aErr err = sExchange(m_impl->linkId, module, req, 2, sFactoryFilter, &key, kReplyTimeoutMs, r))
            return err;
        if (r.size() < 2) return aErrUnknown;
        // The data must leave one byte spare, so a buffer exactly as long as
        // the record is refused rather than filled to the brim.
        if (received + r.size() - 2 >= capacity) return aErrOverrun;
        if (r.data()[1] & kReplyError) return static_cast<aErr>(r.size() > 2 ? r.data()[2] : static_cast<uint8_t>(aErrUnknown));
        memcpy(buffer + received, r.data() + 2, r.size() - 2u);
        received += r.size() - 2u;
        if (r.size() != aPACKET_MAX_DATA) break;
    }
    if (aErr err = sFactoryClose(m_impl->linkId, module, received)) return err;
    *count = received;
    return aErrNone;
}

aErr Link::setFactoryData(uint8_t module, uint8_t index, const uint8_t* bytes, uint32_t count)
{
    if (aErr err = m_impl->checkPacketTarget(module)) return err;
    if (count && !bytes) return aErrParam;
    index &= kFactoryIndexMask;
    FactoryKey key{index};
    uint32_t sent = 0;
    bool first = true;
    while (sent < count) {
        uint8_t chunk = static_cast<uint8_t>(std::min<uint32_t>(kFactoryChunk, count - sent));
        uint8_t req[aPACKET_MAX_DATA] = {cmdFACTORY,
                                         static_cast<uint8_t>(index | kFactoryWrite | (first ? kFactoryFirst : 0))};
        first = false;
        memcpy(req + 2, bytes + sent, chunk);
        Reply r;
        if (aErr err = sExchange(m_impl->linkId, module, req, static_cast<uint8_t>(chunk + 2), sFactoryFilter, &key,
                                 kReplyTimeoutMs, r))
            return err;
        if (r.size() != 2) return aErrSize;
        if (r.data()[1] & kReplyError) return static_cast<aErr>(r.size() > 2 ? r.data()[2] : static_cast<uint8_t>(aErrUnknown));
        sent += chunk;
    }
    return sFactoryClose(m_impl->linkId, module, sent);
}

namespace {

aErr sSlotValue(aLinkRef link, uint8_t module, uint8_t sub, uint8_t store, uint8_t slot, uint32_t* out)
{
    if (!out) return aErrParam;
    SlotKey key{sub, store, slot};
    uint8_t req[4] = {cmdSLOT, sub, store, slot};
    Reply r;
    if (aErr err = sExchange(link, module, req, 4, sSlotFilter, &key, kReplyTimeoutMs, r)) return err;
    if (r.data()[1] & kReplyError) return static_cast<aErr>(r.size() > 4 ? r.data()[4] : static_cast<uint8_t>(aErrUnknown));
    if (r.size() != 6) return aErrUnknown;
    *out = static_cast<uint32_t>(r.data()[4] << 8 | r.data()[5]);
    return aErrNone;
}

uint8_t sSlotOpen(aLinkRef link, uint8_t module, uint8_t sub, uint8_t store, uint8_t slot)
{
    SlotKey key{sub, store, slot};
    uint8_t req[4] = {cmdSLOT, sub, store, slot};
    Reply r;
    if (sExchange(link, module, req, 4, sSlotFilter, &key, kSlotOpenTimeoutMs, r) != aErrNone) return kNoSlotHandle;
    if ((r.data()[1] & kReplyError) || r.size() < 5) return kNoSlotHandle;
    return r.data()[4];
}

aErr sSlotClose(aLinkRef link, uint8_t module, uint8_t handle)
{
    SlotKey key{kSlotClose, handle, 0};
    uint8_t req[3] = {cmdSLOT, kSlotClose, handle};
    Reply r;
    if (sExchange(link, module, req, 3, sSlotFilter, &key, kReplyTimeoutMs, r) != aErrNone) return aErrNone;
    if (r.data()[1] & kReplyError) return static_cast<aErr>(r.data()[3]);
    if (r.size() != 4) return aErrIO;
    return aErrNone;
}

} // namespace

aErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, uint32_t* capacity)
{
    if (aErr err = m_impl->checkPacketTarget(module)) return err;
    return sSlotValue(m_impl->linkId, module, kSlotCapacity, store, slot, capacity);
}

aErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, uint32_t* size)
{
    if (aErr err = m_impl->checkPacketTarget(module)) return err;
    return sSlotValue(m_impl->linkId, module, kSlotSize, store, slot, size);
}

aErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* bytes, uint32_t count)
{
    if (aErr err = m_impl->checkPacketTarget(module)) return err;
    if (!bytes) return aErrParam;
    const aLinkRef link = m_impl->linkId;
    uint8_t handle = sSlotOpen(link, module, kSlotOpenWrite, store, slot);
    if (handle == kNoSlotHandle) return aErrMedia;

    aErr result = aErrNone;
    for (uint32_t sent = 0; sent < count && result == aErrNone;) {
        uint8_t chunk = static_cast<uint8_t>(std::min<uint32_t>(kSlotChunk, count - sent));
        uint8_t req[aPACKET_MAX_DATA] = {cmdSLOT, kSlotWrite, handle};
        memcpy(req + 3, bytes + sent, chunk);
        uint8_t sum = 0;
        for (uint8_t i = 0; i < chunk; ++i) sum = static_cast<uint8_t>(sum + bytes[sent + i]);
        SlotKey key{kSlotWrite, handle, 0};
        Reply r;
        result = sExchange(link, module, req, static_cast<uint8_t>(chunk + 3), sSlotFilter, &key, kReplyTimeoutMs, r);
        if (result != aErrNone) break;
        if (r.data()[1] & kReplyError)
            result = static_cast<aErr>(r.data()[3]);
        else if (r.data()[3] != sum)
            result = aErrIO;  // the module stored something other than what was sent
        sent += chunk;
    }
    aErr closed = sSlotClose(link, module, handle);
    return result != aErrNone ? result : closed;
}

aErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, uint32_t capacity,
                           uint32_t* count)
{
    if (aErr err = m_impl->checkPacketTarget(module)) return err;
    if (!buffer || !count) return aErrParam;
    const aLinkRef link = m_impl->linkId;
    uint32_t size = 0;
    if (aErr err = sSlotValue(link, module, kSlotSize, store, slot, &size)) return err;
    uint8_t handle = sSlotOpen(link, module, kSlotOpenRead, store, slot);
    if (handle == kNoSlotHandle) return aErrMedia;

    const uint32_t wanted = std::min(capacity, size);
    uint32_t got = 0;
    aErr result = aErrNone;
    while (got < wanted) {
        uint8_t req[3] = {cmdSLOT, kSlotRead, handle};
        SlotKey key{kSlotRead, handle, 0};
        Reply r;
        result = sExchange(link, module, req, 3, sSlotFilter, &key, kReplyTimeoutMs, r);
        if (result != aErrNone) break;
        if (r.size() < 4) {
            result = aErrUnknown;
            break;
        }
        if (r.data()[1] & kReplyError) {
            result = static_cast<aErr>(r.data()[3]);
            break;
        }
        uint32_t n = std::min<uint32_t>(r.size() - 3u, wanted - got);
        if (n == 0) {
            result = aErrIO;  // an empty chunk would never finish the read
            break;
        }
        memcpy(buffer + got, r.data() + 3, n);
        got += n;
    }
    aErr closed = sSlotClose(link, module, handle);
    if (result == aErrNone) result = closed;
    if (result != aErrNone) return result;
    *count = got;
    return capacity < size ? aErrOverrun : aErrNone;
}

} // namespace Velmarine
} // namespace Corvane
