#pragma once
// The time one adapter's event consolidation runs on.  The coalescer
// stamps its groups with it and ages them by it, so both must come from one
// clock: the capture time of the frame being analysed and, between frames,
// the engine's clock moved to where the last frame left it.  A replay of a
// capture made years ago then groups its events as the same traffic did
// live.  The clock never runs back: a capture that steps back (a replay
// that loops) goes on from where the clock stands.

#include <cstdint>

class ConsolidationClock {
public:
    // The time of a frame stamped `tFrame`, with the engine's clock at
    // `tEngine`; it stays the clock's time while the frame is analysed.
    int64_t OnFrame(int64_t tFrame, int64_t tEngine);
    // The time between frames; false before the first frame, when no
    // event can be waiting.
    bool Idle(int64_t tEngine, int64_t& tNow);
    // The last time handed out.
    int64_t Now() const { return m_tNow; }

private:
    // A frame stamped up to this much before the clock's time is taken as
    // late, not as a capture that stepped back.
    static constexpr int64_t kLateSeconds = 2;

    bool m_bStarted = false;
    int64_t m_tNow = 0;
    // Added to the frames' stamps since the capture stepped back.
    int64_t m_nFrameShift = 0;
    // The clock's time minus the engine's at the last frame.
    int64_t m_nEngineOffset = 0;
};
