#include "qorToolsLib/jsSync.h"

#include "platform/Thread.h"

jsSync::jsSync(uint8_t kind, const char* /*name*/, uint32_t /*unused*/) : m_bKind(kind) {}

jsFastSync::jsFastSync(bool lockNow) : jsSync(kCriticalSectionKind, "jsFastSync") {
    if (lockNow) {
        Lock();
    }
}

jsFastSync::~jsFastSync() {
    Disable();
}

void jsFastSync::Lock() {
    if (Enabled()) {
        m_primitive.Lock();
    }
}

void jsFastSync::Unlock() {
    if (Enabled()) {
        m_primitive.Unlock();
    }
}

jsRecursiveSync::jsRecursiveSync(bool lockNow) : jsSync(kCriticalSectionKind, "jsRecursiveSync") {
    if (lockNow) {
        m_primitive.Lock();
    }
}

jsRecursiveSync::~jsRecursiveSync() {
    Disable();
}

void jsRecursiveSync::Lock() {
    if (Enabled()) {
        m_primitive.Lock();
    }
}

void jsRecursiveSync::Unlock() {
    if (Enabled()) {
        m_primitive.Unlock();
    }
}

bool jsRecursiveSync::TryLock() {
    // An abandoned lock is owned by the caller all the same.
    return Enabled() && m_primitive.TryLock() != plat::kWaitTimeout;
}

jsMutexSync::jsMutexSync(uint8_t kind, const char* name, bool lockNow, uint32_t unused)
    : jsSync(kind, name, unused) {
    if (lockNow && Lock() != plat::kWaitSignalled) {
        m_uValid = 0;
    }
}

jsMutexSync::~jsMutexSync() {
    Disable();
}

uint32_t jsMutexSync::Lock() {
    if (!IsValid()) {
        return plat::kWaitFailed;
    }
    plat::WaitResult result = m_primitive.Lock();
    if (result == plat::kWaitSignalled) {
        m_uOwnerThread = plat::Thread::CurrentId();
    }
    return result;
}

uint32_t jsMutexSync::TryLock() {
    if (!IsValid()) {
        return plat::kWaitFailed;
    }
    return m_primitive.TryLock();
}

void jsMutexSync::Unlock() {
    if (IsValid()) {
        m_primitive.Unlock();
    }
}
