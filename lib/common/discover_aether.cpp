// Finding shared network servers: by multicast on this machine's loopback
// interface, or by UDP beacons on one network interface.

#include <czmq.h>

#include <cstring>
#include <vector>

#include "lib/common/aMulticast.h"
#include "lib/common/discover.h"
#include "lib/common/zBeaconInterface.h"

namespace {

constexpr uint8_t kMaxInterfaces = 50;

// The specifiers already reported in one search. A server that answers twice
// (or on two rounds) is reported once.
class SeenList {
public:
    bool contains(const linkSpec& spec) const
    {
        for (const linkSpec& s : seen_)
            if (s.serialNumber == spec.serialNumber && s.ipAddress == spec.ipAddress &&
                s.ipPort == spec.ipPort && s.type == spec.type)
                return true;
        return false;
    }
    void add(const linkSpec& spec) { seen_.push_back(spec); }

private:
    std::vector<linkSpec> seen_;
};

// Hands one new specifier to the callback. Returns the callback's wish to go on.
bool sReport(const linkSpec& spec, SeenList& seen, aDiscoveryModuleFoundProc callback, void* ref,
             uint8_t& count)
{
    seen.add(spec);
    linkSpec candidate;
    memcpy(&candidate, &spec, sizeof candidate);
    bool success = false;
    bool more = callback(&candidate, &success, ref);
    if (success) ++count;
    return more;
}

// Asks the server holding request port 9850 + offset for its specifier.
// Returns the callback's wish to go on (true when nothing was reported).
bool sAskOffset(unsigned offset, bool localRule, SeenList& seen, aDiscoveryModuleFoundProc callback, void* ref,
                uint8_t& count)
{
    const uint16_t requestPort = static_cast<uint16_t>(aMULTICAST_REQUEST_PORT_BASE + offset);
    const uint16_t replyPort = static_cast<uint16_t>(aMULTICAST_REPLY_PORT_BASE + offset);

    // A free request port means no server there: ask nothing.
    aMulticast* probe = aMulticast_Create(aMULTICAST_INTERFACE, aMULTICAST_GROUP, requestPort, false);
    if (probe) {
        aMulticast_Destroy(&probe);
        return true;
    }

    bool more = true;
    aMulticast* reply = aMulticast_Create(aMULTICAST_INTERFACE, aMULTICAST_GROUP, replyPort, false);
    aMulticast* request = aMulticast_Create(aMULTICAST_INTERFACE, aMULTICAST_GROUP, requestPort, true);
    if (reply && request) {
        uint8_t magic[4];
        const uint32_t value = aMULTICAST_MAGIC;
        memcpy(magic, &value, sizeof magic);  // host order, as servers compare it
        if (aMulticast_Send(request, magic, sizeof magic) == static_cast<int>(sizeof magic)) {
            // One byte of room more than a specifier, so that a longer datagram
            // shows as longer instead of being cut to a plausible size.
            uint8_t buffer[sizeof(linkSpec) + 1];
            int got = aMulticast_Receive(reply, buffer, sizeof buffer);
            if (got == static_cast<int>(sizeof(linkSpec))) {
                linkSpec spec;
                memcpy(&spec, buffer, sizeof spec);
                if (!seen.contains(spec) && (!localRule || spec.ipAddress == aMULTICAST_INTERFACE))
                    more = sReport(spec, seen, callback, ref, count);
            }
        }
    }
    aMulticast_Destroy(&reply);
    aMulticast_Destroy(&request);
    return more;
}

uint8_t sMulticastSearch(aDiscoveryModuleFoundProc callback, void* ref, bool localRule)
{
    SeenList seen;
    uint8_t count = 0;
    for (unsigned offset = 0; offset < aMULTICAST_PORT_COUNT; ++offset)
        if (!sAskOffset(offset, localRule, seen, callback, ref, count)) break;
    return count;
}

uint8_t sBeaconSearch(aDiscoveryModuleFoundProc callback, void* ref, const char* interfaceText)
{
    // The actor reads czmq's interface setting when it is configured; the
    // lock keeps a server of this process from changing it meanwhile.
    if (!zBeaconInterface_backupSetAndLock(interfaceText)) return 0;
    uint8_t count = 0;
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    if (!beacon) {
        zBeaconInterface_restoreAndUnlock();
        return 0;
    }
    zsock_send(beacon, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
    char* host = zstr_recv(beacon);
    zsock_send(beacon, "sbi", "PUBLISH", DISCOVERY_BEACON_FILTER, static_cast<size_t>(aDISCOVERY_BEACON_FILTER_LENGTH),
               aDISCOVERY_BEACON_INTERVAL_MS);
    zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
    zsock_set_rcvtimeo(beacon, aDISCOVERY_BEACON_RECEIVE_MS);

    SeenList seen;
    bool more = true;
    for (int round = 0; round < aDISCOVERY_BEACON_ROUNDS && more; ++round) {
        char* sender = zstr_recv(beacon);
        if (!sender) continue;  // 100 ms without a beacon
        zframe_t* frame = zframe_recv(beacon);
        // Anything but a whole specifier (the discovery text of other
        // searchers, for one) is not a server's answer.
        if (frame && zframe_size(frame) == sizeof(linkSpec)) {
            linkSpec spec;
            memcpy(&spec, zframe_data(frame), sizeof spec);
            if (!seen.contains(spec)) more = sReport(spec, seen, callback, ref, count);
        }
        zframe_destroy(&frame);
        zstr_free(&sender);
    }

    zstr_sendx(beacon, "SILENCE", nullptr);
    zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
    zactor_destroy(&beacon);
    zstr_free(&host);
    zBeaconInterface_restoreAndUnlock();
    return count;
}

} // namespace

uint8_t aDiscovery_Enumerate_aEtherModules(aDiscoveryModuleFoundProc callback, void* ref, uint32_t networkInterface)
{
    if (!callback) return 0;
    const bool local = networkInterface == 0 || networkInterface == aDISCOVERY_LOCALHOST;
    uint32_t interfaces[kMaxInterfaces];
    const uint8_t found = aDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces);
    if (local || found == 0) return sMulticastSearch(callback, ref, true);

    char text[32] = {};
    if (aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof text) == 0) return 0;
    return sBeaconSearch(callback, ref, text);
}
