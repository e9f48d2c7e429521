#include "NTSyslog/SyslogEntryQueue.h"

#include <utility>

#include "platform/Wait.h"
#include "qorToolsLib/jsFastLock.h"

SyslogEntryQueue::SyslogEntryQueue(size_t maxEntries, size_t maxBytes)
    : m_nMaxEntries(maxEntries == 0 ? 1 : maxEntries), m_nMaxBytes(maxBytes) {
    m_vRing.resize(m_nMaxEntries);
    m_vPool.reserve(kMaxPooled);
}

SyslogEntryQueue::~SyslogEntryQueue() = default;

std::unique_ptr<SyslogEntry> SyslogEntryQueue::Acquire() {
    {
        qorFastLock guard(m_lock, true);
        if (!m_vPool.empty()) {
            std::unique_ptr<SyslogEntry> entry = std::move(m_vPool.back());
            m_vPool.pop_back();
            return entry;
        }
    }
    return std::make_unique<SyslogEntry>();
}

bool SyslogEntryQueue::Push(std::unique_ptr<SyslogEntry> entry) {
    if (!entry) {
        return false;
    }
    const size_t size = entry->m_strText.size();
    {
        qorFastLock guard(m_lock, true);
        if (m_nCount < m_nMaxEntries && m_nBytes + size <= m_nMaxBytes) {
            m_vRing[(m_nHead + m_nCount) % m_nMaxEntries] = std::move(entry);
            ++m_nCount;
            m_nBytes += size;
            m_signal.Set();
            return true;
        }
        m_qwDropped.fetch_add(1, std::memory_order_relaxed);
    }
    Recycle(std::move(entry));
    return false;
}

std::unique_ptr<SyslogEntry> SyslogEntryQueue::TakeFront() {
    std::unique_ptr<SyslogEntry> entry = std::move(m_vRing[m_nHead]);
    m_nHead = (m_nHead + 1) % m_nMaxEntries;
    --m_nCount;
    m_nBytes -= entry->m_strText.size();
    return entry;
}

std::unique_ptr<SyslogEntry> SyslogEntryQueue::Pop(uint32_t seconds) {
    qorFastLock guard(m_lock, true);
    if (m_nCount == 0) {
        guard.Unlock();
        const uint32_t ms = seconds == kWaitForever || seconds > kWaitForever / 1000
                                ? plat::kInfinite
                                : seconds * 1000;
        if (m_signal.Wait(ms) == plat::kWaitFailed) {
            return nullptr;
        }
        guard.Lock();
        // A time-out, a wake-up, or a signal whose entry was taken already.
        if (m_nCount == 0) {
            return nullptr;
        }
    }
    return TakeFront();
}

void SyslogEntryQueue::Recycle(std::unique_ptr<SyslogEntry> entry) {
    if (!entry) {
        return;
    }
    if (entry->m_strText.capacity() > kMaxPooledText) {
        std::string().swap(entry->m_strText);
    } else {
        entry->m_strText.clear();
    }
    qorFastLock guard(m_lock, true);
    if (m_vPool.size() < kMaxPooled) {
        m_vPool.push_back(std::move(entry));
        return;
    }
    guard.Unlock();
    entry.reset();
}

void SyslogEntryQueue::Wake() {
    m_signal.Set();
}

size_t SyslogEntryQueue::Clear() {
    qorFastLock guard(m_lock, true);
    const size_t nDiscarded = m_nCount;
    while (m_nCount != 0) {
        TakeFront();
    }
    return nDiscarded;
}

size_t SyslogEntryQueue::Size() {
    qorFastLock guard(m_lock, true);
    return m_nCount;
}

size_t SyslogEntryQueue::QueuedBytes() {
    qorFastLock guard(m_lock, true);
    return m_nBytes;
}
