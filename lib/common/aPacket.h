#pragma once
// One device packet: a module address, a size byte and up to 28 data bytes.
// On the wire a packet is exactly [address, size, data...]; framing is the
// transport's business (byte synchronisation or serial frames).

#include <stdbool.h>
#include <stdint.h>

#include "lib/common/aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aPACKET_MAX_DATA 28
#define aPACKET_MAX_WIRE (aPACKET_MAX_DATA + 2)
#define aPACKET_CHECK 0xBEEF

typedef struct aPacket {
    uint16_t check;    // aPACKET_CHECK while the packet is alive
    uint8_t count;     // wire bytes accepted so far while assembling
    uint8_t address;   // 0 until the address byte arrived
    uint8_t dataSize;  // 0..28
    uint8_t data[aPACKET_MAX_DATA];
} aPacket;

#define aVALIDPACKET(p) ((p) != NULL && (p)->check == aPACKET_CHECK)

aPacket* aPacket_Create(void);
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t size, const uint8_t* bytes);
aPacket* aPacket_Copy(const aPacket* packet);
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* out, uint32_t capacity, uint32_t* written);
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* out);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out);
aErr aPacket_Reset(aPacket* packet);
aErr aPacket_Destroy(aPacket** packet);

#ifdef __cplusplus
}
#endif
