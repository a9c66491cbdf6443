#pragma once
// Directories and paths: existence, recursive creation, listing, removal,
// the working directory, the running executable and the user's home directory.
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "lib/common/aError.h"

#ifdef __cplusplus
extern "C" {
#endif

// The path separator; path operations compare and append its first character.
extern const char* const aDIR_PATH_SEP;

// One entry handed to a listing callback. The path belongs to the listing and is
// valid only during the call.
typedef struct {
    const char* path;   // listed directory joined with the entry's name
    uint32_t size;      // size in bytes from the file status
    bool isDirectory;
} aDirectoryListData;

// Return false to stop the listing early.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* ref);

bool aDirectory_Exists(const char* path);
// Creates the directory and every missing ancestor with the given permission bits.
aErr aDirectory_Ensure(const char* path, uint16_t mode);
aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref);
// Removes an empty directory.
aErr aDirectory_Delete(const char* path);
// Removes a directory and everything beneath it. Symbolic links are removed,
// never followed.
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
// Home directory of the real user: the password database first, HOME only when
// there is no entry. aErrNotFound when neither gives one, aErrOverrun when it does
// not fit with its terminator; the buffer is left empty in both cases.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);
// Joins up to ten components (the first and at most nine more), terminated by a
// null pointer. A separator is added between two components unless one is present.
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...)
#if defined(__GNUC__)
    __attribute__((sentinel))
#endif
    ;

#ifdef __cplusplus
}
#endif
