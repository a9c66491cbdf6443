#pragma once
// Plain non-recursive mutexes with an optional name.
#include "lib/common/aError.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aMutex aMutex;
typedef aMutex* aMutexRef;

#define aMUTEX_MAXNAMELENGTH 255

// Null when out of memory, when the name has more than 255 characters or when
// initialisation fails.
aMutexRef aMutex_Create(const char* name);
// A mutex that cannot be destroyed (still locked) is left intact and the caller's
// variable unchanged; otherwise it is freed and the variable set to null.
aErr aMutex_Destroy(aMutexRef* pMutex);
aErr aMutex_Lock(aMutexRef mutex);
aErr aMutex_TryLock(aMutexRef mutex);
aErr aMutex_Unlock(aMutexRef mutex);
// The name given at creation (empty when none); null for an invalid mutex.
const char* aMutex_Identifier(aMutexRef mutex);

#ifdef __cplusplus
}
#endif
