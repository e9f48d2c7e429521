#include "IDS/ConsolidationClock.h"

int64_t ConsolidationClock::OnFrame(int64_t tFrame, int64_t tEngine) {
    int64_t tNow = tFrame + m_nFrameShift;
    if (m_bStarted && tNow < m_tNow) {
        if (m_tNow - tNow > kLateSeconds) {
            m_nFrameShift += m_tNow - tNow;
        }
        tNow = m_tNow;
    }
    m_bStarted = true;
    m_tNow = tNow;
    m_nEngineOffset = tNow - tEngine;
    return tNow;
}

bool ConsolidationClock::Idle(int64_t tEngine, int64_t& tNow) {
    if (!m_bStarted) {
        return false;
    }
    if (tEngine + m_nEngineOffset > m_tNow) {
        m_tNow = tEngine + m_nEngineOffset;
    }
    tNow = m_tNow;
    return true;
}
