#pragma once
// Packet log: a byte ring of entries [kind, length, bytes...] recording a
// link's traffic for diagnosis, and the per-link operations on it.

#include <stdint.h>

#include "lib/common/aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aPACKETLOG_SENT 1
#define aPACKETLOG_RECEIVED 2
#define aPACKETLOG_TEXT 3

#define aPACKETLOG_DEFAULT_SIZE 65536
#define aPACKETLOG_MAX_SIZE 67108864

typedef struct aPacketLog aPacketLog;
typedef uint32_t aLinkRef;

aPacketLog* aPacketLog_Create(uint32_t size);
aErr aPacketLog_Put(aPacketLog* log, uint8_t kind, uint32_t length, const uint8_t* bytes);
// length: capacity of bytes on entry, the entry's length on return.
aErr aPacketLog_Get(aPacketLog* log, uint8_t* kind, uint32_t* length, uint8_t* bytes);
aErr aPacketLog_Destroy(aPacketLog** log);

aErr aLink_PacketDebug_SetLogSize(aLinkRef link, int32_t size);
aErr aLink_PacketDebug_Enable(aLinkRef link);
aErr aLink_PacketDebug_Disable(aLinkRef link);
aErr aLink_PacketDebug_Read(aLinkRef link, uint8_t* kind, uint32_t* length, uint8_t* bytes);
aErr aLink_PacketDebug_Write(aLinkRef link, uint8_t kind, uint32_t length, const uint8_t* bytes);

#ifdef __cplusplus
}
#endif
