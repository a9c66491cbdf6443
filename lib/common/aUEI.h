#pragma once
// UEI payloads: [command, option, specifier, value...] with values most
// significant byte first, and the uei value record.

#include <stdbool.h>
#include <stdint.h>

#include "lib/common/aPacket.h"

#ifdef __cplusplus
extern "C" {
#endif

// Option byte bits.
#define ueiOPTION_MASK 0x3F
#define ueiOPTION_GET 0x40
#define ueiOPTION_SET 0x80
// Specifier byte bits.
#define ueiSPECIFIER_INDEX_MASK 0x1F
#define ueiSPECIFIER_REQUEST 0x20
#define ueiSPECIFIER_STREAM 0x40
#define ueiSPECIFIER_ERROR 0x80
// Sequence byte of a bytes chunk.
#define ueiBYTES_CONTINUE 0x80
#define ueiBYTES_SEQUENCE_MASK 0x7F
#define ueiBYTES_CHUNK 24

typedef enum {
    ueiTypeVoid = 0,
    ueiTypeByte = 1,
    ueiTypeShort = 2,
    ueiTypeInt = 4,
    ueiTypeBytes = 5,
} ueiType;

typedef struct ueiBytes {
    uint8_t* data;       // the caller's bytes
    uint8_t sequence;    // expected chunk sequence number
    uint8_t continues;   // continue flag of the last chunk
    uint32_t count;      // bytes to send, or capacity when receiving
    uint32_t* received;  // bytes received so far
} ueiBytes;

typedef struct uei {
    uint8_t module;
    uint8_t command;
    uint8_t option;
    uint8_t specifier;
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        ueiBytes bytes;
    } value;
    int32_t type;  // ueiType
} uei;

void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
uint16_t aUEI_RetrieveShort(const uint8_t* buffer);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* buffer);
// Rewrites n words read as big-endian byte quadruples into host order; returns n.
uint32_t aUEI_ModifyIntBuffer(uint32_t* words, uint32_t n);

uint8_t aUEI_getBytesSequence(const aPacket* packet);
bool aUEI_getBytesContinue(const aPacket* packet);
bool aUEI_getBytesFullPacket(const aPacket* packet);
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
bool aUEI_isStreamPacket(const aPacket* packet);

#ifdef __cplusplus
}
#endif
