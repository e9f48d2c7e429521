#pragma once
// Frames an adapter engine keeps in memory while a reload keeps the rules
// from them: the engine's capture thread has ended and the next one has not
// started, but the adapter's frames go on coming, and the capture buffer
// of the packet library holds only a few thousand of them.  Each frame is
// kept whole (its packet record and its captured bytes) in blocks of 1 MiB,
// made as the hold grows up to its bound and let go as it empties (but
// for a block or two kept for the next frames), so keeping a frame
// allocates nothing of its own.  The resumed engine analyses what the hold kept, oldest first,
// before it reads on.
//
// One thread at a time uses a hold: the thread that keeps frames during a
// reload, then the capture thread after it; the owner hands it over by
// ending one thread before it starts the other.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "rawpacket/Frame.h"

class FrameHold {
public:
    static constexpr size_t kBlockBytes = size_t{1} << 20;
    static constexpr size_t kDefaultMaxBytes = size_t{64} << 20;

    explicit FrameHold(size_t maxBytes = kDefaultMaxBytes);
    FrameHold(const FrameHold&) = delete;
    FrameHold& operator=(const FrameHold&) = delete;

    // Keeps the frame the record describes; false, the frame counted as
    // left out, when the hold is at its bound (or no block can be made).
    bool Add(const rp::PacketRecord& packet);
    // The oldest frame kept, taken out of the hold: `packet` is its record,
    // whose data stays valid until the next call on the hold.  False when
    // the hold is empty.
    bool Next(rp::PacketRecord& packet);
    // Lets every frame kept go; answers how many there were.
    size_t Clear();

    size_t Count() const { return m_nCount; }
    bool Empty() const { return m_nCount == 0; }
    // Frames Add left out since the last call.
    uint64_t TakeLeftOut();
    // The memory the frames kept now take, in whole blocks.
    size_t BytesInUse() const { return m_Blocks.size() * kBlockBytes; }
    size_t MaxBytes() const { return m_nMaxBytes; }

private:
    struct Block {
        std::unique_ptr<uint8_t[]> m_pBytes;
        size_t m_nUsed = 0;
    };
    bool MakeBlock();

    size_t m_nMaxBytes;
    std::deque<Block> m_Blocks;
    // A block let go, kept for the next one needed.
    std::unique_ptr<uint8_t[]> m_pSpare;
    // Where the oldest frame kept begins in the first block.
    size_t m_nReadAt = 0;
    size_t m_nCount = 0;
    uint64_t m_qwLeftOut = 0;
};
