#include "IDS/CCallbackTimer.h"

#include <utility>

#include "platform/Wait.h"

CCallbackTimer::CCallbackTimer(uint32_t dwPeriodMs, std::function<void()> callback)
    : qorThread("CCallbackTimer", kPriorityLevel),
      m_dwPeriodMs(dwPeriodMs),
      m_Callback(std::move(callback)) {}

CCallbackTimer::~CCallbackTimer() {
    if (IsRunning()) {
        Stop(1, false);
        WaitForExit(plat::kInfinite);
    }
}

uint32_t CCallbackTimer::_doWork() {
    if (StopRequested() != 0) {
        return 0;
    }
    do {
        Sleep(m_dwPeriodMs);
        if (m_Callback) {
            m_Callback();
        }
    } while (StopRequested() == 0);
    return 0;
}
