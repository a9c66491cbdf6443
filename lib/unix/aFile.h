#pragma once
// Buffered files behind an opaque, checked handle.
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "lib/common/aError.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aFile aFile;
typedef aFile* aFileRef;

typedef enum {
    aFileModeReadOnly = 0,   // "rb"
    aFileModeWriteOnly = 1,  // "wb": created or truncated
    aFileModeAppend = 2,     // "ab+": read and append, created if missing
    aFileModeUnknown = 3     // refused
} aFileMode;

typedef enum {
    aSeekStart = 0,
    aSeekCurrent = 1,
    aSeekEnd = 2
} aFileSeekMode;

#define aFILE_MAXPATHLENGTH 4096

bool aFile_Exists(const char* path);
// Null on any failure.
aFileRef aFile_Open(const char* path, aFileMode mode);
// Sets the caller's variable to null whenever the pointer itself is non-null.
aErr aFile_Close(aFileRef* pFile);
aErr aFile_Read(aFileRef file, uint8_t* buffer, size_t length, size_t* pRead);
aErr aFile_Write(aFileRef file, const uint8_t* data, size_t length, size_t* pWritten);
// Any origin other than aSeekCurrent or aSeekEnd counts as aSeekStart. Seeking
// before the start or past the end gives aErrRange.
aErr aFile_Seek(aFileRef file, long offset, int origin);
aErr aFile_GetSize(aFileRef file, uint32_t* pSize);
// One line including its newline. aErrOverrun when the line is longer than the
// buffer; the rest of the line is what the next call reads.
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* pLength);
aErr aFile_SetUnbuffered(aFileRef file);
aErr aFile_Printf(aFileRef file, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
aErr aFile_Delete(const char* path);

#ifdef __cplusplus
}
#endif
