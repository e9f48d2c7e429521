#pragma once
// A process-local lock that its owner may take again.  When a thread ends
// while holding it, the next taker gets kWaitFailed and owns the lock (the
// holder abandoned it); the data it guards may be half updated.

#include <pthread.h>

#include "platform/Wait.h"

namespace plat {

class RecursiveMutex {
public:
    RecursiveMutex();
    ~RecursiveMutex();
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    WaitResult Lock();
    // kWaitTimeout when another thread holds the lock.
    WaitResult TryLock();
    void Unlock();

private:
    WaitResult Acquired(int rc);

    pthread_mutex_t m_mutex;
};

}  // namespace plat
