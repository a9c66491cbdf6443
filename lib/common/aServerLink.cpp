// Putting a network server in front of a direct link: the server, its first
// client link, and the module identity the server advertises.

#include <chrono>
#include <thread>

#include "lib/common/aDefs.h"
#include "lib/common/aLink.h"
#include "lib/common/aLinkManagerInternal.h"
#include "lib/common/aServer.h"

namespace {

constexpr int kIdentityAttempts = 5;
constexpr auto kIdentityRetryPause = std::chrono::milliseconds(10);

// Asks the module, through the server, for its address and model.
bool sLearnIdentity(aServer* server, aLinkRef client)
{
    for (int attempt = 0; attempt < kIdentityAttempts; ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(kIdentityRetryPause);
        uint8_t address = 0;
        aErr err = _aLink_GetModuleAddress(client, &address);
        aServer_SetModuleAddress(server, err == aErrNone ? address : 0);
        if (err == aErrNone) {
            uint8_t model = 0;
            err = _aLink_GetModel(client, address, &model);
            if (err == aErrNone) {
                aServer_SetModel(server, model);
                return true;
            }
        }
        // Whatever answer is still on its way belongs to nobody now.
        aServer_FlushFIFO(server);
    }
    return false;
}

} // namespace

extern "C" aLinkRef aLink_CreateServer(aLinkRef direct, uint16_t* port, uint32_t* interfaceAddress, bool localOnly)
{
    if (port == nullptr || interfaceAddress == nullptr || direct == 0)
        return 0;
    aLinkEntry* entry = sLookupEntryByID(direct);
    if (entry == nullptr)
        return 0;
    aServer* server = aServer_Create(direct, *interfaceAddress, localOnly);
    if (server == nullptr)
        return 0;
    // From here on the direct link owns the server: releasing it stops the server.
    entry->server = server;

    aLinkRef client = 0;
    uint32_t served = 0;
    if (aServer_Start(server) == aErrNone && aServer_GetPort(server, port) == aErrNone &&
        aServer_GetInterface(server, &served) == aErrNone) {
        client = aLink_CreateClient(served, *port, 0);
        if (client != 0) {
            // Releasing the first client releases the direct link, and with it the server.
            if (aLinkEntry* clientEntry = sLookupEntryByID(client))
                clientEntry->companion = direct;
            if (sLearnIdentity(server, client)) {
                *interfaceAddress = served;
                aDebug_Printf(aDEBUG_SERVER, "aLink_CreateServer(%d): client %d on port %u\n",
                              static_cast<int>(direct), static_cast<int>(client), *port);
                return client;
            }
        }
    }
    if (client != 0)
        aLink_Destroy(&client);
    return 0;
}
