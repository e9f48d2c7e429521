#pragma once
// The hand-over from the syslog listener thread to the engine thread: first
// in, first out, with a signal the engine thread waits on.
//
// Datagrams come from anyone on the network, so the queue is bounded by the
// memory it holds them in: each datagram is copied, with its sender and
// length in kEntryOverhead bytes before its text, into a queue of blocks
// of kBlockBytes (Common/BlockQueue.h), made as the queue grows and let
// go as it empties.  What arrives
// when every block the bound allows is full is dropped and counted, and the
// engine reports the count.  A steady stream stays within one block and
// costs no allocation per datagram; the engine takes datagrams in batches
// whose entries keep their room from batch to batch.
//
// The bound is what a reload needs: while the rules are read the engine
// parses nothing, and everything that arrives meanwhile waits here.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Common/BlockQueue.h"
#include "NTSyslog/SyslogEntry.h"
#include "qorToolsLib/jsEvent.h"
#include "qorToolsLib/jsFastLock.h"
#include "qorToolsLib/jsSync.h"

// Datagrams taken from the queue at once: the first m_nCount entries.  The
// entries after them are room kept for the next batch.
struct SyslogBatch {
    std::vector<SyslogEntry> m_Entries;
    size_t m_nCount = 0;
};

class SyslogEntryQueue {
public:
    static constexpr size_t kBlockBytes = BlockQueue::kBlockBytes;
    static constexpr size_t kDefaultMaxBytes = BlockQueue::kDefaultMaxBytes;
    // What each datagram takes besides its text.
    static constexpr size_t kEntryOverhead = 16;
    // Pop waits without limit.
    static constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

    // Holds at most `maxBytes` in blocks of `blockBytes` (at least one
    // block); a datagram longer than a block less kEntryOverhead is never
    // taken.
    explicit SyslogEntryQueue(size_t maxBytes = kDefaultMaxBytes, size_t blockBytes = kBlockBytes);
    ~SyslogEntryQueue();
    SyslogEntryQueue(const SyslogEntryQueue&) = delete;
    SyslogEntryQueue& operator=(const SyslogEntryQueue&) = delete;

    // Appends a copy of `length` bytes of text from `sender` and signals the
    // waiter; false, counted as dropped, when it does not fit.
    bool PushCopy(const plat::Ipv4Endpoint& sender, const char* pszText, size_t length);
    // The oldest entry, or null when none came within `seconds`.
    std::unique_ptr<SyslogEntry> Pop(uint32_t seconds);
    // Up to `max` of the oldest entries, oldest first, into `batch` (whose
    // earlier batch is over), under one hold of the lock; waits as Pop does
    // while the queue is empty.  Answers whether the queue was left empty.
    bool PopSome(uint32_t seconds, size_t max, SyslogBatch& batch);
    // Puts the entries of `batch` from `from` on, taken by PopSome but not
    // parsed, back at the front in their order, and ends the batch there;
    // those that no longer fit are dropped and their number answered.
    size_t Unpop(SyslogBatch& batch, size_t from);
    // Ends a Pop that is waiting now (or the next one) early, empty-handed.
    void Wake();
    // Discards every queued entry and lets the blocks go; answers how many
    // entries there were.
    size_t Clear();

    size_t Size();
    // The text bytes of the queued entries.
    size_t QueuedBytes();
    // The bytes of the blocks made now.
    size_t HeldBytes();
    // The most bytes of blocks made at once since the queue was made, and
    // the bound they keep within.
    size_t MostHeldBytes();
    size_t MaxBytes() const { return m_Queue.MaxBytes(); }
    // Entries refused since the queue was made.
    uint64_t DroppedCount() const { return m_qwDropped.load(std::memory_order_relaxed); }

private:
    // With the lock held: the oldest entry, copied into `entry`.
    void TakeFrontLocked(SyslogEntry& entry);
    // With the lock held: waits up to `seconds` for an entry when there is
    // none (the lock is let go meanwhile); false when none came.
    bool WaitForEntry(qorFastLock& guard, uint32_t seconds);

    const size_t m_nBlockBytes;
    qorFastSync m_lock;
    qorSyncEvent m_signal{false, false};
    BlockQueue m_Queue;
    size_t m_nBytes = 0;
    std::atomic<uint64_t> m_qwDropped{0};
};
