#include "IDS/SlaveReadyList.h"

#include "platform/Wait.h"

SlaveReadyList& SlaveReadyList::Instance() {
    static SlaveReadyList list;
    return list;
}

uint32_t SlaveReadyList::BeginRound() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_dwReady = 0;
    return ++m_dwRound;
}

void SlaveReadyList::ReportReady(uint32_t& dwNumber) {
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        dwNumber = m_dwStarted++;
        ++m_dwReady;
    }
    m_Changed.notify_all();
}

uint32_t SlaveReadyList::ReadyCount() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_dwReady;
}

uint32_t SlaveReadyList::Round() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_dwRound;
}

bool SlaveReadyList::AllReady(uint32_t dwSlaves) const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_dwReady >= dwSlaves;
}

bool SlaveReadyList::WaitAllReady(uint32_t dwSlaves, uint32_t dwTimeoutMs) const {
    std::unique_lock<std::mutex> guard(m_Lock);
    auto ready = [&] { return m_dwReady >= dwSlaves; };
    if (dwTimeoutMs == plat::kInfinite) {
        m_Changed.wait(guard, ready);
        return true;
    }
    return m_Changed.wait_until(guard, plat::DeadlineAfter(dwTimeoutMs), ready);
}
