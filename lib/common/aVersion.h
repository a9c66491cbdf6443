#pragma once
// The library's own version and packed firmware version numbers.
//
// A packed version is one 32-bit value in one of two layouts:
//   legacy:  major in bits 31-28, minor in bits 27-24, patch in bits 23-0
//   current: 0x2F in the top byte, then major, minor and patch as bytes
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 12
#define aVERSION_PATCH 1
#define aVERSION_PHASE "."

uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint32_t aVersion_GetPatch(void);
// "2.12.1"; the same static text on every call.
const char* aVersion_GetString(void);

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsLegacyFormat(uint32_t packed);
uint8_t aVersion_ParseMajor(uint32_t packed);
uint8_t aVersion_ParseMinor(uint32_t packed);
uint32_t aVersion_ParsePatch(uint32_t packed);
// "major.minor.patch" into the buffer; returns the formatted length.
int aVersion_ParseString(uint32_t packed, char* buffer, size_t size);

// True when the reference version is greater than or equal to the candidate.
bool aVersion_IsAtLeastCompare(uint8_t refMajor, uint8_t refMinor, uint8_t refPatch,
                               uint8_t major, uint8_t minor, uint8_t patch);
// True when this library is at least the given version.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

bool aVersion_HasFeature(const char* name);
// "name - description" lines joined by "\n"; release with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList(void);
void aVersion_DestroyFeatureList(char** pList);

#ifdef __cplusplus
}
#endif
