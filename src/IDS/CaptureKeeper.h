#pragma once
// The thread that keeps an adapter's frames while a reload keeps the rules
// from them: from the adapter engine's pause, once its capture thread has
// ended, to its resume, it reads the capture the reload kept open and puts
// every frame in the engine's hold (FrameHold.h), passing it on, so that
// the adapter's frames do not wait in its capture buffer, which holds a few
// thousand, for as long as the policy takes to read.  What the hold has no
// room for it counts there.
//
// It uses the engine's driver and frame only while the engine's capture
// thread does not run; End returns once it no longer does.

#include <string>

#include "qorToolsLib/jsThread.h"

class FrameHold;

namespace rp {
class Driver;
class Frame;
}  // namespace rp

class CaptureKeeper : public qorThread {
public:
    static constexpr uint32_t kPriorityLevel = 2;
    // Pause after a failed read, as the capture loop makes.
    static constexpr uint32_t kReadErrorPauseMs = 100;

    CaptureKeeper(const std::string& strAdapter, rp::Driver& driver, rp::Frame& frame, FrameHold& hold);
    // Ends the thread first.
    ~CaptureKeeper() override;
    CaptureKeeper(const CaptureKeeper&) = delete;
    CaptureKeeper& operator=(const CaptureKeeper&) = delete;

    // Tells the thread to end, ends the read it waits in, and waits for it.
    void End();

protected:
    uint32_t _doWork() override;

private:
    std::string m_strAdapter;
    rp::Driver& m_Driver;
    rp::Frame& m_Frame;
    FrameHold& m_Hold;
};
