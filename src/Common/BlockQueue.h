#pragma once
// Input kept in memory while nothing takes it (a reload keeps the rules
// away, a burst outruns the engine): records of any size, first in, first
// out, copied into blocks made as the queue grows up to its bound and let
// go as it empties, so keeping a record allocates nothing of its own.  A
// record that does not fit the last block begins the next one; a block
// emptied is kept spare for the next one needed, so a queue at a block's
// end does not make and let go a block at every turn.  The spare counts
// toward the bound: the bound is the memory the queue may hold.
//
// The queue knows only the bytes of a record; its user writes and reads
// them (a header of its own, then the input's bytes) and tells it each
// record's size.  No lock of its own: the user holds its own around every
// call and around what it writes into the room a call gives.

#include <cstddef>
#include <deque>
#include <memory>

class BlockQueue {
public:
    static constexpr size_t kBlockBytes = size_t{1} << 20;
    static constexpr size_t kDefaultMaxBytes = size_t{64} << 20;

    // Holds at most `maxBytes` (at least one block) in blocks of
    // `blockBytes`.
    explicit BlockQueue(size_t maxBytes = kDefaultMaxBytes, size_t blockBytes = kBlockBytes);
    BlockQueue(const BlockQueue&) = delete;
    BlockQueue& operator=(const BlockQueue&) = delete;

    // Room for a record of `size` bytes after the newest, which the caller
    // fills; null when the record is larger than a block or the bound
    // allows no block with room for it.
    char* Append(size_t size);
    // The same before the oldest: a record put back.
    char* Prepend(size_t size);
    // The oldest record's first byte; null when the queue is empty.
    char* Front();
    // The oldest record, `size` bytes long, is taken.
    void PopFront(size_t size);
    // Lets every record and block go, the spare too; answers how many
    // records there were.
    size_t Clear();

    size_t Count() const { return m_nCount; }
    bool Empty() const { return m_nCount == 0; }
    size_t BlockBytes() const { return m_nBlockBytes; }
    size_t MaxBytes() const { return m_nMaxBlocks * m_nBlockBytes; }
    // The blocks records lie in.
    size_t BytesInUse() const { return m_Blocks.size() * m_nBlockBytes; }
    // Those and the spare.
    size_t BytesMade() const { return m_nBlocksMade * m_nBlockBytes; }
    // The most BytesMade has been since the queue was made, Clear or not:
    // what the queue held at its fullest, within MaxBytes.
    size_t MostBytesMade() const { return m_nMostBlocksMade * m_nBlockBytes; }

private:
    // A block's records lie in [m_nBegin, m_nEnd).
    struct Block {
        std::unique_ptr<char[]> m_pBytes;
        size_t m_nBegin = 0;
        size_t m_nEnd = 0;
    };
    // The spare, or a new block while the bound allows; empty otherwise.
    Block MakeBlock();

    const size_t m_nBlockBytes;
    const size_t m_nMaxBlocks;
    std::deque<Block> m_Blocks;
    std::unique_ptr<char[]> m_pSpare;
    // Blocks in m_Blocks, and the spare.
    size_t m_nBlocksMade = 0;
    size_t m_nMostBlocksMade = 0;
    size_t m_nCount = 0;
};
