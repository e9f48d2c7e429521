#include "TclHandler/tclQueueSet.h"

tclQueueSet::tclQueueSet()
    : m_Wake(true, false),
      m_Queues{BoundedQueue<tclRequest>(kQueueRefuseWhenFull),
               BoundedQueue<tclRequest>(kQueueRefuseWhenFull),
               BoundedQueue<tclRequest>(kQueueRefuseWhenFull)} {}

bool tclQueueSet::Push(int nIndex, tclRequest* pRequest) {
    bool bPushed = m_Queues[nIndex].Push(pRequest);
    if (!bPushed || !IsHeld(nIndex)) {
        m_Wake.Set();
    }
    return bPushed;
}

void tclQueueSet::Release(int nIndex) {
    m_Held[nIndex] = 0;
    if (m_Queues[nIndex].Size() != 0) {
        m_Wake.Set();
    }
}

void tclQueueSet::SetCapacity(uint32_t dwCapacity) {
    for (BoundedQueue<tclRequest>& queue : m_Queues) {
        queue.SetCapacity(dwCapacity);
    }
}

bool tclQueueSet::HasWork(bool bWithRuns) {
    for (int nIndex = 0; nIndex < kQueueCount; ++nIndex) {
        if (!IsHeld(nIndex) && (bWithRuns || nIndex != kRuns) && m_Queues[nIndex].Size() != 0) {
            return true;
        }
    }
    return false;
}

tclRequest* tclQueueSet::PopAny(bool bWithRuns) {
    for (int nIndex = 0; nIndex < kQueueCount; ++nIndex) {
        if (!IsHeld(nIndex) && (bWithRuns || nIndex != kRuns)) {
            if (tclRequest* pRequest = m_Queues[nIndex].Pop(0)) {
                return pRequest;
            }
        }
    }
    return nullptr;
}
