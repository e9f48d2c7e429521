#pragma once
// The thread that keeps an adapter's frames while the adapter engine
// catches up after a reload: from the engine's pause, once its capture
// thread has ended, it reads the capture the reload kept open and puts
// every frame in the engine's hold (FrameHold.h), passing it on, so that
// the adapter's frames do not wait in its capture buffer, which holds a
// fraction of a second of them, for as long as the policy takes to read.
// It goes on past the resume, while the new capture thread analyses what
// the hold kept, so that what arrives meanwhile does not wait in the
// capture buffer either; once the hold is empty the capture thread takes
// the capture over (HandOver) and reads on itself.  What the hold has no
// room for it counts there.
//
// It starts as the reload tells the capture thread to end, and reads
// only once it is let in (Open): when the capture thread has left its
// loop, so that no frame waits for the rest of the engine's pause.  Only
// one thread reads the capture at a time: this one from Open until it has
// handed over or ended, the capture thread after.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "qorToolsLib/jsThread.h"
#include "rawpacket/Frame.h"

class FrameHold;

namespace rp {
class Driver;
}  // namespace rp

class CaptureKeeper : public qorThread {
public:
    // Above the engines' and the reload's own: it only copies frames, at
    // most as fast as they come, and a capture buffer holds a few
    // hundredths of a second of a busy adapter's frames, so it must not
    // wait behind the policy read it keeps them through.
    static constexpr uint32_t kPriorityLevel = 3;
    // Pause after a failed read, as the capture loop makes.
    static constexpr uint32_t kReadErrorPauseMs = 100;

    CaptureKeeper(const std::string& strAdapter, rp::Driver& driver, FrameHold& hold);
    // Ends the thread first.
    ~CaptureKeeper() override;
    CaptureKeeper(const CaptureKeeper&) = delete;
    CaptureKeeper& operator=(const CaptureKeeper&) = delete;

    // The capture thread reads no more: the keeper may.  Any thread, any
    // number of times.
    void Open();
    // On the capture thread, with the hold found empty: tells the thread to
    // read no more, ends the read it waits in, and waits until the frame
    // it read last is in the hold (or counted there) and it reads no more.
    // The capture is then the caller's to read; the hold may have gained
    // frames meanwhile.
    void HandOver();
    bool HandedOver() const;
    // Tells the thread to end, ends the read it waits in, and waits for it.
    void End();
    // Lets the thread in and has it end once two reads in a row find the
    // capture empty (the first may have been ended by an interrupt left
    // from the capture thread's end), so that what the capture holds is in
    // the hold before the capture closes; `dwMaxMs` after its first read
    // (frames that keep coming) ends it as End does.  The time counts from
    // that read, not from the ask: on a busy machine the thread may not
    // run for a while, and has then read nothing of the capture.  A thread
    // that has not read within kFirstReadMaxMs of the ask is ended all the
    // same.
    void DrainAndEnd(uint32_t dwMaxMs);
    static constexpr uint32_t kFirstReadMaxMs = 10000;

protected:
    uint32_t _doWork() override;

private:
    std::string m_strAdapter;
    rp::Driver& m_Driver;
    // The keeper's own: the capture thread's frame is in use beside it.
    rp::Frame m_Frame;
    FrameHold& m_Hold;
    mutable std::mutex m_lock;
    std::condition_variable m_handedOverSignal;
    std::condition_variable m_openSignal;
    bool m_bOpen = false;
    bool m_bHandOverAsked = false;
    bool m_bHandedOver = false;
    bool m_bDrainThenEnd = false;
    // Reads made, for DrainAndEnd to tell when the thread has begun.
    std::atomic<uint64_t> m_qwReads{0};
};
