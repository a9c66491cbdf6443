// The network server's record: creation, start, stop and accessors, and the
// packet helpers its workers share.

#include <arpa/inet.h>

#include <atomic>
#include <cstring>
#include <new>

#include "lib/common/aDefs.h"
#include "lib/common/aServerInternal.h"
#include "lib/common/aUEI.h"
#include "lib/common/discover.h"

namespace {

constexpr uint8_t kMaxInterfaces = 50;
constexpr uint32_t kLocalhost = aDISCOVERY_LOCALHOST;

bool sValid(const aServer* server)
{
    return server != nullptr && server->check == aSERVER_CHECK;
}

uint8_t sDrainAll(const aPacket*, void*)
{
    return 1;
}

// A bound broker-side socket and the worker-side socket connected to it. The
// pair never leaves the process, so it is an in-process pipe rather than a
// loopback TCP pair: that saves two trips through the messaging library's I/O
// thread for every request and every reply.
bool sMakePair(zsock_t** bound, zsock_t** connected)
{
    static std::atomic<uint64_t> pairs{0};
    *bound = zsock_new(ZMQ_DEALER);
    *connected = zsock_new(ZMQ_DEALER);
    if (*bound == nullptr || *connected == nullptr)
        return false;
    const auto n = static_cast<unsigned long long>(pairs++);
    return zsock_bind(*bound, "inproc://velmarine-server-%llu", n) == 0 &&
           zsock_connect(*connected, "inproc://velmarine-server-%llu", n) == 0;
}

} // namespace

bool aServer_FrameToPacket(const zframe_t* frame, aPacket* packet)
{
    auto* f = const_cast<zframe_t*>(frame);
    const size_t size = zframe_size(f);
    if (size < 2 || size > aPACKET_MAX_WIRE)
        return false;
    const uint8_t* bytes = zframe_data(f);
    if (static_cast<size_t>(bytes[1]) + 2 != size)
        return false;
    std::memset(packet, 0, sizeof *packet);
    packet->check = aPACKET_CHECK;
    packet->address = bytes[0];
    packet->dataSize = bytes[1];
    packet->count = static_cast<uint8_t>(size);
    std::memcpy(packet->data, bytes + 2, packet->dataSize);
    return true;
}

zframe_t* aServer_PacketToFrame(const aPacket* packet)
{
    uint8_t wire[aPACKET_MAX_WIRE];
    wire[0] = packet->address;
    wire[1] = packet->dataSize;
    std::memcpy(wire + 2, packet->data, packet->dataSize);
    return zframe_new(wire, packet->dataSize + 2u);
}

bool aServer_IsContinuedChunk(const aPacket* packet)
{
    return packet->dataSize == aPACKET_MAX_DATA && aUEI_isUEIPayload(packet) && aUEI_getBytesContinue(packet);
}

void aServer_AdvertisedSpec(const aServer* server, linkSpec* spec)
{
    std::memset(spec, 0, sizeof *spec);
    spec->type = server->type;
    spec->serialNumber = server->serialNumber;
    spec->module = server->moduleAddress.load();
    spec->model = server->model.load();
    spec->ipAddress = server->advertisedAddress;
    spec->ipPort = server->frontendPort;
}

