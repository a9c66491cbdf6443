#pragma once
// TCP/IP discovery on this platform: one multicast request per interface, then
// unicast replies collected until none has come for a while.

#include <stdint.h>

#include "lib/common/discover.h"

#ifdef __cplusplus
extern "C" {
#endif

// aDiscovery_EnumerateTCPIP with its ports and reply wait spelled out, so a
// test can run it against a responder on other ports.
uint8_t aDiscovery_EnumerateTCPIPWith(aDiscoveryModuleFoundProc callback, void* ref, uint32_t networkInterface,
                                      uint16_t requestPort, uint16_t replyPort, uint32_t replyTimeoutMs);

#ifdef __cplusplus
}
#endif
