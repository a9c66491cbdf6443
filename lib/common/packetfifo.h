#pragma once
// Packet FIFOs: the queues between a link's threads and its callers, named by
// 64-bit ids in one process-wide dictionary. Puts store a copy; every take
// hands out a new copy that the caller releases with aPacket_Destroy.

#include <stdint.h>

#include "lib/common/aPacket.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aPACKET_FIFO_CAPACITY 1000

typedef uint64_t aPacketFifoId;  // 0 names no FIFO

// Accepts a packet with any non-zero answer. Runs with the FIFO's lock held:
// it must not call back into the same FIFO.
typedef uint8_t (*aPacketFilter)(const aPacket* packet, void* ref);

aPacketFifoId aPacketFifo_Create(void);
aErr aPacketFifo_Destroy(aPacketFifoId* id);
aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet);
aPacket* aPacketFifo_Get(aPacketFifoId id);
aPacket* aPacketFifo_Await(aPacketFifoId id, uint32_t msTimeout);
aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilter predicate, void* ref);
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilter predicate, void* ref,
                                uint32_t msTimeout);
uint32_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilter predicate, void* ref);
uint32_t aPacketFifo_GetLength(aPacketFifoId id);

#ifdef __cplusplus
}
#endif
