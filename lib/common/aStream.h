#pragma once
// The byte stream of the device library. A transport supplies up to four
// operations over a state record of its own (get, put, write, delete) plus an
// optional wait; the stream adds a push-back ring, exact-count reads, records and
// strings, copying and destruction.
//
// Results of the transport operations: aErrNone a byte was transferred,
// aErrNotReady no byte is available now (try later), aErrEOF the data has ended,
// anything else a failure.
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "lib/common/aError.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aStream aStream;
typedef aStream* aStreamRef;

typedef aErr (*aStreamGetProc)(uint8_t* pByte, void* ref);
typedef aErr (*aStreamPutProc)(const uint8_t* pByte, void* ref);
typedef aErr (*aStreamWriteProc)(const uint8_t* pData, size_t length, void* ref);
typedef aErr (*aStreamDeleteProc)(void* ref);
// Blocks up to ms milliseconds until a get may find a byte: aErrNone when
// something is (or may be) waiting, aErrTimeout when the time ran out.
typedef aErr (*aStreamWaitProc)(uint32_t ms, void* ref);

#define aSTREAM_CHECK 0x4321
#define aSTREAM_PUSHBACK_CHUNK 512

// Null when memory runs out. Any operation may be absent; ref is owned by the
// stream from now on and released through the delete operation.
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* ref);
// Gives the stream a way to wait for readability (serial, socket and framed
// streams have one). aErrParam for an invalid stream.
aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait);
// Waits up to ms milliseconds for a byte to read, so that a reader of a
// non-blocking transport can sleep instead of polling. aErrNone at once when
// pushed-back bytes are waiting or the transport reports readable; aErrTimeout
// when nothing arrived in time. A transport without a wait operation is never
// known to be idle: the call sleeps at most 1 ms and answers aErrNone.
// ms = 0 only checks.
aErr aStream_WaitReadable(aStream* stream, uint32_t ms);

// Reads exactly n bytes or none: aErrNotReady keeps the bytes already obtained
// for the next read.
aErr aStream_Read(aStream* stream, uint8_t* destination, size_t n);
aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t n);
// Pushes one byte onto the end of the push-back ring.
aErr aStreamBufferChar(aStream* stream, uint8_t byte);

aErr aStream_ReadRecord(aStream* stream, uint8_t* out, size_t* pLength, size_t maximum,
                        const uint8_t* delimiter, size_t delimiterLength);
aErr aStream_WriteRecord(aStream* stream, const uint8_t* record, size_t length,
                         const uint8_t* delimiter, size_t delimiterLength);
aErr aStream_ReadCString(aStream* stream, char* out, size_t size);
aErr aStream_WriteCString(aStream* stream, const char* text);
aErr aStream_ReadCStringRecord(aStream* stream, char* out, size_t size, const char* delimiter);
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* delimiter);
// Copies source into destination until the source ends (aErrNone) or either side fails.
aErr aStream_Flush(aStream* source, aStream* destination);
// The caller's pointer becomes null in every case.
aErr aStream_Destroy(aStream** pStream);

// File streams: aErrResource on any failure, nothing handed out.
aErr aStream_CreateFileInput(const char* path, aStream** pStream);
aErr aStream_CreateFileOutput(const char* path, aStream** pStream);

// Serial ports. Speed index 0..7: 2400, 4800, 9600, 19200, 38400, 57600, 115200,
// 230400 baud; any other index hangs the line up (speed 0). parity on means even
// parity; dataBits 0 is 8 bits, 1 is 7; stopBits 0 is one, 1 is two.
aErr aStream_CreateSerial(const char* path, uint32_t speedIndex, bool parity, uint8_t dataBits,
                          uint8_t stopBits, aStream** pStream);
// The same port carrying whole packets in COBS frames with a CRC-8/MAXIM byte.
aErr aStream_CreateSerial_Packetized(const char* path, uint32_t speedIndex, bool parity,
                                     uint8_t dataBits, uint8_t stopBits, aStream** pStream);
// Packet framing over any transport.
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* ref, aStream** pStream);
// The same with the transport's wait operation, so the framed stream can wait too.
aErr aStream_CreateCobsEncodingWithWait(aStreamGetProc get, aStreamPutProc put,
                                        aStreamWriteProc write, aStreamDeleteProc del,
                                        aStreamWaitProc wait, void* ref, aStream** pStream);

// An outgoing TCP connection. The address is in network byte order, as
// discovery delivers it; the port in host order. Reconnects by itself when a
// read or write finds the connection broken.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** pStream);

#ifdef __cplusplus
}
#endif
