#pragma once
// The client side of a shared network server: a byte stream over a message
// socket connection to the server's frontend, and engine links over it.
//
// Every frame on such a connection carries whole packets in wire form, so the
// stream never needs a synchronisation burst.

#include <stdint.h>

#include "lib/common/aError.h"
#include "lib/common/aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

// A stream to the server frontend at address:port. The address is IPv4 with
// its first octet in the lowest-addressed byte (network order in memory); the
// port in host order. The connection is made lazily, so a port nobody listens
// on still gives a stream (its reads answer aErrNotReady).
// aErrParam: no output pointer; aErrMemory: no memory or a socket could not
// be made; aErrConnection: a connect failed; aErrResource: no stream object.
// On failure nothing is left behind and *pStream stays null.
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** pStream);

#ifdef __cplusplus
}
#endif
