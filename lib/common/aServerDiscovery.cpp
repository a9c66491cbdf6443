// How clients find a server: on this machine by a multicast request on one
// of the well-known loopback ports the server holds, answered with the
// server's link specifier; on a network interface by UDP beacons, answered by
// publishing the specifier as the server's own beacon for a while.

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "lib/common/aDefs.h"
#include "lib/common/aMulticast.h"
#include "lib/common/aServerInternal.h"
#include "lib/common/zBeaconInterface.h"

namespace {

constexpr int kPortSearches = 50;
constexpr int kBeaconTimeoutMs = 100;

int64_t sNowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The first request port no one holds, with a sender on its reply port.
bool sHoldPorts(aMulticast** receiver, aMulticast** sender, int* offset)
{
    for (int search = 0; search < kPortSearches; ++search) {
        int k = 0;
        for (; k < aMULTICAST_PORT_COUNT; ++k) {
            *receiver = aMulticast_Create(aMULTICAST_INTERFACE, aMULTICAST_GROUP,
                                          static_cast<uint16_t>(aMULTICAST_REQUEST_PORT_BASE + k), false);
            if (*receiver != nullptr)
                break;
        }
        if (*receiver == nullptr)
            return false;
        *sender = aMulticast_Create(aMULTICAST_INTERFACE, aMULTICAST_GROUP,
                                    static_cast<uint16_t>(aMULTICAST_REPLY_PORT_BASE + k), true);
        if (*sender != nullptr) {
            *offset = k;
            return true;
        }
        aMulticast_Destroy(receiver);
    }
    return false;
}

} // namespace

void aServer_MulticastActor(zsock_t* pipe, void* ref)
{
    auto* s = static_cast<aServer*>(ref);
    aMulticast* receiver = nullptr;
    aMulticast* sender = nullptr;
    int offset = -1;
    if (!sHoldPorts(&receiver, &sender, &offset))
        aDebug_Printf(aDEBUG_MULTICAST, "server: no free discovery port\n");
    else
        aDebug_Printf(aDEBUG_MULTICAST, "server: discovery on port %d\n", aMULTICAST_REQUEST_PORT_BASE + offset);
    zsock_signal(pipe, 0);

    zpoller_t* poller = zpoller_new(pipe, nullptr);
    if (poller != nullptr) {
        zpoller_set_nonstop(poller, true);
        for (;;) {
            if (receiver != nullptr) {
                // Room for more than the request, so a longer datagram shows
                // its length instead of passing for one.
                uint8_t request[8];
                const int n = aMulticast_Receive(receiver, request, sizeof request);
                uint32_t magic = 0;
                if (n == 4)
                    std::memcpy(&magic, request, 4);
                if (magic == aMULTICAST_MAGIC && s->model.load() != 0) {
                    linkSpec spec;
                    aServer_AdvertisedSpec(s, &spec);
                    aMulticast_Send(sender, &spec, sizeof spec);
                }
            }
            // The receive above already waits up to a second, so the pipe is
            // only looked at here: waiting on it as well would leave the port
            // unattended for a second after every request, and searches that
            // came then would get their answer too late.
            void* which = zpoller_wait(poller, receiver != nullptr ? 0 : 1000);
            if (which == pipe)
                break;
            if (which == nullptr && zpoller_terminated(poller) && zmq_errno() == ETERM)
                break;
        }
        zpoller_destroy(&poller);
    }
    aMulticast_Destroy(&receiver);
    aMulticast_Destroy(&sender);
}

bool aServer_StartBeacon(aServer* s, const char* interfaceText)
{
    if (!zBeaconInterface_setAndLock(interfaceText))
        return false;
    // The beacon actor reads the interface setting when it is configured, so
    // the setting stays locked until the actor has answered the configuration.
    s->discovery = zactor_new(zbeacon, nullptr);
    char* host = nullptr;
    if (s->discovery != nullptr) {
        zsock_send(s->discovery, "si", "CONFIGURE", aSERVER_BEACON_PORT);
        host = zstr_recv(s->discovery);
    }
    zBeaconInterface_unlock();
    if (s->discovery == nullptr)
        return false;
    zsock_send(s->discovery, "sb", "SUBSCRIBE", aSERVER_BEACON_FILTER, aSERVER_BEACON_FILTER_LENGTH);
    zsock_set_rcvtimeo(s->discovery, kBeaconTimeoutMs);
    in_addr parsed{};
    if (host != nullptr && inet_pton(AF_INET, host, &parsed) == 1)
        s->advertisedAddress = parsed.s_addr;
    aDebug_Printf(aDEBUG_BEACON, "server: beacon on %s, host %s\n", interfaceText, host ? host : "");
    zstr_free(&host);
    return true;
}

void aServer_HandleBeacon(aServer* s)
{
    // Both parts are always read, also before the model is known: a beacon
    // left unread would sit in front of every later one.
    char* sender = zstr_recv(s->discovery);
    if (sender == nullptr)
        return;
    zframe_t* beacon = zframe_recv(s->discovery);
    const bool discovery = beacon != nullptr && zframe_size(beacon) >= aSERVER_BEACON_FILTER_LENGTH &&
                           std::memcmp(zframe_data(beacon), aSERVER_BEACON_FILTER, aSERVER_BEACON_FILTER_LENGTH) == 0;
    if (discovery && s->model.load() != 0 && !s->publishing) {
        linkSpec spec;
        aServer_AdvertisedSpec(s, &spec);
        zsock_send(s->discovery, "sbi", "PUBLISH", &spec, sizeof spec, aSERVER_BEACON_INTERVAL_MS);
        s->publishing = true;
        s->publishTime = sNowMs();
        aDebug_Printf(aDEBUG_BEACON, "server: answering a search from %s\n", sender);
    }
    zframe_destroy(&beacon);
    zstr_free(&sender);
}

void aServer_CheckPublishing(aServer* s)
{
    if (s->publishing && sNowMs() - s->publishTime > aSERVER_PUBLISH_MS) {
        zstr_send(s->discovery, "SILENCE");
        s->publishing = false;
    }
}
