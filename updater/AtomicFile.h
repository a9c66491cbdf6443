#pragma once
// Whole-file replacement for the local store: the new content goes to a temporary
// file beside the target, reaches the disk, and is renamed over the target, so a
// reader (or the next run after a crash or a full disk) sees either the old or the
// new file, never a truncated one.
#include <cstddef>
#include <cstdint>
#include <string>

#include "lib/common/aError.h"

// aErrNone; aErrNotFound when the temporary file cannot be created (for instance
// the directory is missing); aErrIO when writing, syncing or renaming fails, in
// which case the target is left as it was. `sysError` receives errno on failure.
aErr AtomicFile_Write(const std::string& path, const uint8_t* data, size_t length, int* sysError = nullptr);
