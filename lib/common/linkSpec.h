#pragma once
// The link specifier: everything needed to open a link to one module. Its
// 128-byte layout is fixed because it is copied whole and sent over the
// network as it is: 32-bit fields in host order, unused bytes zero.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    INVALID_LINK_TYPE = 0,
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    AETHER = 4,         // client of a shared network server
    AETHER_USB = 5,     // a network server in front of a USB module
    AETHER_TCPIP = 6,   // ... of a TCP/IP module
    AETHER_SERIAL = 7,  // ... of a serial-port module
} linkType;

#define linkSPEC_PORTNAME_LENGTH 100

typedef struct linkSpec {
    linkType type;
    uint32_t serialNumber;        // 0: unknown, or any module when searching
    uint32_t module;              // bus address, 0 when unknown
    uint32_t router;              // bus address of the module's router
    uint32_t routerSerialNumber;  // serial number of the module's router
    uint32_t model;               // model code in the low 8 bits
    union {
        uint32_t usbId;  // USB: equal to the serial number
        struct {
            uint32_t ipAddress;  // IPv4, network order (first octet first in memory)
            uint32_t ipPort;     // TCP port in the low 16 bits
        };
        struct {
            uint32_t baudRate;
            char portName[linkSPEC_PORTNAME_LENGTH];  // zero-terminated device name
        };
        uint8_t transport[104];
    };
} linkSpec;

#ifdef __cplusplus
}
static_assert(sizeof(linkSpec) == 128, "linkSpec travels as exactly 128 bytes");
static_assert(offsetof(linkSpec, ipAddress) == 24 && offsetof(linkSpec, ipPort) == 28 &&
                  offsetof(linkSpec, portName) == 28,
              "linkSpec field offsets are part of the wire layout");
#else
_Static_assert(sizeof(linkSpec) == 128, "linkSpec travels as exactly 128 bytes");
#endif
