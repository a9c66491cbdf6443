#pragma once
// Joinable threads.
#include "lib/common/aError.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aThread aThread;
typedef aThread* aThreadRef;
typedef void* (*aThreadProc)(void* arg);

// Null when memory or thread creation fails.
aThreadRef aThread_Create(aThreadProc proc, void* arg);
// Joins the thread, frees the handle and nulls the caller's variable. Returns the
// join's own result (0, or a system error number), not an aErr code. Must be
// called exactly once, by another thread than the one it names.
int aThread_Destroy(aThreadRef* pThread);
// Gives up the processor for a few microseconds.
void aThread_Yield(void);

#ifdef __cplusplus
}
#endif
