// Link specifier records, the enumeration dispatcher and the searches built on it.

#include "lib/common/discover.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstdlib>
#include <cstring>

linkSpec* aLinkSpec_Create(linkType type)
{
    auto* spec = static_cast<linkSpec*>(calloc(1, sizeof(linkSpec)));
    if (spec) spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(linkSpec spec)
{
    auto* copy = static_cast<linkSpec*>(malloc(sizeof(linkSpec)));
    if (copy) memcpy(copy, &spec, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec)
{
    if (!spec || !*spec) return aErrParam;
    free(*spec);
    *spec = nullptr;
    return aErrNone;
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref,
                                    uint32_t networkInterface)
{
    if (!callback) return 0;
    switch (type) {
    case USB:
        return aDiscovery_EnumerateUSB(callback, ref);
    case TCPIP:
        return aDiscovery_EnumerateTCPIP(callback, ref, networkInterface);
    case AETHER:
    case AETHER_USB:
    case AETHER_TCPIP:
    case AETHER_SERIAL:
        return aDiscovery_Enumerate_aEtherModules(callback, ref, networkInterface);
    default:
        return 0;  // serial ports are described by hand, never enumerated
    }
}

namespace {

struct SearchState {
    linkSpec* wanted;
    bool anySerial;  // true: first module with a non-zero serial number
};

bool sFindCallback(const linkSpec* candidate, bool* success, void* ref)
{
    auto* state = static_cast<SearchState*>(ref);
    if (state->anySerial) {
        if (candidate->serialNumber == 0) return true;
    } else if (candidate->serialNumber != state->wanted->serialNumber) {
        return true;
    }
    memcpy(state->wanted, candidate, sizeof(linkSpec));
    *success = true;
    return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, bool anySerial, uint32_t networkInterface)
{
    linkSpec* spec = aLinkSpec_Create(type);
    if (!spec) return nullptr;
    spec->serialNumber = serialNumber;
    SearchState state{spec, anySerial};
    if (aDiscovery_EnumerateModules(type, sFindCallback, &state, networkInterface) == 0)
        aLinkSpec_Destroy(&spec);
    return spec;
}

} // namespace

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface)
{
    return sFind(type, serialNumber, false, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface)
{
    return sFind(type, 0, true, networkInterface);
}

uint8_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint8_t capacity)
{
    if (!addresses || capacity == 0) return 0;
    ziflist_t* list = ziflist_new();
    if (!list) return 0;
    uint8_t count = 0;
    for (const char* name = ziflist_first(list); name && count < capacity; name = ziflist_next(list)) {
        const char* text = ziflist_address(list);
        in_addr parsed{};
        if (!text || inet_pton(AF_INET, text, &parsed) != 1) continue;
        addresses[count++] = parsed.s_addr;
    }
    ziflist_destroy(&list);
    return count;
}

size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size)
{
    if (!buffer || size <= 15) return 0;
    memset(buffer, 0, size);
    in_addr in{};
    in.s_addr = address;
    if (!inet_ntop(AF_INET, &in, buffer, static_cast<socklen_t>(size))) {
        memset(buffer, 0, size);
        return 0;
    }
    return strlen(buffer);
}
