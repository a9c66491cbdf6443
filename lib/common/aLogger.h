#pragma once
// A logger thread that keeps handing an output file to a writer procedure,
// which paces itself (the packet-log line writer sleeps when nothing is new).

#include <stdint.h>

#include "lib/common/aError.h"
#include "lib/unix/aFile.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*aLoggerWriter)(aFileRef file, uint32_t value);
typedef struct aLogger aLogger;

// Opens path for appending, unbuffered; the logger is not running yet.
aLogger* aLogger_Create(uint32_t value, aLoggerWriter writer, const char* path);
aErr aLogger_Enable(aLogger* logger);
aErr aLogger_Disable(aLogger* logger);
aErr aLogger_Destroy(aLogger** logger);

// Line writer for a link's packet log (value: the link handle): takes one
// entry and appends "<count> <dir> <bytes>\r\n", dir ">" for sent packets
// and "<" otherwise; packet bytes as "0x%X ", text entries as characters.
// Sleeps 5 ms when the log is empty.
void aLogger_PacketLogWriter(aFileRef file, uint32_t link);

#ifdef __cplusplus
}
#endif
