#pragma once
// One connection to a module: its link specifier, the shared network server
// settings and the handle of the engine link it uses. Several Link objects may
// hold the same engine link (a module behind a routing module shares its
// router's); each releases it once.

#include <cstdint>

#include "lib/common/aError.h"
#include "lib/common/aLink.h"
#include "lib/common/aPacket.h"
#include "lib/common/aUEI.h"
#include "lib/common/linkSpec.h"

namespace Corvane {
namespace Velmarine {

// Shared network server settings of one Link.
struct aEtherConfig {
    bool enabled = true;     // put a shared network server in front of direct links
    bool fallback = true;    // retry a failed discover-and-connect with the other link family
    bool localOnly = true;   // the server listens on loopback only
    uint16_t assignedPort = 0;
    uint32_t networkInterface = 0x0100007Fu;  // 127.0.0.1, first octet in the lowest byte
};

// Waiting times of the request/reply exchanges.
constexpr uint32_t kReplyTimeoutMs = 1000;
constexpr uint32_t kLongBytesReplyTimeoutMs = 4000;  // acknowledgement of more than 1000 bytes
constexpr uint32_t kLongBytesThreshold = 1000;
constexpr uint32_t kSlotOpenTimeoutMs = 3000;
constexpr uint8_t kNoSlotHandle = 255;

class Link {
public:
    explicit Link(const char* name);
    Link(const linkSpec& spec, const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    aErr setLinkSpecifier(const linkSpec& spec);
    aErr getLinkSpecifier(linkSpec* spec) const;
    const char* getName() const;
    aErr getConfig(aEtherConfig* config) const;
    aErr setConfig(const aEtherConfig& config);

    aErr connect();
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
    aErr connectThroughLinkModule(Link* other);
    aErr disconnect();
    aErr reset();
    bool isConnected() const;
    int32_t getStatus() const;
    aLinkRef getLinkId() const;

    // Asks the connected device for its bus address.
    aErr getModuleAddress(uint8_t* address);

    // Raw packets: [command, bytes...] to module; at most 27 bytes after the command.
    aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* bytes);
    // Waits for the first packet whose first *length data bytes equal match;
    // *length becomes its data length and output (28 bytes) its data.
    aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* output);

    aErr sendUEI(const uei& value);
    aErr sendUEI(const uei& value, uint8_t subindex);
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* value,
                    aPacketFilter filter = nullptr);
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier);
    aErr enablePooledPackets(bool enable);

    // Factory data records.
    aErr getFactoryData(uint8_t module, uint8_t index, uint8_t* buffer, uint32_t capacity, uint32_t* count);
    aErr setFactoryData(uint8_t module, uint8_t index, const uint8_t* bytes, uint32_t count);
    // Store slots.
    aErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, uint32_t* capacity);
    aErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, uint32_t* size);
    aErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* bytes, uint32_t count);
    aErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, uint32_t capacity,
                         uint32_t* count);

    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    // Streamed values; nothing is subscribed in this build, so every key is unknown.
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                        uei* value);

    // The UEI reply filter (the context is the uei record being answered).
    static uint8_t ueiFilter(const aPacket* packet, void* ref);

    struct impl;

private:
    impl* m_impl;
};

} // namespace Velmarine
} // namespace Corvane
