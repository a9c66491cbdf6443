// The server's stream filter, run on the direct link's reader thread for
// every packet the module sends: stream packets are gathered into batches for
// the clients that enabled streams; everything else goes on to the engine.

#include <cstring>

#include "lib/common/aDefs.h"
#include "lib/common/aServerInternal.h"
#include "lib/common/aUEI.h"

namespace {

bool sIsHeartbeat(const aPacket* packet)
{
    return packet->dataSize == 2 && packet->data[0] == cmdHB;
}

void sSendBatch(aServer* s)
{
    zframe_t* frame = zframe_new(s->batch, s->batchUsed);
    // Never wait on the reader thread: a batch nobody takes is lost.
    if (frame != nullptr && zframe_send(&frame, s->streamFilter, ZFRAME_DONTWAIT) != 0) {
        aDebug_Printf(aDEBUG_SERVER, "server stream filter: batch of %zu bytes lost\n", s->batchUsed);
        zframe_destroy(&frame);
    }
    s->batchUsed = 0;
}

} // namespace

uint8_t aServer_StreamFilter(const aPacket* packet, void* ref)
{
    auto* s = static_cast<aServer*>(ref);
    if (s == nullptr || packet == nullptr)
        return 0;
    uint8_t taken = 0;
    if (aUEI_isStreamPacket(packet)) {
        // A batch is sent once it holds more than the flush size, so one more
        // packet always fits.
        uint8_t* at = s->batch + s->batchUsed;
        at[0] = packet->address;
        at[1] = packet->dataSize;
        std::memcpy(at + 2, packet->data, packet->dataSize);
        s->batchUsed += packet->dataSize + 2u;
        taken = 1;
    }
    if ((sIsHeartbeat(packet) || s->batchUsed > aSERVER_BATCH_FLUSH) && s->batchUsed > 0)
        sSendBatch(s);
    return taken;
}
