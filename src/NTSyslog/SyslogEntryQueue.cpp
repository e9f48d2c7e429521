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
      m_nMaxBlocks(maxBytes / m_nBlockBytes == 0 ? 1 : maxBytes / m_nBlockBytes) {}

SyslogEntryQueue::~SyslogEntryQueue() = default;

SyslogEntryQueue::Block SyslogEntryQueue::MakeBlockLocked() {
    Block block;
    if (m_pSpare) {
        block.m_pBytes = std::move(m_pSpare);
    } else if (m_nBlocksMade < m_nMaxBlocks) {
        block.m_pBytes.reset(new (std::nothrow) char[m_nBlockBytes]);
        m_nBlocksMade += block.m_pBytes ? 1 : 0;
    }
    return block;
}

bool SyslogEntryQueue::RoomAtBackLocked(size_t size) {
    if (m_nCount == 0 && !m_Blocks.empty()) {
        // An empty queue keeps one block, written from its start again.
        m_Blocks.front().m_nBegin = m_Blocks.front().m_nEnd = 0;
    }
    if (!m_Blocks.empty() && m_nBlockBytes - m_Blocks.back().m_nEnd >= size) {
        return true;
    }
    Block block = MakeBlockLocked();
    if (!block.m_pBytes) {
        return false;
    }
    m_Blocks.push_back(std::move(block));
    return true;
}

bool SyslogEntryQueue::RoomAtFrontLocked(size_t size) {
    if (m_nCount == 0 && !m_Blocks.empty()) {
        m_Blocks.front().m_nBegin = m_Blocks.front().m_nEnd = m_nBlockBytes;
    }
    if (!m_Blocks.empty() && m_Blocks.front().m_nBegin >= size) {
        return true;
    }
    Block block = MakeBlockLocked();
    if (!block.m_pBytes) {
        return false;
    }
    block.m_nBegin = block.m_nEnd = m_nBlockBytes;
    m_Blocks.push_front(std::move(block));
    return true;
}

bool SyslogEntryQueue::PushCopy(const plat::Ipv4Endpoint& sender, const char* pszText, size_t length) {
    const size_t size = kEntryOverhead + length;
    qorFastLock guard(m_lock, true);
    if (length > m_nBlockBytes - kEntryOverhead || !RoomAtBackLocked(size)) {
        m_qwDropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    Block& block = m_Blocks.back();
    WriteEntry(block.m_pBytes.get() + block.m_nEnd, sender, pszText, length);
    block.m_nEnd += size;
    m_nBytes += length;
    // The engine thread waits only on an empty queue, so only the first
    // entry needs to wake it; a signal per entry would cost a system call
    // per datagram.
    if (++m_nCount == 1) {
        m_signal.Set();
    }
    return true;
}

void SyslogEntryQueue::TakeFrontLocked(SyslogEntry& entry) {
    Block& block = m_Blocks.front();
    const char* const pAt = block.m_pBytes.get() + block.m_nBegin;
    EntryHead head{};
    std::memcpy(&head, pAt, sizeof head);
    entry.m_Sender.m_dwAddress = head.m_dwAddress;
    entry.m_Sender.m_wPort = head.m_wPort;
    if (entry.m_strText.capacity() > kMaxKeptText && head.m_dwLength <= kMaxKeptText) {
        std::string().swap(entry.m_strText);
    }
    entry.m_strText.assign(pAt + kEntryOverhead, head.m_dwLength);
    block.m_nBegin += kEntryOverhead + head.m_dwLength;
    m_nBytes -= head.m_dwLength;
    --m_nCount;
    if (block.m_nBegin == block.m_nEnd && m_Blocks.size() > 1) {
        // The last block stays for what comes next; one other is kept
        // spare, so a queue at a block's end does not make and let go a
        // block at every turn.
        if (!m_pSpare) {
            m_pSpare = std::move(block.m_pBytes);
        } else {
            --m_nBlocksMade;
        }
        m_Blocks.pop_front();
    }
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
    while (m_nCount != 0 && batch.m_nCount < max) {
        if (batch.m_nCount == batch.m_Entries.size()) {
            batch.m_Entries.emplace_back();
        }
        TakeFrontLocked(batch.m_Entries[batch.m_nCount++]);
    }
    return m_nCount == 0;
}

size_t SyslogEntryQueue::Unpop(SyslogBatch& batch, size_t from) {
    size_t nDropped = 0;
    qorFastLock guard(m_lock, true);
    // Last first, each in front of the one put back before it.
    for (size_t i = batch.m_nCount; i > from; --i) {
        const SyslogEntry& entry = batch.m_Entries[i - 1];
        const size_t size = kEntryOverhead + entry.m_strText.size();
        if (!RoomAtFrontLocked(size)) {
            ++nDropped;
            continue;
        }
        Block& block = m_Blocks.front();
        block.m_nBegin -= size;
        WriteEntry(block.m_pBytes.get() + block.m_nBegin, entry.m_Sender, entry.m_strText.data(),
                   entry.m_strText.size());
        m_nBytes += entry.m_strText.size();
        ++m_nCount;
    }
    batch.m_nCount = from < batch.m_nCount ? from : batch.m_nCount;
    return nDropped;
}

void SyslogEntryQueue::Wake() {
    m_signal.Set();
}

size_t SyslogEntryQueue::Clear() {
    std::deque<Block> blocks;
    std::unique_ptr<char[]> pSpare;
    qorFastLock guard(m_lock, true);
    const size_t nDiscarded = m_nCount;
    blocks.swap(m_Blocks);
    pSpare = std::move(m_pSpare);
    m_nBlocksMade = 0;
    m_nCount = 0;
    m_nBytes = 0;
    guard.Unlock();
    // The blocks are let go outside the lock.
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

size_t SyslogEntryQueue::HeldBytes() {
    qorFastLock guard(m_lock, true);
    return m_nBlocksMade * m_nBlockBytes;
}
