#pragma once
// Small UDP multicast sockets for finding network servers on this machine.
//
// A receiver binds its port exclusively (address reuse switched off), so a
// port held by one process is visible to every other: a second receiver on the
// same port cannot be made. That is how a server announces that it is there,
// and how a client finds the ports to ask.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The group and interface of local server discovery, as IPv4 addresses with
// their first octet in the lowest-addressed byte (network order in memory).
#define aMULTICAST_GROUP 0x070000E0u      // 224.0.0.7
#define aMULTICAST_INTERFACE 0x0100007Fu  // 127.0.0.1

// A server holds the request port 9850 + k and answers on 9950 + k, for the
// first free offset k below 50.
#define aMULTICAST_REQUEST_PORT_BASE 9850
#define aMULTICAST_REPLY_PORT_BASE 9950
#define aMULTICAST_PORT_COUNT 50

// The request: this value as 4 bytes in host order (BA DC CD AB).
#define aMULTICAST_MAGIC 0xABCDDCBAu

#define aMULTICAST_RECEIVE_TIMEOUT_MS 1000

// Results of send and receive besides a byte count.
#define aMULTICAST_FAILED (-1)         // send failed; receive timed out or failed
#define aMULTICAST_NO_HANDLE (-2)      // null or invalid handle
#define aMULTICAST_WRONG_DIRECTION (-3)  // receive on a sender, send on a receiver

typedef struct aMulticast aMulticast;

// A socket joined to group on the interface (network order; 0 and 127.0.0.1
// both mean 127.0.0.1). A receiver binds port on every address; a sender sends
// to group:port. Null on any failure, including a receiver's port being held.
aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, bool sender);

// Bytes sent, or one of the negative results above.
int aMulticast_Send(aMulticast* handle, const void* data, size_t length);

// Length of the datagram received (at most size bytes are kept), or one of the
// negative results above; waits at most one second.
int aMulticast_Receive(aMulticast* handle, void* buffer, size_t size);

// Closes the socket, frees the handle and clears the caller's pointer.
// 0, or aMULTICAST_NO_HANDLE when there was none.
int aMulticast_Destroy(aMulticast** handle);

#ifdef __cplusplus
}
#endif
