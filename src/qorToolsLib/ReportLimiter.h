#pragma once
// Keeps a recurring report (dropped input, refused requests) to at most one
// per interval, so a flood from outside cannot flood the log as well.  The
// caller passes the time, which keeps the limiter free of clocks in tests;
// Now() is the time callers pass, which a test may replace.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "qorToolsLib/CountText.h"

class ReportLimiter {
public:
    using Clock = std::chrono::steady_clock;
    using TimeSource = Clock::time_point (*)();

    // At most `burst` reports per interval.
    explicit ReportLimiter(Clock::duration interval = std::chrono::minutes(1), unsigned burst = 1)
        : m_interval(interval), m_burst(burst) {}

    // True for the first `burst` reports of an interval that starts with
    // the first report let through after the previous interval ended.  A
    // time before the interval's start (a test's clock put back) starts a
    // new one rather than holding every report back until it is reached.
    bool Allow(Clock::time_point now) {
        if (!m_bReported || now < m_windowStart || now - m_windowStart >= m_interval) {
            m_bReported = true;
            m_windowStart = now;
            m_inWindow = 0;
        }
        if (m_inWindow >= m_burst) {
            ++m_qwRefused;
            return false;
        }
        ++m_inWindow;
        m_qwLeftOutBefore = m_qwRefused;
        m_qwRefused = 0;
        return true;
    }

    // How many reports Allow refused between the one it let through last
    // and the one before.
    uint64_t LeftOutBefore() const { return m_qwLeftOutBefore; }

    // " (N WHAT were not reported before it)" to add to the report let
    // through last, or "" when none was left out before it; WHAT is
    // plural, made singular for one (CountText.h).
    std::string LeftOutNote(const char* pszWhat) const {
        if (m_qwLeftOutBefore == 0) {
            return std::string();
        }
        return " (" + CountText(m_qwLeftOutBefore, pszWhat) + (m_qwLeftOutBefore == 1 ? " was" : " were") +
               " not reported before it)";
    }

    // The steady clock, or the source a test installed.
    static Clock::time_point Now() {
        const TimeSource source = s_source.load(std::memory_order_relaxed);
        return source != nullptr ? source() : Clock::now();
    }
    // Installs `source` (null: the steady clock again); answers the previous.
    static TimeSource SetTimeSource(TimeSource source) { return s_source.exchange(source); }

private:
    inline static std::atomic<TimeSource> s_source{nullptr};

    Clock::duration m_interval;
    unsigned m_burst;
    Clock::time_point m_windowStart{};
    unsigned m_inWindow = 0;
    bool m_bReported = false;
    uint64_t m_qwRefused = 0;
    uint64_t m_qwLeftOutBefore = 0;
};
