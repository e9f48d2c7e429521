#pragma once
// The hand-over from the syslog listener thread to the engine thread: first
// in, first out, with a signal the engine thread waits on.
//
// Datagrams come from anyone on the network, so the queue is bounded by
// entries and by bytes: what arrives while it is full is dropped and
// counted, and the engine reports the count.  Entries are recycled through a
// small pool, so a steady stream costs no allocation per datagram.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "NTSyslog/SyslogEntry.h"
#include "qorToolsLib/jsEvent.h"
#include "qorToolsLib/jsFastLock.h"
#include "qorToolsLib/jsSync.h"

class SyslogEntryQueue {
public:
    static constexpr size_t kDefaultMaxEntries = 16384;
    static constexpr size_t kDefaultMaxBytes = 16u * 1024 * 1024;
    // Pop waits without limit.
    static constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

    explicit SyslogEntryQueue(size_t maxEntries = kDefaultMaxEntries,
                              size_t maxBytes = kDefaultMaxBytes);
    ~SyslogEntryQueue();
    SyslogEntryQueue(const SyslogEntryQueue&) = delete;
    SyslogEntryQueue& operator=(const SyslogEntryQueue&) = delete;

    // An entry to fill: a recycled one when the pool has one.
    std::unique_ptr<SyslogEntry> Acquire();
    // Appends the entry and signals the waiter; false when the queue is full,
    // in which case the entry is counted as dropped and goes back to the pool.
    bool Push(std::unique_ptr<SyslogEntry> entry);
    // Appends a copy of `length` bytes of text from `sender` in a recycled
    // entry, under one hold of the lock; false, counted, when full.
    bool PushCopy(const plat::Ipv4Endpoint& sender, const char* pszText, size_t length);
    // The oldest entry, or null when none came within `seconds`.
    std::unique_ptr<SyslogEntry> Pop(uint32_t seconds);
    // Up to `max` of the oldest entries, oldest first, into `entries`
    // (emptied first), under one hold of the lock; waits as Pop does while
    // the queue is empty.  Answers whether the queue was left empty.
    bool PopSome(uint32_t seconds, size_t max, std::vector<std::unique_ptr<SyslogEntry>>& entries);
    // Puts entries taken by PopSome but not parsed back at the front, in
    // their order, from `from` on; those that no longer fit are dropped and
    // their number answered.
    size_t Unpop(std::vector<std::unique_ptr<SyslogEntry>>& entries, size_t from);
    // Hands a parsed entry back for reuse.
    void Recycle(std::unique_ptr<SyslogEntry> entry);
    // The same for every entry of `entries` (left empty), under one hold of
    // the lock.
    void RecycleAll(std::vector<std::unique_ptr<SyslogEntry>>& entries);
    // Ends a Pop that is waiting now (or the next one) early, empty-handed.
    void Wake();
    // Discards every queued entry; answers how many there were.
    size_t Clear();

    size_t Size();
    size_t QueuedBytes();
    // Entries refused since the queue was made.
    uint64_t DroppedCount() const { return m_qwDropped.load(std::memory_order_relaxed); }

private:
    // Recycled entries keep their text buffer up to this size; larger ones
    // are let go, so the pool stays small after a burst of big datagrams.
    static constexpr size_t kMaxPooledText = 2048;
    static constexpr size_t kMaxPooled = 1024;

    std::unique_ptr<SyslogEntry> TakeFront();
    // With the lock held: waits up to `seconds` for an entry when there is
    // none (the lock is let go meanwhile); false when none came.
    bool WaitForEntry(qorFastLock& guard, uint32_t seconds);
    // With the lock held: keeps the entry for reuse, or lets it go.
    std::unique_ptr<SyslogEntry> KeepLocked(std::unique_ptr<SyslogEntry> entry);
    // With the lock held: whether `size` more bytes fit, and the append.
    bool HasRoomLocked(size_t size) const;
    void AppendLocked(std::unique_ptr<SyslogEntry> entry);

    const size_t m_nMaxEntries;
    const size_t m_nMaxBytes;
    qorFastSync m_lock;
    qorSyncEvent m_signal{false, false};
    // A ring of m_nMaxEntries slots; m_nHead is the oldest.
    std::vector<std::unique_ptr<SyslogEntry>> m_vRing;
    size_t m_nHead = 0;
    size_t m_nCount = 0;
    size_t m_nBytes = 0;
    std::vector<std::unique_ptr<SyslogEntry>> m_vPool;
    std::atomic<uint64_t> m_qwDropped{0};
};
