#pragma once
// One connection to a module: its link specifier, the shared network server
// settings and the handle of the engine link it uses. Several Link objects may
// hold the same engine link (a module behind a routing module shares its
// router's); each releases it once.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

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

    // Stream subscriptions. A module sends the values of an enabled stream on its
    // own as timestamped samples; the link keeps the last value of every
    // subscribed key and hands samples to callbacks on a worker thread.
    enum STREAM_KEY { STREAM_KEY_MODULE = 0, STREAM_KEY_CMD = 1, STREAM_KEY_OPTION = 2, STREAM_KEY_INDEX = 3,
                      STREAM_KEY_SUBINDEX = 4 };
    // The sample type carried in data byte 3 of a stream packet.
    enum STREAM_PACKET { STREAM_PACKET_NONE = 0, STREAM_PACKET_BYTE = 1, STREAM_PACKET_SHORT = 2,
                         STREAM_PACKET_INT = 3, STREAM_PACKET_MULTI = 4, STREAM_PACKET_BYTE_SUBINDEX = 5,
                         STREAM_PACKET_SHORT_SUBINDEX = 6, STREAM_PACKET_INT_SUBINDEX = 7 };
    // 0xFF in a key element matches any value (never for the module address).
    static constexpr uint8_t kStreamWildcard = 0xFF;
    struct StreamStatusEntry {
        uint64_t key;
        uint32_t value;
    };
    // Called on the worker thread with a copy of the sample packet (released
    // after the call) and the reference given at registration.
    using streamCallback = std::function<uint8_t(const aPacket* packet, void* reference)>;

    aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                streamCallback callback, void* reference);
    aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
    aErr isLinkStreaming(uint8_t module, uint8_t* streaming);
    // The cached value of exactly this key: aErrNone once per new value,
    // aErrStreamStale after that, aErrNotFound when nothing was streamed for it.
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                        uei* value);
    std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                 uint8_t subindex, bool lock = true);
    aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                         StreamStatusEntry* entries, std::size_t capacity, std::size_t* count);

    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subindex);
    static uint8_t getStreamKeyElement(uint64_t key, STREAM_KEY element);
    static bool isStreamPacket(const aPacket* packet);
    static STREAM_PACKET getStreamPacketType(const aPacket* packet);
    static bool isStreamSample(const aPacket* packet);
    static bool isSubindexType(const aPacket* packet);
    // Each output may be null.
    static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
    static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);

    // The UEI reply filter (the context is the uei record being answered).
    static uint8_t ueiFilter(const aPacket* packet, void* ref);

    struct impl;

private:
    impl* m_impl;
};

} // namespace Velmarine
} // namespace Corvane
