#pragma once
// The link engine: one engine link per physical module connection, named by
// a 32-bit handle (0 is none). Each link owns its transport stream, a reader
// thread that turns bytes into packets (synchronising with the module and
// answering heartbeats), a writer thread, and two packet FIFOs between them
// and the callers.

#include <stdbool.h>
#include <stdint.h>

#include "lib/common/aError.h"
#include "lib/common/aPacket.h"
#include "lib/common/aStream.h"
#include "lib/common/packetfifo.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t aLinkRef;

typedef enum {
    kLinkStateStopped = 0,
    kLinkStateStarting = 1,
    kLinkStateRunning = 2,
    kLinkStateStopping = 3,
    kLinkStateSyncing = 4,
    kLinkStateNoStream = 5,
    kLinkStateIOError = 6,
    kLinkStatePacketError = 8,
} aLinkState;

// Creation; each returns a handle or 0. A second create for the same module
// shares the open link and raises its use count.
aLinkRef aLink_CreateUSB(uint32_t serialNumber);
// address: IPv4 in network byte order, as discovery delivers it.
aLinkRef aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);
aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
// A link over a stream the caller made (the link takes it over); never shared.
aLinkRef aLink_Create(aStream* stream);
// A link to a shared network server's frontend (address in network order,
// port in host order). With an existing handle that names an open link, that
// link is shared (use count raised) instead; a stale one gives 0.
aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef existing);
// Puts a network server in front of a direct link and returns the handle of
// the server's first client link, or 0. *port and *interfaceAddress receive
// the frontend port and the interface served (network order). Releasing the
// client link also releases the direct link and stops the server.
aLinkRef aLink_CreateServer(aLinkRef direct, uint16_t* port, uint32_t* interfaceAddress, bool localOnly);

aLinkRef aLink_Init(aLinkRef link, aStream* stream);
aErr aLink_Start(aLinkRef link);
aErr aLink_Sync(aLinkRef link);
aErr aLink_ForceRoute(aLinkRef link, bool on);
aErr aLink_Reset(aLinkRef link);
aErr aLink_Destroy(aLinkRef* link);
int32_t aLink_GetStatus(aLinkRef link);

aErr aLink_PutPacket(aLinkRef link, const aPacket* packet);
aPacket* aLink_GetPacket(aLinkRef link);
aPacket* aLink_AwaitPacket(aLinkRef link, uint32_t msTimeout);
aPacket* aLink_GetFirst(aLinkRef link, aPacketFilter predicate, void* ref);
aPacket* aLink_AwaitFirst(aLinkRef link, aPacketFilter predicate, void* ref, uint32_t msTimeout);
uint32_t aLink_DrainPackets(aLinkRef link, aPacketFilter predicate, void* ref);
// The filter runs on the reader thread for every received packet; answering 1
// consumes the packet. A null filter removes it.
aErr aLink_InstallUserPacketFilter(aLinkRef link, aPacketFilter filter, void* ref);
aErr aLink_EnablePooledPackets(aLinkRef link, bool on);

// Helpers for a server put in front of a direct link.
aErr _aLink_GetModuleAddress(aLinkRef link, uint8_t* address);
aErr _aLink_GetModel(aLinkRef link, uint8_t address, uint8_t* model);

#ifdef __cplusplus
}
#endif
