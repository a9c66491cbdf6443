// Engine links to a shared network server: a link of the client kind over a
// client stream to the server's frontend.

#include <atomic>

#include "lib/common/aDefs.h"
#include "lib/common/aLink.h"
#include "lib/common/aLinkManagerInternal.h"
#include "lib/common/aStreamClient.h"
#include "lib/common/linkSpec.h"

namespace {

// Every client link is a connection of its own, even to the same server, so
// the index makes each identity new. Link creation is serialised by the
// object layer; the atomic only keeps unserialised callers from sharing an index.
std::atomic<uint32_t> sClientIndex{0};

} // namespace

extern "C" aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef existing)
{
    if (existing != 0) {
        // A module reached through the same server as its router shares the
        // router's client link.
        aLinkEntry* entry = sLookupEntryByID(existing);
        if (entry == nullptr)
            return 0;
        sChangeUseCount(entry, +1);
        return entry->id;
    }
    aLinkRef handle = sCreate2(address, port, sClientIndex++, AETHER);
    if (handle == 0)
        return 0;
    aStream* stream = nullptr;
    const aErr err = aStream_CreateClient(address, port, &stream);
    if (err != aErrNone) {
        aDebug_Printf(aDEBUG_CLIENT, "aLink_CreateClient: no stream (%d)\n", err);
        aLink_Destroy(&handle);
        return 0;
    }
    if (aLink_Init(handle, stream) != handle) {
        const aLinkRecord* record = sGetLink(handle);
        if (record == nullptr || record->stream != stream)
            aStream_Destroy(&stream);  // never handed to the record
        aLink_Destroy(&handle);
        return 0;
    }
    if (aLink_Start(handle) != aErrNone) {
        aLink_Destroy(&handle);
        return 0;
    }
    sChangeUseCount(sLookupEntryByID(handle), +1);
    return handle;
}
