#pragma once
// Frames an adapter engine keeps in memory from a reload's pause until its
// capture thread has analysed them: the engine's capture thread has ended
// and the next one has not started, or has started and analyses what was
// kept, but the adapter's frames go on coming, and the capture buffer of
// the packet library holds only a fraction of a second of them.  Each
// frame is kept whole (its packet record and its captured bytes) in a
// queue of blocks (Common/BlockQueue.h), so keeping a frame allocates
// nothing of its own.  The resumed engine analyses what the hold kept,
// oldest first, while the keeper (CaptureKeeper.h) goes on adding what
// arrives, until the hold is empty and the capture thread reads on itself.
//
// One thread adds and one takes at a time: the keeper, and the capture
// thread.  A frame taken stays whole until the taker's next call.

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "Common/BlockQueue.h"
#include "rawpacket/Frame.h"

class FrameHold {
public:
    static constexpr size_t kBlockBytes = BlockQueue::kBlockBytes;
    static constexpr size_t kDefaultMaxBytes = BlockQueue::kDefaultMaxBytes;

    explicit FrameHold(size_t maxBytes = kDefaultMaxBytes);
    FrameHold(const FrameHold&) = delete;
    FrameHold& operator=(const FrameHold&) = delete;

    // Keeps the frame the record describes; false, the frame counted as
    // left out, when the hold is at its bound (or no block can be made).
    bool Add(const rp::PacketRecord& packet);
    // The oldest frame kept, taken out of the hold: `packet` is its record,
    // whose data stays valid until the next call of Next or Clear.  False
    // when the hold is empty.
    bool Next(rp::PacketRecord& packet);
    // Lets every frame kept go; answers how many there were.
    size_t Clear();

    size_t Count() const;
    bool Empty() const { return Count() == 0; }
    // Frames Add left out since the last call.
    uint64_t TakeLeftOut();
    // The memory the frames kept now take, in whole blocks.
    size_t BytesInUse() const;
    size_t MaxBytes() const { return m_nMaxBytes; }

private:
    // With the lock held: the frame Next handed out last is done with.
    void PopTakenLocked();

    const size_t m_nMaxBytes;
    mutable std::mutex m_lock;
    BlockQueue m_Queue;
    // The size of the frame Next handed out, still in the queue so that
    // its bytes are not written over; 0 when none.
    size_t m_nTaken = 0;
    uint64_t m_qwLeftOut = 0;
};
