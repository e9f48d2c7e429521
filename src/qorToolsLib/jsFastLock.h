#pragma once
// Scoped guards.  A guard counts what it holds, so an early Unlock is not
// repeated by the destructor, a guard built without lockNow releases
// nothing, and one locked twice releases both holds.  A guard belongs to
// the one thread that made it.

#include <cstdint>

#include "qorToolsLib/jsBase.h"
#include "qorToolsLib/jsSync.h"

template <typename Sync>
class jsScopedLock : public jsBase {
public:
    jsScopedLock(Sync& sync, bool lockNow) : m_sync(sync) {
        if (lockNow) {
            Lock();
        }
    }
    jsScopedLock(Sync* sync, bool lockNow) : jsScopedLock(*sync, lockNow) {}
    ~jsScopedLock() override {
        while (m_uCount != 0) {
            Unlock();
        }
    }
    jsScopedLock(const jsScopedLock&) = delete;
    jsScopedLock& operator=(const jsScopedLock&) = delete;

    void Lock() {
        m_sync.Lock();
        ++m_uCount;
    }

    void Unlock() {
        if (m_uCount != 0) {
            --m_uCount;
            m_sync.Unlock();
        }
    }

private:
    uint32_t m_uCount = 0;
    Sync& m_sync;
};

class jsFastLock : public jsScopedLock<jsFastSync> {
public:
    using jsScopedLock::jsScopedLock;
};

// Over the critical section whose Lock and Unlock are virtual.
class jsSyncLock : public jsScopedLock<jsRecursiveSync> {
public:
    using jsScopedLock::jsScopedLock;
};

class qorFastLock : public jsFastLock {
public:
    using jsFastLock::jsFastLock;
};

class qorSyncLock : public jsSyncLock {
public:
    using jsSyncLock::jsSyncLock;
};
