#include "lib/common/aPacketDebug.h"

#include <new>
#include <vector>

#include "lib/common/aLinkManagerInternal.h"

struct aPacketLog {
    bool enabled = false;
    std::vector<uint8_t> buffer;
    uint32_t size = 0;
    uint32_t head = 0;  // first byte of the oldest entry
    uint32_t tail = 0;  // where the next entry starts; head == tail is empty
};

namespace {

uint32_t sUsed(const aPacketLog* log) { return (log->tail + log->size - log->head) % log->size; }

uint8_t sAt(const aPacketLog* log, uint32_t index) { return log->buffer[index % log->size]; }

} // namespace

extern "C" {

aPacketLog* aPacketLog_Create(uint32_t size)
{
    if (size == 0)
        return nullptr;
    auto* log = new (std::nothrow) aPacketLog;
    if (log == nullptr)
        return nullptr;
    try {
        log->buffer.assign(size, 0);
    } catch (...) {
        delete log;
        return nullptr;
    }
    log->size = size;
    return log;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t kind, uint32_t length, const uint8_t* bytes)
{
    if (log == nullptr || (length > 0 && bytes == nullptr))
        return aErrParam;
    // The length travels in one byte; a longer entry could not be read back.
    if (length > 0xFF || length + 2 >= log->size)
        return aErrOverrun;
    // Make room by dropping whole entries, oldest first; one byte always stays free.
    while (length + 2 >= log->size - sUsed(log)) {
        const uint32_t oldLength = sAt(log, log->head + 1);
        log->head = (log->head + 2 + oldLength) % log->size;
    }
    uint32_t pos = log->tail;
    log->buffer[pos] = kind;
    pos = (pos + 1) % log->size;
    log->buffer[pos] = static_cast<uint8_t>(length);
    pos = (pos + 1) % log->size;
    for (uint32_t i = 0; i < length; ++i) {
        log->buffer[pos] = bytes[i];
        pos = (pos + 1) % log->size;
    }
    log->tail = pos;
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* kind, uint32_t* length, uint8_t* bytes)
{
    if (log == nullptr || kind == nullptr || length == nullptr)
        return aErrParam;
    if (log->head == log->tail)
        return aErrNotFound;
    const uint32_t capacity = *length;
    const uint32_t entryLength = sAt(log, log->head + 1);
    *kind = sAt(log, log->head);
    *length = entryLength;
    if (capacity < entryLength)
        return aErrOverrun;
    if (entryLength > 0 && bytes == nullptr)
        return aErrParam;
    for (uint32_t i = 0; i < entryLength; ++i)
        bytes[i] = sAt(log, log->head + 2 + i);
    log->head = (log->head + 2 + entryLength) % log->size;
    return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log)
{
    if (log == nullptr || *log == nullptr)
        return aErrNone;
    delete *log;
    *log = nullptr;
    return aErrNone;
}

aErr aLink_PacketDebug_SetLogSize(aLinkRef handle, int32_t size)
{
    aLinkRecord* link = sGetLink(handle);
    if (link == nullptr)
        return aErrParam;
    if (size > aPACKETLOG_MAX_SIZE)
        return aErrParam;
    std::lock_guard<std::mutex> lock(link->packetLogMutex);
    if (link->packetLog != nullptr)
        return aErrBusy;
    link->packetLogSize = size < 0 ? 0 : size;
    return aErrNone;
}

aErr aLink_PacketDebug_Enable(aLinkRef handle)
{
    aLinkRecord* link = sGetLink(handle);
    if (link == nullptr)
        return aErrParam;
    std::lock_guard<std::mutex> lock(link->packetLogMutex);
    if (link->packetLogSize == 0)
        link->packetLogSize = aPACKETLOG_DEFAULT_SIZE;
    if (link->packetLog == nullptr) {
        link->packetLog = aPacketLog_Create(static_cast<uint32_t>(link->packetLogSize));
        if (link->packetLog == nullptr)
            return aErrResource;
    }
    link->packetLog->enabled = true;
    return aErrNone;
}

aErr aLink_PacketDebug_Disable(aLinkRef handle)
{
    aLinkRecord* link = sGetLink(handle);
    if (link == nullptr)
        return aErrParam;
    std::lock_guard<std::mutex> lock(link->packetLogMutex);
    if (link->packetLog == nullptr)
        return aErrNotReady;
    link->packetLog->enabled = false;
    return aErrNone;
}

aErr aLink_PacketDebug_Read(aLinkRef handle, uint8_t* kind, uint32_t* length, uint8_t* bytes)
{
    aLinkRecord* link = sGetLink(handle);
    if (link == nullptr)
        return aErrParam;
    std::lock_guard<std::mutex> lock(link->packetLogMutex);
    if (link->packetLog == nullptr)
        return aErrNotReady;
    return aPacketLog_Get(link->packetLog, kind, length, bytes);
}

aErr aLink_PacketDebug_Write(aLinkRef handle, uint8_t kind, uint32_t length, const uint8_t* bytes)
{
    aLinkRecord* link = sGetLink(handle);
    if (link == nullptr)
        return aErrParam;
    std::lock_guard<std::mutex> lock(link->packetLogMutex);
    if (link->packetLog == nullptr)
        return aErrNotReady;
    return aPacketLog_Put(link->packetLog, kind, length, bytes);
}

} // extern "C"

void aLink_PacketDebug_Record(aLinkRecord* link, uint8_t kind, const uint8_t* bytes, uint32_t length)
{
    std::lock_guard<std::mutex> lock(link->packetLogMutex);
    if (link->packetLog != nullptr)
        aPacketLog_Put(link->packetLog, kind, length, bytes);
}

void aLink_PacketDebug_Drop(aLinkRecord* link)
{
    std::lock_guard<std::mutex> lock(link->packetLogMutex);
    aPacketLog_Destroy(&link->packetLog);
    link->packetLogSize = 0;
}
