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

bool SyslogEntryQueue::HasRoomLocked(size_t size) const {
    return m_nCount < m_nMaxEntries && m_nBytes + size <= m_nMaxBytes;
}

void SyslogEntryQueue::AppendLocked(std::unique_ptr<SyslogEntry> entry) {
    m_nBytes += entry->m_strText.size();
    m_vRing[(m_nHead + m_nCount) % m_nMaxEntries] = std::move(entry);
    // The engine thread waits only on an empty queue, so only the first
    // entry needs to wake it; a signal per entry would cost a system call
    // per datagram.
    if (++m_nCount == 1) {
        m_signal.Set();
    }
}

bool SyslogEntryQueue::Push(std::unique_ptr<SyslogEntry> entry) {
    if (!entry) {
        return false;
    }
    {
        qorFastLock guard(m_lock, true);
        if (HasRoomLocked(entry->m_strText.size())) {
            AppendLocked(std::move(entry));
            return true;
        }
        m_qwDropped.fetch_add(1, std::memory_order_relaxed);
    }
    Recycle(std::move(entry));
    return false;
}

bool SyslogEntryQueue::PushCopy(const plat::Ipv4Endpoint& sender, const char* pszText, size_t length) {
    qorFastLock guard(m_lock, true);
    std::unique_ptr<SyslogEntry> entry;
    if (HasRoomLocked(length) && !m_vPool.empty()) {
        entry = std::move(m_vPool.back());
        m_vPool.pop_back();
    } else if (HasRoomLocked(length)) {
        // Allocated outside the lock; the room is looked at again after.
        guard.Unlock();
        entry = std::make_unique<SyslogEntry>();
        guard.Lock();
    }
    if (!entry || !HasRoomLocked(length)) {
        m_qwDropped.fetch_add(1, std::memory_order_relaxed);
        guard.Unlock();
        Recycle(std::move(entry));
        return false;
    }
    entry->m_Sender = sender;
    entry->m_strText.assign(pszText, length);
    AppendLocked(std::move(entry));
    return true;
}

std::unique_ptr<SyslogEntry> SyslogEntryQueue::TakeFront() {
    std::unique_ptr<SyslogEntry> entry = std::move(m_vRing[m_nHead]);
    m_nHead = (m_nHead + 1) % m_nMaxEntries;
    --m_nCount;
    m_nBytes -= entry->m_strText.size();
    return entry;
}

bool SyslogEntryQueue::WaitForEntry(qorFastLock& guard, uint32_t seconds) {
    if (m_nCount != 0) {
        return true;
    }
    guard.Unlock();
    const uint32_t ms = seconds == kWaitForever || seconds > kWaitForever / 1000
                            ? plat::kInfinite
                            : seconds * 1000;
    if (m_signal.Wait(ms) == plat::kWaitFailed) {
        guard.Lock();
        return false;
    }
    guard.Lock();
    // A time-out, a wake-up, or a signal whose entry was taken already.
    return m_nCount != 0;
}

std::unique_ptr<SyslogEntry> SyslogEntryQueue::Pop(uint32_t seconds) {
    qorFastLock guard(m_lock, true);
    if (!WaitForEntry(guard, seconds)) {
        return nullptr;
    }
    return TakeFront();
}

bool SyslogEntryQueue::PopSome(uint32_t seconds, size_t max,
                               std::vector<std::unique_ptr<SyslogEntry>>& entries) {
    entries.clear();
    qorFastLock guard(m_lock, true);
    if (!WaitForEntry(guard, seconds)) {
        return true;
    }
    while (m_nCount != 0 && entries.size() < max) {
        entries.push_back(TakeFront());
    }
    return m_nCount == 0;
}

size_t SyslogEntryQueue::Unpop(std::vector<std::unique_ptr<SyslogEntry>>& entries, size_t from) {
    size_t nDropped = 0;
    qorFastLock guard(m_lock, true);
    // Last first, each in front of the one put back before it.
    for (size_t i = entries.size(); i > from; --i) {
        std::unique_ptr<SyslogEntry>& entry = entries[i - 1];
        if (!entry) {
            continue;
        }
        if (!HasRoomLocked(entry->m_strText.size())) {
            ++nDropped;
            continue;
        }
        m_nHead = (m_nHead + m_nMaxEntries - 1) % m_nMaxEntries;
        m_nBytes += entry->m_strText.size();
        m_vRing[m_nHead] = std::move(entry);
        ++m_nCount;
    }
    entries.resize(from);
    return nDropped;
}

std::unique_ptr<SyslogEntry> SyslogEntryQueue::KeepLocked(std::unique_ptr<SyslogEntry> entry) {
    if (entry->m_strText.capacity() > kMaxPooledText) {
        std::string().swap(entry->m_strText);
    } else {
        entry->m_strText.clear();
    }
    if (m_vPool.size() < kMaxPooled) {
        m_vPool.push_back(std::move(entry));
        return nullptr;
    }
    return entry;
}

void SyslogEntryQueue::Recycle(std::unique_ptr<SyslogEntry> entry) {
    if (!entry) {
        return;
    }
    qorFastLock guard(m_lock, true);
    entry = KeepLocked(std::move(entry));
    guard.Unlock();
    // One not kept is let go outside the lock.
    entry.reset();
}

void SyslogEntryQueue::RecycleAll(std::vector<std::unique_ptr<SyslogEntry>>& entries) {
    {
        qorFastLock guard(m_lock, true);
        for (std::unique_ptr<SyslogEntry>& entry : entries) {
            if (entry) {
                entry = KeepLocked(std::move(entry));
            }
        }
    }
    entries.clear();
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
