#include "lib/unix/aMutex.h"

#include <errno.h>
#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <new>

namespace {
constexpr uint16_t kMutexTag = 0xBEAD;
}

struct aMutex {
    uint16_t tag;
    pthread_mutex_t mutex;
    char name[aMUTEX_MAXNAMELENGTH + 1];
};

namespace {
bool valid(aMutexRef m)
{
    return m && m->tag == kMutexTag;
}
} // namespace

aMutexRef aMutex_Create(const char* name)
{
    size_t len = name ? strlen(name) : 0;
    if (len > aMUTEX_MAXNAMELENGTH)
        return nullptr;
    auto* m = new (std::nothrow) aMutex{};
    if (!m)
        return nullptr;
    if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
        delete m;
        return nullptr;
    }
    if (len)
        memcpy(m->name, name, len);
    m->name[len] = '\0';
    m->tag = kMutexTag;
    return m;
}

aErr aMutex_Destroy(aMutexRef* pMutex)
{
    if (!pMutex || !*pMutex)
        return aErrParam;
    aMutexRef m = *pMutex;
    if (!valid(m))
        return aErrParam;
    // Destroying a held mutex is undefined, and freeing it would pull it out
    // from under its owner: find out first and leave it for a later attempt.
    int rc = pthread_mutex_trylock(&m->mutex);
    if (rc == 0) {
        pthread_mutex_unlock(&m->mutex);
        rc = pthread_mutex_destroy(&m->mutex);
    }
    switch (rc) {
    case 0: break;
    case EAGAIN: return aErrResource;
    case EBUSY: return aErrBusy;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
    }
    m->tag = 0;
    delete m;
    *pMutex = nullptr;
    return aErrNone;
}

aErr aMutex_Lock(aMutexRef mutex)
{
    if (!valid(mutex))
        return aErrParam;
    switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EDEADLK: return aErrDuplicate;
    default: return aErrUnknown;
    }
}

aErr aMutex_TryLock(aMutexRef mutex)
{
    if (!valid(mutex))
        return aErrParam;
    switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EBUSY: return aErrBusy;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
    }
}

aErr aMutex_Unlock(aMutexRef mutex)
{
    if (!valid(mutex))
        return aErrParam;
    switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EPERM: return aErrPermission;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
    }
}

const char* aMutex_Identifier(aMutexRef mutex)
{
    return valid(mutex) ? mutex->name : nullptr;
}
