#include "qorToolsLib/jsRwSync.h"

jsRwSync::jsRwSync(uint8_t kind, const char* name, bool lockNow, uint32_t mode)
    : jsSync(kind, name), m_entry(kind, name), m_count(kind, name) {
    m_uValid = m_entry.IsValid() && m_count.IsValid() ? 1 : 0;
    if (m_uValid && lockNow && Lock(mode) != plat::kWaitSignalled) {
        m_uValid = 0;
    }
}

jsRwSync::~jsRwSync() {
    Disable();
}

uint32_t jsRwSync::TakeMutex(jsMutexSync& mutex, bool tryOnly) {
    uint32_t status = tryOnly ? mutex.TryLock() : mutex.Lock();
    if (status == plat::kWaitFailed && mutex.IsValid()) {
        // Abandoned by a thread that ended inside its hold: ours now, but
        // the lock's state cannot be trusted, so give it back and fail.
        mutex.Unlock();
    }
    return status;
}

uint32_t jsRwSync::Acquire(uint32_t mode, bool tryOnly) {
    if (!IsValid()) {
        return plat::kWaitFailed;
    }
    uint32_t status = TakeMutex(m_entry, tryOnly);
    if (status != plat::kWaitSignalled) {
        return status;
    }
    if (mode != kShared) {
        // The entry mutex stays held for the writer's whole hold.
        return m_noReaders.Wait(plat::kInfinite);
    }
    status = TakeMutex(m_count, tryOnly);
    if (status != plat::kWaitSignalled) {
        m_entry.Unlock();
        return status;
    }
    if (m_uReaders++ == 0) {
        m_noReaders.Reset();
    }
    m_count.Unlock();
    m_entry.Unlock();
    return plat::kWaitSignalled;
}

uint32_t jsRwSync::Lock(uint32_t mode) {
    return Acquire(mode, false);
}

uint32_t jsRwSync::TryLock(uint32_t mode) {
    return Acquire(mode, true);
}

void jsRwSync::Unlock(uint32_t mode) {
    if (!IsValid() || mode == 0) {
        return;
    }
    if (mode != kShared) {
        m_entry.Unlock();
        return;
    }
    if (TakeMutex(m_count, false) != plat::kWaitSignalled) {
        return;
    }
    // An unbalanced release must not wrap the count and lock writers out.
    if (m_uReaders != 0 && --m_uReaders == 0) {
        m_noReaders.Set();
    }
    m_count.Unlock();
}

uint32_t jsRwSync::Probe(uint32_t mode) {
    uint32_t status = TryLock(mode);
    if (status == plat::kWaitSignalled) {
        Unlock(mode);
    }
    return status;
}
