#include "lib/unix/aThread.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <new>

struct aThread {
    pthread_t id;
};

aThreadRef aThread_Create(aThreadProc proc, void* arg)
{
    if (!proc)
        return nullptr;
    auto* t = new (std::nothrow) aThread{};
    if (!t)
        return nullptr;
    if (pthread_create(&t->id, nullptr, proc, arg) != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

int aThread_Destroy(aThreadRef* pThread)
{
    if (!pThread || !*pThread)
        return EINVAL;
    aThreadRef t = *pThread;
    int rc = pthread_join(t->id, nullptr);
    delete t;
    *pThread = nullptr;
    return rc;
}

void aThread_Yield(void)
{
    struct timespec ts{0, 5000};
    nanosleep(&ts, nullptr);
}
