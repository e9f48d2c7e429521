#include "NTSyslog/SyslogEntryQueue.h"

#include <cstring>
#include <new>
#include <utility>

#include "platform/Wait.h"
#include "qorToolsLib/jsFastLock.h"

namespace {

// How a datagram's sender and length lie before its text in a block.
struct EntryHead {
    uint32_t m_dwLength;
    uint32_t m_dwAddress;
    uint16_t m_wPort;
};
static_assert(sizeof(EntryHead) <= SyslogEntryQueue::kEntryOverhead);

// A batch entry keeps its text's room up to this size; a larger one, left
// by a long datagram, is let go before a short one takes its place, so the
// batch does not keep a burst of long datagrams' room.
constexpr size_t kMaxKeptText = 4096;

void WriteEntry(char* pAt, const plat::Ipv4Endpoint& sender, const char* pszText, size_t length) {
    const EntryHead head{static_cast<uint32_t>(length), sender.m_dwAddress, sender.m_wPort};
    std::memcpy(pAt, &head, sizeof head);
    std::memcpy(pAt + SyslogEntryQueue::kEntryOverhead, pszText, length);
}

}  // namespace

SyslogEntryQueue::SyslogEntryQueue(size_t maxBytes, size_t blockBytes)
    : m_nBlockBytes(blockBytes < kEntryOverhead + 1 ? kEntryOverhead + 1 : blockBytes),
      m_Queue(maxBytes, m_nBlockBytes) {}

SyslogEntryQueue::~SyslogEntryQueue() = default;

bool SyslogEntryQueue::PushCopy(const plat::Ipv4Endpoint& sender, const char* pszText, size_t length) {
    qorFastLock guard(m_lock, true);
    char* const pAt = length > m_nBlockBytes - kEntryOverhead ? nullptr : m_Queue.Append(kEntryOverhead + length);
    if (pAt == nullptr) {
        m_qwDropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    WriteEntry(pAt, sender, pszText, length);
    m_nBytes += length;
    // The engine thread waits only on an empty queue, so only the first
    // entry needs to wake it; a signal per entry would cost a system call
    // per datagram.
    if (m_Queue.Count() == 1) {
        m_signal.Set();
    }
    return true;
}

void SyslogEntryQueue::TakeFrontLocked(SyslogEntry& entry) {
    const char* const pAt = m_Queue.Front();
    EntryHead head{};
    std::memcpy(&head, pAt, sizeof head);
    entry.m_Sender.m_dwAddress = head.m_dwAddress;
    entry.m_Sender.m_wPort = head.m_wPort;
    if (entry.m_strText.capacity() > kMaxKeptText && head.m_dwLength <= kMaxKeptText) {
        std::string().swap(entry.m_strText);
    }
    entry.m_strText.assign(pAt + kEntryOverhead, head.m_dwLength);
    m_Queue.PopFront(kEntryOverhead + head.m_dwLength);
    m_nBytes -= head.m_dwLength;
}

bool SyslogEntryQueue::WaitForEntry(qorFastLock& guard, uint32_t seconds) {
    if (!m_Queue.Empty()) {
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
    return !m_Queue.Empty();
}

std::unique_ptr<SyslogEntry> SyslogEntryQueue::Pop(uint32_t seconds) {
    qorFastLock guard(m_lock, true);
    if (!WaitForEntry(guard, seconds)) {
        return nullptr;
    }
    auto entry = std::make_unique<SyslogEntry>();
    TakeFrontLocked(*entry);
    return entry;
}

bool SyslogEntryQueue::PopSome(uint32_t seconds, size_t max, SyslogBatch& batch) {
    batch.m_nCount = 0;
    qorFastLock guard(m_lock, true);
    if (!WaitForEntry(guard, seconds)) {
        return true;
    }
    while (!m_Queue.Empty() && batch.m_nCount < max) {
        if (batch.m_nCount == batch.m_Entries.size()) {
            batch.m_Entries.emplace_back();
        }
        TakeFrontLocked(batch.m_Entries[batch.m_nCount++]);
    }
    return m_Queue.Empty();
}

size_t SyslogEntryQueue::Unpop(SyslogBatch& batch, size_t from) {
    size_t nDropped = 0;
    qorFastLock guard(m_lock, true);
    // Last first, each in front of the one put back before it.
    for (size_t i = batch.m_nCount; i > from; --i) {
        const SyslogEntry& entry = batch.m_Entries[i - 1];
        char* const pAt = m_Queue.Prepend(kEntryOverhead + entry.m_strText.size());
        if (pAt == nullptr) {
            ++nDropped;
            continue;
        }
        WriteEntry(pAt, entry.m_Sender, entry.m_strText.data(), entry.m_strText.size());
        m_nBytes += entry.m_strText.size();
    }
    batch.m_nCount = from < batch.m_nCount ? from : batch.m_nCount;
    return nDropped;
}

void SyslogEntryQueue::Wake() {
    m_signal.Set();
}

size_t SyslogEntryQueue::Clear() {
    qorFastLock guard(m_lock, true);
    m_nBytes = 0;
    return m_Queue.Clear();
}

size_t SyslogEntryQueue::Size() {
    qorFastLock guard(m_lock, true);
    return m_Queue.Count();
}

size_t SyslogEntryQueue::QueuedBytes() {
    qorFastLock guard(m_lock, true);
    return m_nBytes;
}

size_t SyslogEntryQueue::HeldBytes() {
    qorFastLock guard(m_lock, true);
    return m_Queue.BytesMade();
}

size_t SyslogEntryQueue::MostHeldBytes() {
    qorFastLock guard(m_lock, true);
    return m_Queue.MostBytesMade();
}
