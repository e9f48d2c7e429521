#include "platform/RecursiveMutex.h"

#include <cerrno>

namespace plat {

RecursiveMutex::RecursiveMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

RecursiveMutex::~RecursiveMutex() {
    pthread_mutex_destroy(&m_mutex);
}

WaitResult RecursiveMutex::Acquired(int rc) {
    switch (rc) {
        case 0:
            return kWaitSignalled;
        case EBUSY:
            return kWaitTimeout;
        case EOWNERDEAD:
            // The lock stays usable; the caller owns it and is told that the
            // previous owner ended inside its hold.
            pthread_mutex_consistent(&m_mutex);
            return kWaitFailed;
        default:
            return kWaitFailed;
    }
}

WaitResult RecursiveMutex::Lock() {
    return Acquired(pthread_mutex_lock(&m_mutex));
}

WaitResult RecursiveMutex::TryLock() {
    return Acquired(pthread_mutex_trylock(&m_mutex));
}

void RecursiveMutex::Unlock() {
    pthread_mutex_unlock(&m_mutex);
}

}  // namespace plat
