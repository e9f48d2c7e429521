#pragma once
// The script handler's three request queues and the one event that wakes
// its thread when any of them gets something.  A held queue is skipped by
// the handler and does not wake it.

#include <atomic>
#include <cstdint>

#include "Common/BoundedQueue.h"
#include "TclHandler/tclRequest.h"
#include "qorToolsLib/jsEvent.h"

class tclQueueSet {
public:
    enum Index : int { kReplies = 0, kScripts = 1, kRuns = 2 };
    static constexpr int kQueueCount = 3;

    tclQueueSet();

    BoundedQueue<tclRequest>& Queue(int nIndex) { return m_Queues[nIndex]; }
    // Pushes and wakes the handler: after a failed push always, after a
    // successful one unless the queue is held.  True when the queue took it.
    bool Push(int nIndex, tclRequest* pRequest);
    void Hold(int nIndex) { m_Held[nIndex] = 1; }
    // Wakes the handler when the released queue holds something.
    void Release(int nIndex);
    bool IsHeld(int nIndex) const { return m_Held[nIndex] != 0; }
    void SetCapacity(uint32_t dwCapacity);
    // Whether some unheld queue has an item; without `bWithRuns` the runs
    // queue is passed over as if held.
    bool HasWork(bool bWithRuns = true);
    // The first item of the unheld queues in index order, without waiting
    // (the runs queue passed over without `bWithRuns`).
    tclRequest* PopAny(bool bWithRuns = true);

    qorSyncEvent m_Wake;

private:
    BoundedQueue<tclRequest> m_Queues[kQueueCount];
    std::atomic<int32_t> m_Held[kQueueCount] = {0, 0, 0};
};