extern "C" {

aServer* aServer_Create(aLinkRef direct, uint32_t interfaceAddress, bool localOnly)
{
    aLinkEntry* entry = sLookupEntryByID(direct);
    if (entry == nullptr || entry->link == nullptr)
        return nullptr;
    linkType advertised = INVALID_LINK_TYPE;
    switch (entry->type) {
    case USB:
        advertised = AETHER_USB;
        break;
    case TCPIP:
        advertised = AETHER_TCPIP;
        break;
    case SERIAL:
        advertised = AETHER_SERIAL;
        break;
    default:
        return nullptr;
    }
    auto* server = new (std::nothrow) aServer;
    if (server == nullptr)
        return nullptr;
    server->check = aSERVER_CHECK;
    server->direct = direct;
    server->link = entry->link;
    server->serialNumber = entry->identifier0;
    server->type = advertised;
    server->localOnly = localOnly;
    server->interfaceAddress = interfaceAddress == 0 ? kLocalhost : interfaceAddress;
    return server;
}

aErr aServer_Start(aServer* server)
{
    if (!sValid(server))
        return aErrParam;
    server->expectedReplies = 0;
    server->stopping = false;
    server->frontend = zsock_new(ZMQ_ROUTER);

    // Discovery: beacons on a network interface, unless the server serves
    // this machine only or the host has no interface to serve.
    uint32_t interfaces[kMaxInterfaces] = {};
    const uint8_t count = aDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces);
    char text[INET_ADDRSTRLEN] = {};
    if (!server->localOnly && count > 0) {
        if (server->interfaceAddress == 0 || server->interfaceAddress == kLocalhost)
            server->interfaceAddress = interfaces[0];
        aDiscovery_ConvertIPv4Interface(server->interfaceAddress, text, sizeof text);
        if (aServer_StartBeacon(server, text))
            server->discoveryKind = kDiscoveryBeacon;
    } else {
        // A server that serves this machine only listens on loopback, so that
        // is where its clients must connect, whatever interface it was given.
        if (server->localOnly)
            server->interfaceAddress = kLocalhost;
        server->advertisedAddress = kLocalhost;
        server->discoveryKind = kDiscoveryMulticast;
        server->discovery = zactor_new(aServer_MulticastActor, server);
    }

    if (server->frontend != nullptr) {
        int port = -1;
        if (server->localOnly) {
            port = zsock_bind(server->frontend, "tcp://127.0.0.1:*");
        } else {
            aDiscovery_ConvertIPv4Interface(server->interfaceAddress, text, sizeof text);
            port = zsock_bind(server->frontend, "tcp://%s:*", text);
        }
        server->frontendPort = port > 0 ? static_cast<uint16_t>(port) : 0;
    }

    const bool streamingOk = sMakePair(&server->streamBroker, &server->streamFilter);
    const bool syncOk = sMakePair(&server->syncBroker, &server->syncWorker);

    const bool socketsOk = server->frontendPort != 0 && streamingOk && syncOk;
    if (socketsOk) {
        server->pools = aServerPools_Create();
        server->broker = zactor_new(aServer_BrokerActor, server);
        server->syncActor = zactor_new(aServer_SyncActor, server);
    }
    if (server->broker != nullptr && server->syncActor != nullptr) {
        aLink_InstallUserPacketFilter(server->direct, aServer_StreamFilter, server);
        aPacketFifo_DrainPackets(server->link->inFifo, sDrainAll, nullptr);
    }

    const bool started = socketsOk && server->broker != nullptr && server->syncActor != nullptr &&
                         server->discovery != nullptr && server->pools != nullptr;
    aDebug_Printf(aDEBUG_SERVER, "aServer_Start: frontend %u, %s\n", server->frontendPort,
                  started ? "started" : "failed");
    return started ? aErrNone : aErrResource;
}

aErr aServer_Destroy(aServer** pServer)
{
    if (pServer == nullptr || !sValid(*pServer))
        return aErrParam;
    aServer* server = *pServer;
    // Once this returns the filter is not running and will not run again. A
    // link already on its way out of the table has dropped its filter itself.
    aLink_InstallUserPacketFilter(server->direct, nullptr, nullptr);
    server->stopping = true;
    if (server->syncActor != nullptr)
        zactor_destroy(&server->syncActor);
    if (server->broker != nullptr)
        zactor_destroy(&server->broker);
    if (server->discovery != nullptr)
        zactor_destroy(&server->discovery);
    zsock_destroy(&server->frontend);
    zsock_destroy(&server->syncBroker);
    zsock_destroy(&server->syncWorker);
    zsock_destroy(&server->streamBroker);
    zsock_destroy(&server->streamFilter);
    aServerPools_Destroy(&server->pools);
    server->check = 0;
    delete server;
    *pServer = nullptr;
    return aErrNone;
}

aErr aServer_GetPort(const aServer* server, uint16_t* port)
{
    if (!sValid(server) || port == nullptr)
        return aErrParam;
    *port = server->frontendPort;
    return aErrNone;
}

aErr aServer_GetInterface(const aServer* server, uint32_t* interfaceAddress)
{
    if (!sValid(server) || interfaceAddress == nullptr)
        return aErrParam;
    *interfaceAddress = server->interfaceAddress;
    return aErrNone;
}

aErr aServer_SetModuleAddress(aServer* server, uint8_t address)
{
    if (!sValid(server))
        return aErrParam;
    server->moduleAddress = address;
    return aErrNone;
}

aErr aServer_SetModel(aServer* server, uint8_t model)
{
    if (!sValid(server))
        return aErrParam;
    server->model = model;
    return aErrNone;
}

aErr aServer_FlushFIFO(aServer* server)
{
    if (!sValid(server))
        return aErrParam;
    if (server->broker != nullptr)
        zsock_signal(server->broker, aSERVER_SIGNAL_FLUSH);
    return aErrNone;
}

} // extern "C"
