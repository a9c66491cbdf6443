// Packet pools: a client's byte-string write that spans several packets is
// gathered until its last chunk has arrived, so that the module receives the
// whole set as one burst and answers it once, without another client's
// request slipping in between its pieces.

#include <iterator>
#include <list>
#include <new>

#include "lib/common/aServerInternal.h"
#include "lib/common/aUEI.h"
#include "lib/common/packetfifo.h"

namespace {

constexpr int kTimeToLive = 2000;
// A set is handed to the direct link's send queue in one go, so it may not
// outgrow that queue.
constexpr size_t kMaxPooled = aPACKET_FIFO_CAPACITY;

struct Pool {
    zframe_t* identity = nullptr;
    std::vector<aPacket> packets;
    uint8_t last = 0;  // sequence number of the last chunk taken
    int timeToLive = kTimeToLive;
};

uint8_t sSequence(const aPacket* packet)
{
    return aUEI_getBytesSequence(packet);
}

// The first chunk of a multi-packet set.
bool sOpensSet(const aPacket* packet)
{
    return aServer_IsContinuedChunk(packet) && sSequence(packet) == 0;
}

// A packet of the same value as the pooled set (command, option, specifier).
bool sSameValue(const Pool& pool, const aPacket* packet)
{
    const aPacket& first = pool.packets.front();
    return aUEI_isUEIPayload(packet) && packet->dataSize >= 4 && packet->data[0] == first.data[0] &&
           packet->data[1] == first.data[1] && packet->data[2] == first.data[2];
}

} // namespace

struct aServerPools {
    std::list<Pool> pools;
};

aServerPools* aServerPools_Create()
{
    return new (std::nothrow) aServerPools;
}

void aServerPools_Destroy(aServerPools** pools)
{
    if (pools == nullptr || *pools == nullptr)
        return;
    for (Pool& p : (*pools)->pools)
        zframe_destroy(&p.identity);
    delete *pools;
    *pools = nullptr;
}

bool aServerPools_Offer(aServerPools* pools, zframe_t* identity, const aPacket* packet,
                        std::vector<aPacket>* complete)
{
    if (pools == nullptr)
        return false;
    // Every packet ages every pool: a set whose rest never comes is forgotten.
    for (auto it = pools->pools.begin(); it != pools->pools.end();) {
        if (it->timeToLive == 0) {
            zframe_destroy(&it->identity);
            it = pools->pools.erase(it);
        } else {
            --it->timeToLive;
            ++it;
        }
    }

    auto pool = pools->pools.begin();
    while (pool != pools->pools.end() && !zframe_eq(pool->identity, identity))
        ++pool;

    // Sequence numbers wrap at 128, so sets of any length can be completed.
    const bool follows = pool != pools->pools.end() && sSameValue(*pool, packet) &&
                         sSequence(packet) == ((pool->last + 1) & ueiBYTES_SEQUENCE_MASK);
    if (!follows && sOpensSet(packet)) {
        // A new set from a client replaces whatever was left of its previous
        // one; otherwise a single lost chunk would shut the client out until
        // the broken set aged away.
        if (pool == pools->pools.end()) {
            pools->pools.emplace_back();
            pool = std::prev(pools->pools.end());
            pool->identity = zframe_dup(identity);
        }
        pool->packets.assign(1, *packet);
        pool->last = 0;
        pool->timeToLive = kTimeToLive;
        return true;
    }
    // Packets that are no part of a pending set of this client pass on as usual.
    if (pool == pools->pools.end() || !sSameValue(*pool, packet))
        return false;
    if (!follows || pool->packets.size() >= kMaxPooled)
        return true;  // out of step: dropped; the set ages out
    pool->packets.push_back(*packet);
    pool->last = sSequence(packet);
    if (aServer_IsContinuedChunk(packet))
        return true;
    if (complete != nullptr)
        complete->swap(pool->packets);
    zframe_destroy(&pool->identity);
    pools->pools.erase(pool);
    return true;
}
