#pragma once
// Entities: each property of an entity is an option read or written with one
// UEI exchange addressed to (module, command, option, index).

#include <cstdint>

#include "lib/common/aError.h"
#include "lib/common/aUEI.h"
#include "lib/object/Link.h"

namespace Corvane {
namespace Velmarine {

class Module;

class EntityClass {
public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* bytes);
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* output);

    aErr getUEI(uint8_t option, uei* value);
    aErr setUEI(uint8_t option, uei* value);
    aErr setUEI(uint8_t option, uint8_t subindex, uei* value);
    aErr callUEI(uint8_t option);

    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    aErr setUEIBytes(uint8_t option, const uint8_t* bytes, uint32_t length);

    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);

    aErr getUEIBytes(uint8_t option, uint8_t* buffer, uint32_t capacity, uint32_t* count);
    aErr getUEIBytesCheck(uint32_t* count, uint32_t elementSize);
    static uint8_t getUEIBytesSequence(const aPacket* packet);
    static bool getUEIBytesContinue(const aPacket* packet);

    // Reassembly state of one byte-string read. Link::receiveUEI hands its filter
    // the uei record, so the record comes first and the state rides behind it.
    struct BytesRead {
        uei record;
        uint8_t module, command, option, index;
        uint8_t* write;
        uint32_t capacity;
        uint32_t count;
        uint8_t sequence;  // expected
        uint8_t continues;
        bool error;
        uint8_t code;
    };
    // Reply filter of a byte-string read (the context is a BytesRead): takes the
    // chunk with the expected sequence number and appends it, or takes an error
    // reply; a chunk that would overflow the buffer ends the read with aErrMemory.
    static uint8_t bytesFilter(const aPacket* packet, void* ref);

    aErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t unused = 0);

    // Streams of this entity: every option (setStreamEnabled), one option with a
    // callback (registerOptionCallback), and the cached values of all options.
    aErr setStreamEnabled(bool enable);
    aErr registerOptionCallback(uint8_t option, bool enable, Link::streamCallback callback, void* reference);
    aErr getStreamStatus(Link::StreamStatusEntry* entries, std::size_t capacity, std::size_t* count);
    aErr drainUEI(uint8_t option);

    aErr saveEntityToStore();
    aErr resetEntityToFactoryDefaults();
    aErr loadEntityFromStore();

    struct impl;

protected:
    impl* m_impl;

private:
    template <typename T> aErr getTyped(uint8_t option, bool hasSub, uint8_t subindex, T* out);
    aErr storeAction(uint8_t option);
};

} // namespace Velmarine
} // namespace Corvane
