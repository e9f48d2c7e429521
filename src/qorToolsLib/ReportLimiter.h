#pragma once
// Keeps a recurring report (dropped input, refused requests) to at most one
// per interval, so a flood from outside cannot flood the log as well.  The
// caller passes the time, which keeps the limiter free of clocks in tests.

#include <chrono>

class ReportLimiter {
public:
    using Clock = std::chrono::steady_clock;

    // At most `burst` reports per interval.
    explicit ReportLimiter(Clock::duration interval = std::chrono::minutes(1), unsigned burst = 1)
        : m_interval(interval), m_burst(burst) {}

    // True for the first `burst` reports of an interval that starts with
    // the first report let through after the previous interval ended.
    bool Allow(Clock::time_point now) {
        if (!m_bReported || now - m_windowStart >= m_interval) {
            m_bReported = true;
            m_windowStart = now;
            m_inWindow = 0;
        }
        if (m_inWindow >= m_burst) {
            return false;
        }
        ++m_inWindow;
        return true;
    }

private:
    Clock::duration m_interval;
    unsigned m_burst;
    Clock::time_point m_windowStart{};
    unsigned m_inWindow = 0;
    bool m_bReported = false;
};
