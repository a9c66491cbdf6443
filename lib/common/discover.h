#pragma once
// Finding modules: USB enumeration, TCP/IP enumeration by a multicast request
// with unicast replies, and searches for one module built on them. Every
// module found is handed to a callback as a candidate link specifier; the
// callback decides whether it counts and whether the enumeration goes on.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "lib/common/aError.h"
#include "lib/common/linkSpec.h"

#ifdef __cplusplus
extern "C" {
#endif

// Multicast request and unicast reply ports of TCP/IP discovery.
#define aDISCOVERY_MULTICAST_GROUP "232.2.2.2"
#define aDISCOVERY_REQUEST_PORT 9888
#define aDISCOVERY_REPLY_PORT 9889
#define aDISCOVERY_DATAGRAM_SIZE 16
#define aDISCOVERY_REPLY_TIMEOUT_MS 2000

// 127.0.0.1 with its first octet in the lowest-addressed byte: "all interfaces".
#define aDISCOVERY_LOCALHOST 0x0100007Fu

// Beacon discovery of shared network servers on a network interface: searchers
// publish this text (without a terminating zero); servers answer with their
// 128-byte specifier as their own beacon.
#define DISCOVERY_BEACON_FILTER "Velmarine2-Discovery"
#define aDISCOVERY_BEACON_FILTER_LENGTH 20
#define aDISCOVERY_BEACON_PORT 8585
#define aDISCOVERY_BEACON_INTERVAL_MS 100
#define aDISCOVERY_BEACON_RECEIVE_MS 100
#define aDISCOVERY_BEACON_ROUNDS 22

// Called once per candidate. The candidate is valid only during the call. Set
// *success to count it; return false to stop the enumeration.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* success, void* ref);

linkSpec* aLinkSpec_Create(linkType type);
linkSpec* aLinkSpec_Copy(linkSpec spec);
aErr aLinkSpec_Destroy(linkSpec** spec);

// Returns how many candidates the callback marked successful. networkInterface
// is an IPv4 address in network order; 0 or 127.0.0.1 means every interface.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref,
                                    uint32_t networkInterface);
// The module with that serial number, or null. Release with aLinkSpec_Destroy.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);
// The first module with a non-zero serial number, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// The host's IPv4 interface addresses (network order) as czmq lists them.
uint8_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint8_t capacity);
// Dotted text of an address into buffer (zeroed first); its length, or 0.
size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size);

// Shared network servers (the aEther kinds). With networkInterface 0 or
// 127.0.0.1, or on a host without IPv4 interfaces, servers on this machine are
// asked by multicast on loopback; otherwise beacons are exchanged on that
// interface for about 2.2 seconds. Each server is reported once per search.
uint8_t aDiscovery_Enumerate_aEtherModules(aDiscoveryModuleFoundProc callback, void* ref,
                                           uint32_t networkInterface);

// Transport back ends (lib/unix).
uint8_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* ref);
uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* ref, uint32_t networkInterface);

// Turns one received discovery reply (length bytes, at most 16 are read) from
// senderAddress (network order) into a TCP/IP candidate. A reply of 12 bytes
// or fewer carries no model code: the candidate's model is then 0xFF.
void aDiscovery_ParseTCPIPReply(const uint8_t* reply, size_t length, uint32_t senderAddress,
                                linkSpec* candidate);

#ifdef __cplusplus
}
#endif
