#include "qorEventLib/CRefCountObject.h"

#include "qorToolsLib/jsFastLock.h"

CRefCountObject::~CRefCountObject() = default;

int32_t CRefCountObject::AddRef() { return ++m_lRefCount; }

int32_t CRefCountObject::Release() {
    int32_t count = --m_lRefCount;
    if (count == 0) {
        delete this;
    }
    return count;
}

CRefCountThreadsafeObject::~CRefCountThreadsafeObject() = default;

int32_t CRefCountThreadsafeObject::AddRef() {
    jsFastLock guard(m_lock, true);
    return ++m_lRefCount;
}

int32_t CRefCountThreadsafeObject::Release() {
    int32_t count;
    {
        jsFastLock guard(m_lock, true);
        count = --m_lRefCount;
    }
    // The lock is let go first: it dies with the object.
    if (count == 0) {
        delete this;
    }
    return count;
}
