#pragma once
// One guard around czmq's process-wide interface setting.
//
// czmq's beacon actor reads the interface to use from a single global setting
// when it is configured. A beacon search and a network server in the same
// process each want their own interface there, so every change goes through
// this lock: a search holds it for its whole run (setting and later restoring
// the previous value), a server only around setting up its beacon.
//
// Every successful ...AndLock call is paired with exactly one
// zBeaconInterface_unlock or zBeaconInterface_restoreAndUnlock. The lock is not
// recursive. An interface text is valid when it is a dotted IPv4 address, empty
// or "*"; an invalid text takes no lock and changes nothing.

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

bool zBeaconInterface_setAndLock(const char* interfaceText);
void zBeaconInterface_unlock(void);

// As setAndLock, saving the current setting first so that restoreAndUnlock can
// put it back.
bool zBeaconInterface_backupSetAndLock(const char* interfaceText);
void zBeaconInterface_restoreAndUnlock(void);

// czmq's current interface text; the second form takes the lock first.
const char* zBeaconInterface_get(void);
const char* zBeaconInterface_getAndLock(void);

// The saved setting; the second form takes the lock first.
const char* zBeaconInterface_getBackup(void);
const char* zBeaconInterface_getBackupAndLock(void);

#ifdef __cplusplus
}
#endif
