#pragma once
// A thread that calls one callback at a fixed period until it is stopped:
// the IDS master engine's slave watchdog.  The period is slept on the
// thread's wake event, so a stop ends the wait at once; the callback then
// runs one last time before the thread leaves.

#include <cstdint>
#include <functional>

#include "qorToolsLib/jsThread.h"

class CCallbackTimer : public qorThread {
public:
    static constexpr uint32_t kPriorityLevel = 2;

    CCallbackTimer(uint32_t dwPeriodMs, std::function<void()> callback);
    // The thread calls the callback, a member: it is ended first.
    ~CCallbackTimer() override;
    CCallbackTimer(const CCallbackTimer&) = delete;
    CCallbackTimer& operator=(const CCallbackTimer&) = delete;

    uint32_t GetPeriod() const { return m_dwPeriodMs; }

protected:
    uint32_t _doWork() override;

private:
    uint32_t m_dwPeriodMs;
    std::function<void()> m_Callback;
};
