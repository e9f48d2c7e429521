#pragma once
// Counting semaphores.  jsNamedSemaphore (and SEMAPHORE, the cross-process
// lock of the shared-memory store) is shared with every process that opens
// the same name; units a process took and did not give back return when
// it dies.  A semaphore that could not be made is invalid: its waits answer
// 2 and its releases 0, so callers never work unguarded.

#include <cstdint>

#include "platform/Semaphore.h"
#include "qorToolsLib/jsBase.h"

class jsNamedSemaphore : public jsBase {
public:
    // An empty or null name makes a semaphore private to the process.
    jsNamedSemaphore(const char* name, int32_t initialCount, int32_t maximumCount);

    // Wait status: 0 taken, 1 time-out, 2 invalid.  A time of -1
    // (plat::kInfinite) waits without limit.
    uint32_t Acquire(uint32_t ms);
    uint32_t TryAcquire() { return Acquire(0); }
    // Non-zero when the units were added; 0 when that would pass the
    // maximum or the semaphore is invalid.
    int Release(int32_t count);

private:
    plat::Semaphore m_primitive;
};

class SEMAPHORE : public jsNamedSemaphore {
public:
    explicit SEMAPHORE(const char* name) : jsNamedSemaphore(name, 1, 256) {}
};

// An unnamed semaphore private to the process.
class jsSemaphore : public jsBase {
public:
    jsSemaphore(int32_t initialCount, int32_t maximumCount);

    uint32_t Acquire(uint32_t ms);
    uint32_t TryAcquire() { return Acquire(0); }
    int Release(int32_t count);
    plat::Semaphore* GetHandle() { return IsValid() ? &m_primitive : nullptr; }

private:
    plat::Semaphore m_primitive;
};
