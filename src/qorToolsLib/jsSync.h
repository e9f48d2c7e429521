#pragma once
// Process-local locks: the critical sections that most classes embed
// (jsFastSync, jsRecursiveSync) and the mutex under the reader/writer lock
// (jsMutexSync).  All of them may be taken again by their owner.

#include <atomic>
#include <cstdint>

#include "platform/RecursiveMutex.h"
#include "qorToolsLib/jsBase.h"

class jsSync : public jsBase {
public:
    // Kind code of the critical sections.
    static constexpr uint8_t kCriticalSectionKind = 32;

    // The name only labels the object while it is built.
    jsSync(uint8_t kind, const char* name, uint32_t unused = 0);
    ~jsSync() override = default;
    jsSync(const jsSync&) = delete;
    jsSync& operator=(const jsSync&) = delete;

    uint8_t Kind() const { return m_bKind; }
    uint32_t OwnerThreadId() const { return m_uOwnerThread; }

protected:
    bool Enabled() const { return m_uEnabled.load(std::memory_order_relaxed) != 0; }
    // Called first by every destructor: from then on the lock operations
    // do nothing, so a late caller cannot touch a dying primitive.
    void Disable() { m_uEnabled.store(0, std::memory_order_relaxed); }

    uint8_t m_bKind;
    uint32_t m_uOwnerThread = 0;
    std::atomic<uint32_t> m_uEnabled{1};
};

class jsFastSync : public jsSync {
public:
    explicit jsFastSync(bool lockNow = false);
    ~jsFastSync() override;

    void Lock();
    void Unlock();

private:
    plat::RecursiveMutex m_primitive;
};

class jsRecursiveSync : public jsSync {
public:
    explicit jsRecursiveSync(bool lockNow = false);
    ~jsRecursiveSync() override;

    virtual void Lock();
    virtual void Unlock();
    // True when acquired.
    virtual bool TryLock();

private:
    plat::RecursiveMutex m_primitive;
};

class jsMutexSync : public jsSync {
public:
    // With lockNow the object is valid only when the first Lock returns 0.
    jsMutexSync(uint8_t kind, const char* name, bool lockNow = false, uint32_t unused = 0);
    ~jsMutexSync() override;

    // Wait status: 0 acquired (the caller's id is recorded as owner), 2 when
    // the previous owner ended inside its hold (the caller owns it then) or
    // the object is invalid.
    uint32_t Lock();
    // 0 acquired, 1 held by another thread, 2 invalid.
    uint32_t TryLock();
    void Unlock();

private:
    plat::RecursiveMutex m_primitive;
};

class qorFastSync : public jsFastSync {
public:
    using jsFastSync::jsFastSync;
};

class qorRecursiveSync : public jsRecursiveSync {
public:
    using jsRecursiveSync::jsRecursiveSync;
};
