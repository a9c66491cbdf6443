#pragma once
// CRC-8/MAXIM (Dallas): polynomial 0x31 reflected, initial value 0, no final XOR.
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

uint8_t crc8_update(uint8_t crc, uint8_t byte);
uint8_t crc8_create(const uint8_t* bytes, size_t n);
bool crc8_check(const uint8_t* bytes, size_t n, uint8_t expected);

#ifdef __cplusplus
}
#endif
