#pragma once
// Codes shared by the device library: link-level address bytes, command codes,
// the model-name lookup and the library's diagnostic switches.

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Odd values of the address byte are link-level codes, never module addresses.
#define cmdSYNC 0xAD        // sync burst / module-address query, no data
#define cmdFORCEROUTE 0xAF  // one data byte: 1 on, 0 off

// First data byte of a packet addressed to a module.
#define cmdHB 0x00
#define cmdSYS 0x03
#define cmdSLOT 0x04
#define cmdI2C 0x08
#define cmdDEBUG 0x17
#define cmdMODULE_QUERY 0x49
#define cmdFACTORY 0x5E
#define cmdUPGRADE 0x5F

// Option code of the system entity that reports the model.
#define sysModelOption 8

// Display name of a model code; "Unknown" for codes without a name.
const char* aDefs_GetModelName(uint32_t model);

// Diagnostic switches of the device library; nothing in the updater sets them.
extern bool aVelmarineDebuggingEnable;
extern uint32_t aVelmarineDebuggingLevel;

#define aDEBUG_LINK 0x1
#define aDEBUG_PACKETS 0x2
#define aDEBUG_SERVER 0x4
#define aDEBUG_MULTICAST 0x8
#define aDEBUG_DISCOVERY 0x10
#define aDEBUG_CLIENT 0x20
#define aDEBUG_MODULE 0x40
#define aDEBUG_BEACON 0x200
#define aDEBUG_USB 0x400

// Prints a diagnostic line to standard output when the switch is on and the bit is set.
void aDebug_Printf(uint32_t bit, const char* format, ...) __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}
#endif
