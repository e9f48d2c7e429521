#pragma once
// Keeps a recurring report (dropped input, refused requests) to at most one
// per interval, so a flood from outside cannot flood the log as well.  The
// caller passes the time, which keeps the limiter free of clocks in tests.

#include <chrono>

class ReportLimiter {
public:
    using Clock = std::chrono::steady_clock;

    explicit ReportLimiter(Clock::duration interval = std::chrono::minutes(1))
        : m_interval(interval) {}

    // True for the first report and then once a whole interval has passed
    // since the last report let through.
    bool Allow(Clock::time_point now) {
        if (m_bReported && now - m_lastReport < m_interval) {
            return false;
        }
        m_bReported = true;
        m_lastReport = now;
        return true;
    }

private:
    Clock::duration m_interval;
    Clock::time_point m_lastReport{};
    bool m_bReported = false;
};
