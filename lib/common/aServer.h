#pragma once
// The shared network server: one per direct engine link (USB, TCP/IP or
// serial), letting several clients, in this process or elsewhere, share the
// module through a message-socket frontend. It passes requests to the module
// one at a time and returns each reply to the client that asked, copies the
// module's stream packets to the clients that enabled streams, and answers
// discovery for the module.

#include <stdbool.h>
#include <stdint.h>

#include "lib/common/aError.h"
#include "lib/common/aLink.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aServer aServer;

// A stopped server for the direct link; null when the handle names no link or
// the link is not a USB, TCP/IP or serial one. The interface is IPv4 in
// network order; 0 means 127.0.0.1.
aServer* aServer_Create(aLinkRef direct, uint32_t interfaceAddress, bool localOnly);
// aErrParam for a null server, aErrResource when it could not start.
aErr aServer_Start(aServer* server);
// Stops and frees the server and clears the caller's pointer; aErrParam for null.
aErr aServer_Destroy(aServer** server);

aErr aServer_GetPort(const aServer* server, uint16_t* port);
aErr aServer_GetInterface(const aServer* server, uint32_t* interfaceAddress);
// What discovery advertises; discovery is answered only once the model is known.
aErr aServer_SetModuleAddress(aServer* server, uint8_t address);
aErr aServer_SetModel(aServer* server, uint8_t model);
// Forgets every client waiting for a reply.
aErr aServer_FlushFIFO(aServer* server);

#ifdef __cplusplus
}
#endif
