// EntityClass: UEI reads and writes of one entity, byte strings in chunks.

#include "lib/object/Entity.h"

#include <cstring>

#include "lib/object/Module.h"

namespace Corvane {
namespace Velmarine {

struct EntityClass::impl {
    EntityClass* owner;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;

    Link* link() const { return module ? module->getLink() : nullptr; }
};

namespace {

constexpr uint8_t kEntityStoreCommand = 92;

} // namespace

uint8_t EntityClass::bytesFilter(const aPacket* packet, void* ref)
{
    auto* s = static_cast<BytesRead*>(ref);
    if (packet->address != s->module || packet->dataSize < 3) return 0;
    if (packet->data[0] != s->command || packet->data[1] != s->option) return 0;
    if ((packet->data[2] & ueiSPECIFIER_INDEX_MASK) != s->index) return 0;
    if (packet->data[2] & ueiSPECIFIER_ERROR) {
        s->error = true;
        s->code = packet->dataSize > 3 ? packet->data[3] : static_cast<uint8_t>(aErrUnknown);
        return 1;
    }
    if (packet->dataSize < 4) return 0;  // no sequence byte: not a chunk
    const uint8_t last = packet->data[packet->dataSize - 1];
    if ((last & ueiBYTES_SEQUENCE_MASK) != s->sequence) return 0;
    const uint32_t payload = packet->dataSize - 4u;
    if (s->count + payload > s->capacity) {
        s->error = true;
        s->code = aErrMemory;
        return 1;
    }
    memcpy(s->write, packet->data + 3, payload);
    s->write += payload;
    s->count += payload;
    s->continues = (last & ueiBYTES_CONTINUE) ? 1 : 0;
    return 1;
}

EntityClass::EntityClass() : m_impl(new impl{this}) {}

EntityClass::~EntityClass()
{
    delete m_impl;
}

void EntityClass::init(Module* module, uint8_t command, uint8_t index)
{
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
}

uint8_t EntityClass::getIndex() const
{
    return m_impl->index;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* bytes)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    return link->sendPacket(m_impl->module->getModuleAddress(), command, length, bytes);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* output)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    return link->receivePacket(m_impl->module->getModuleAddress(), match, length, output);
}

aErr EntityClass::getUEI(uint8_t option, uei* value)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    if (!value) return aErrParam;
    const uint8_t module = m_impl->module->getModuleAddress();
    const bool hasSub = value->type == ueiTypeByte;
    const uint8_t subindex = hasSub ? value->value.byteVal : 0;

    aErr streamed = link->getStreamValue(module, m_impl->command, option, m_impl->index, subindex, value);
    if (streamed != aErrNotFound) return streamed;

    value->module = module;
    value->command = m_impl->command;
    value->option = static_cast<uint8_t>(option | ueiOPTION_GET);
    value->specifier = static_cast<uint8_t>(m_impl->index | ueiSPECIFIER_REQUEST);
    if (hasSub) {
        uei request = *value;
        request.type = ueiTypeVoid;
        if (aErr err = link->sendUEI(request, subindex)) return err;
    } else {
        if (aErr err = link->sendUEI(*value)) return err;
    }
    value->option = option;
    value->specifier = m_impl->index;
    if (aErr err = link->receiveUEI(module, m_impl->command, option, m_impl->index, value)) return err;
    if (value->specifier & ueiSPECIFIER_ERROR) return static_cast<aErr>(value->value.byteVal);
    return aErrNone;
}

