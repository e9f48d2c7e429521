#pragma once
// The time report limiters go by, moved by hand for the scope of a test.
// It starts an hour after the real time: a limiter the process keeps saw
// its earlier reports in windows of their own.

#include <atomic>
#include <chrono>
#include <cstdint>

#include "qorToolsLib/ReportLimiter.h"

namespace hwtest {

class ManualReportTime {
public:
    ManualReportTime() : m_previous(ReportLimiter::SetTimeSource(&Now)) {
        s_llSeconds = std::chrono::duration_cast<std::chrono::seconds>(
                          ReportLimiter::Clock::now().time_since_epoch()).count() + 3600;
    }
    ~ManualReportTime() { ReportLimiter::SetTimeSource(m_previous); }
    ManualReportTime(const ManualReportTime&) = delete;
    ManualReportTime& operator=(const ManualReportTime&) = delete;

    static void Advance(int64_t llSeconds) { s_llSeconds += llSeconds; }

private:
    static ReportLimiter::Clock::time_point Now() {
        return ReportLimiter::Clock::time_point(std::chrono::seconds(s_llSeconds.load()));
    }

    inline static std::atomic<int64_t> s_llSeconds{0};
    ReportLimiter::TimeSource m_previous;
};

}  // namespace hwtest
