#pragma once
// The server record and what its parts (start and stop, broker, sync worker,
// stream filter, packet pools, discovery) share. Internal to the server.

#include <czmq.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/common/aLinkManagerInternal.h"
#include "lib/common/aPacket.h"
#include "lib/common/aServer.h"
#include "lib/common/linkSpec.h"

#define aSERVER_CHECK 0x5E7E

// The text a discovery beacon begins with (sent without a terminating zero).
#define aSERVER_BEACON_FILTER "Velmarine2-Discovery"
#define aSERVER_BEACON_FILTER_LENGTH 20
#define aSERVER_BEACON_PORT 8585
#define aSERVER_BEACON_INTERVAL_MS 100
#define aSERVER_PUBLISH_MS 2000

// Server commands from the sync worker to the broker. They travel as a
// two-part message, an empty frame and then the three command bytes, so that
// no reply packet (always one frame of at least two bytes) can pass for one.
#define SERVER_CMD_DROPPED_PACKET 0
#define SERVER_CMD_INCOMING_PACKETS 1
#define aSERVER_CMD_LENGTH 3

// The value of a broker pipe signal that forgets the waiting clients.
#define aSERVER_SIGNAL_FLUSH 5

// Stream batches are sent once they hold more than this many bytes.
#define aSERVER_BATCH_SIZE 4096
#define aSERVER_BATCH_FLUSH 4065

enum aServerDiscoveryKind { kDiscoveryNone = 0, kDiscoveryMulticast = 1, kDiscoveryBeacon = 2 };

struct aServerPools;

struct aServer {
    uint16_t check = 0;
    aLinkRef direct = 0;
    aLinkRecord* link = nullptr;  // the direct link's record; outlives the server
    uint32_t serialNumber = 0;
    linkType type = INVALID_LINK_TYPE;
    bool localOnly = true;
    uint32_t interfaceAddress = 0;  // network order
    std::atomic<uint8_t> moduleAddress{0};
    std::atomic<uint8_t> model{0};
    uint32_t advertisedAddress = 0;  // network order
    uint16_t frontendPort = 0;

    zsock_t* frontend = nullptr;      // ROUTER; broker only
    zsock_t* syncBroker = nullptr;    // broker only
    zsock_t* syncWorker = nullptr;    // sync worker only
    zsock_t* streamBroker = nullptr;  // broker only
    zsock_t* streamFilter = nullptr;  // stream filter (direct link's reader thread) only

    zactor_t* broker = nullptr;
    zactor_t* syncActor = nullptr;
    zactor_t* discovery = nullptr;
    aServerDiscoveryKind discoveryKind = kDiscoveryNone;

    // Broker only.
    bool publishing = false;
    int64_t publishTime = 0;
    uint16_t expectedReplies = 0;
    aServerPools* pools = nullptr;

    // Stream filter only.
    uint8_t batch[aSERVER_BATCH_SIZE] = {};
    size_t batchUsed = 0;

    // Set before the workers are stopped, so that long waits end early.
    std::atomic<bool> stopping{false};
};

// Wire form of packets in frames: [address, size, data...], 2 to 30 bytes,
// the size byte agreeing with the frame's length.
bool aServer_FrameToPacket(const zframe_t* frame, aPacket* packet);
zframe_t* aServer_PacketToFrame(const aPacket* packet);

// A full byte-string chunk that announces another one after it: the middle
// pieces of a multi-packet write, and of a multi-packet reply.
bool aServer_IsContinuedChunk(const aPacket* packet);

// The 128-byte specifier discovery hands out for this server.
void aServer_AdvertisedSpec(const aServer* server, linkSpec* spec);

// Actor bodies.
void aServer_BrokerActor(zsock_t* pipe, void* server);
void aServer_SyncActor(zsock_t* pipe, void* server);
void aServer_MulticastActor(zsock_t* pipe, void* server);

// Sets up the beacon actor on the interface; false when it cannot.
bool aServer_StartBeacon(aServer* server, const char* interfaceText);
// Handles one message from the beacon actor (broker thread).
void aServer_HandleBeacon(aServer* server);
// Ends a publication that has run its time (broker thread).
void aServer_CheckPublishing(aServer* server);

// The stream filter installed on the direct link.
uint8_t aServer_StreamFilter(const aPacket* packet, void* server);

// Packet pools of multi-packet byte-string writes, one per client (broker only).
aServerPools* aServerPools_Create();
void aServerPools_Destroy(aServerPools** pools);
// Offers a client's packet to the pools. True when the pools took it; when it
// completed a set, *complete receives the set's packets in order.
bool aServerPools_Offer(aServerPools* pools, zframe_t* identity, const aPacket* packet,
                        std::vector<aPacket>* complete);