aErr EntityClass::setUEI(uint8_t option, uei* value)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    if (!value) return aErrParam;
    const uint8_t module = m_impl->module->getModuleAddress();
    value->module = module;
    value->command = m_impl->command;
    value->option = static_cast<uint8_t>(option | ueiOPTION_SET);
    value->specifier = static_cast<uint8_t>(m_impl->index | ueiSPECIFIER_REQUEST);
    if (aErr err = link->sendUEI(*value)) return err;
    value->option = static_cast<uint8_t>(option | ueiOPTION_GET | ueiOPTION_SET);
    value->specifier = m_impl->index;
    if (aErr err = link->receiveUEI(module, m_impl->command, value->option, m_impl->index, value)) return err;
    if (value->specifier & ueiSPECIFIER_ERROR) return static_cast<aErr>(value->value.byteVal);
    return aErrNone;
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* value)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    if (!value) return aErrParam;
    const uint8_t module = m_impl->module->getModuleAddress();
    value->module = module;
    value->command = m_impl->command;
    value->option = static_cast<uint8_t>(option | ueiOPTION_SET);
    value->specifier = static_cast<uint8_t>(m_impl->index | ueiSPECIFIER_REQUEST);
    if (aErr err = link->sendUEI(*value, subindex)) return err;
    value->option = static_cast<uint8_t>(option | ueiOPTION_GET | ueiOPTION_SET);
    value->specifier = m_impl->index;
    if (aErr err = link->receiveUEI(module, m_impl->command, value->option, m_impl->index, value)) return err;
    if (value->specifier & ueiSPECIFIER_ERROR) return static_cast<aErr>(value->value.byteVal);
    return aErrNone;
}

aErr EntityClass::callUEI(uint8_t option)
{
    uei v{};
    v.type = ueiTypeVoid;
    return setUEI(option, &v);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value)
{
    uei v{};
    v.type = ueiTypeByte;
    v.value.byteVal = value;
    return setUEI(option, &v);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value)
{
    uei v{};
    v.type = ueiTypeShort;
    v.value.shortVal = value;
    return setUEI(option, &v);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value)
{
    uei v{};
    v.type = ueiTypeInt;
    v.value.intVal = value;
    return setUEI(option, &v);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value)
{
    uei v{};
    v.type = ueiTypeByte;
    v.value.byteVal = value;
    return setUEI(option, subindex, &v);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value)
{
    uei v{};
    v.type = ueiTypeShort;
    v.value.shortVal = value;
    return setUEI(option, subindex, &v);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value)
{
    uei v{};
    v.type = ueiTypeInt;
    v.value.intVal = value;
    return setUEI(option, subindex, &v);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* bytes, uint32_t length)
{
    if (length && !bytes) return aErrParam;
    uei v{};
    v.type = ueiTypeBytes;
    v.value.bytes.data = const_cast<uint8_t*>(bytes);  // only read when sending
    v.value.bytes.count = length;
    return setUEI(option, &v);
}

template <typename T> aErr EntityClass::getTyped(uint8_t option, bool hasSub, uint8_t subindex, T* out)
{
    if (!out) return aErrParam;
    uei v{};
    v.type = hasSub ? ueiTypeByte : ueiTypeVoid;
    v.value.byteVal = subindex;
    aErr err = getUEI(option, &v);
    if (err != aErrNone && err != aErrStreamStale) return err;
    if constexpr (sizeof(T) == 1)
        *out = v.value.byteVal;
    else if constexpr (sizeof(T) == 2)
        *out = v.value.shortVal;
    else
        *out = v.value.intVal;
    return err;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value)
{
    return getTyped(option, false, 0, value);
}
aErr EntityClass::getUEI16(uint8_t option, uint16_t* value)
{
    return getTyped(option, false, 0, value);
}
aErr EntityClass::getUEI32(uint8_t option, uint32_t* value)
{
    return getTyped(option, false, 0, value);
}
aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value)
{
    return getTyped(option, true, subindex, value);
}
aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value)
{
    return getTyped(option, true, subindex, value);
}
aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value)
{
    return getTyped(option, true, subindex, value);
}

aErr EntityClass::setStreamEnabled(bool enable)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    return link->enableStream(m_impl->module->getModuleAddress(), m_impl->command, Link::kStreamWildcard,
                              m_impl->index, enable);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, Link::streamCallback callback, void* reference)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    return link->registerStreamCallback(m_impl->module->getModuleAddress(), m_impl->command, option, m_impl->index,
                                        enable, std::move(callback), reference);
}

aErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, std::size_t capacity, std::size_t* count)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    return link->getStreamStatus(m_impl->module->getModuleAddress(), m_impl->command, Link::kStreamWildcard,
                                 m_impl->index, Link::kStreamWildcard, entries, capacity, count);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, uint32_t capacity, uint32_t* count)
{
    if (!buffer || !count || capacity == 0) return aErrParam;
    *count = 0;
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    const uint8_t module = m_impl->module->getModuleAddress();

    uei request{};
    request.module = module;
    request.command = m_impl->command;
    request.option = static_cast<uint8_t>(option | ueiOPTION_GET);
    request.specifier = static_cast<uint8_t>(m_impl->index | ueiSPECIFIER_REQUEST);
    request.type = ueiTypeVoid;
    if (aErr err = link->sendUEI(request)) return err;

    BytesRead state{};
    state.record.module = module;
    state.record.type = ueiTypeVoid;
    state.module = module;
    state.command = m_impl->command;
    state.option = option;
    state.index = m_impl->index;
    state.write = buffer;
    state.capacity = capacity;
    for (;;) {
        aErr err = link->receiveUEI(module, m_impl->command, option, m_impl->index, &state.record, bytesFilter);
        *count = state.count;
        if (err != aErrNone) return err;
        // An error reply is never a success, even when its code byte reads 0.
        if (state.error) return state.code != aErrNone ? static_cast<aErr>(state.code) : aErrUnknown;
        if (!state.continues) return aErrNone;
        // The sequence field holds 7 bits and is not wrapped here: a reply of
        // more than 128 chunks runs out of matches and ends in a time-out.
        if (state.sequence == 0xFF) return aErrTimeout;
        ++state.sequence;
    }
}

aErr EntityClass::getUEIBytesCheck(uint32_t* count, uint32_t elementSize)
{
    if (!count || elementSize == 0) return aErrParam;
    if (*count % elementSize) return aErrMemory;
    *count /= elementSize;
    return aErrNone;
}

uint8_t EntityClass::getUEIBytesSequence(const aPacket* packet)
{
    if (!packet || packet->dataSize == 0) return 0;
    return packet->data[packet->dataSize - 1] & ueiBYTES_SEQUENCE_MASK;
}

bool EntityClass::getUEIBytesContinue(const aPacket* packet)
{
    if (!packet || packet->dataSize == 0) return false;
    return (packet->data[packet->dataSize - 1] & ueiBYTES_CONTINUE) != 0;
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t)
{
    if (!value) return aErrParam;
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    uei v{};
    v.module = m_impl->module->getModuleAddress();
    v.command = m_impl->command;
    v.option = option;
    v.specifier = m_impl->index;
    v.type = ueiTypeVoid;
    if (aErr err = link->receiveUEI(v.module, v.command, option, m_impl->index, &v)) return err;
    if (v.specifier & ueiSPECIFIER_ERROR) return static_cast<aErr>(v.value.byteVal);
    *value = v.value.intVal;
    return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    return link->dropMatchingUEIPackets(m_impl->module->getModuleAddress(), m_impl->command, option, m_impl->index);
}

aErr EntityClass::storeAction(uint8_t option)
{
    if (!m_impl->link()) return aErrResource;
    EntityClass store;
    store.init(m_impl->module, kEntityStoreCommand, 0);
    return store.setUEI32(option, static_cast<uint32_t>(m_impl->command) * 256u + m_impl->index);
}

aErr EntityClass::saveEntityToStore()
{
    return storeAction(0);
}

aErr EntityClass::resetEntityToFactoryDefaults()
{
    return storeAction(1);
}

aErr EntityClass::loadEntityFromStore()
{
    return storeAction(2);
}

} // namespace Velmarine
} // namespace Corvane
