#pragma once
// The reader/writer lock.  Mode 1 is shared (reader); any other mode is
// exclusive (writer); Unlock(0) releases nothing.  The lock does not record
// modes: a holder releases with the mode it took.  A writer takes the entry
// mutex and keeps it while it waits for the readers inside to leave, so
// readers arriving after it queue behind it.  Readers hold no mutex while
// they are inside.

#include <cstdint>

#include "platform/Event.h"
#include "qorToolsLib/jsSync.h"

class jsRwSync : public jsSync {
public:
    static constexpr uint32_t kShared = 1;
    static constexpr uint32_t kExclusive = 2;

    // With lockNow the object is valid only when Lock(mode) returns 0.  The
    // adapter list's lock is built as (1, "GlobalAdapterListRwSync").
    jsRwSync(uint8_t kind, const char* name, bool lockNow = false, uint32_t mode = 0);
    ~jsRwSync() override;

    // Wait status: 0 acquired, 2 invalid; TryLock gives 1 when the entry
    // mutex is held elsewhere.  A writer that got past the entry mutex
    // waits for the readers inside even under TryLock.
    uint32_t Lock(uint32_t mode);
    uint32_t TryLock(uint32_t mode);
    void Unlock(uint32_t mode);
    // TryLock and, when it succeeded, Unlock at once.
    uint32_t Probe(uint32_t mode);

private:
    uint32_t Acquire(uint32_t mode, bool tryOnly);
    uint32_t TakeMutex(jsMutexSync& mutex, bool tryOnly);

    plat::Event m_noReaders{true, true};
    uint32_t m_uReaders = 0;
    jsMutexSync m_entry;
    jsMutexSync m_count;
};
