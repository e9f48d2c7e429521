#pragma once
// Keeps lines written at the rate outside input arrives (an echo of every
// datagram) to a steady share of the output: at most so many lines and so
// many bytes a second on average, with bursts of a second's lines and of
// `burstBytes`.  A line goes out whenever the byte budget is not overdrawn,
// however large it is, and what it overdraws is paid back before the next
// one: a rare long line is shown whole, a stream of them at the rate.
// Lines left out
// are counted, and the count is handed out at most once a second, so the
// reader learns what is missing without a line for each.  The caller passes
// the time, which keeps the budget free of clocks in tests.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "CountText.h"

class EchoBudget {
public:
    using Clock = std::chrono::steady_clock;

    EchoBudget(double linesPerSecond, double bytesPerSecond, double burstBytes)
        : m_dLineRate(linesPerSecond),
          m_dByteRate(bytesPerSecond),
          m_dLineBurst(std::max(linesPerSecond, 1.0)),
          m_dByteBurst(burstBytes),
          m_dLines(m_dLineBurst),
          m_dBytes(burstBytes) {}

    // True when a line of `bytes` may go out now; false, counted, when it
    // is left out.
    bool Take(size_t bytes, Clock::time_point now) {
        Refill(now);
        if (m_dLines >= 1.0 && m_dBytes > 0.0) {
            m_dLines -= 1.0;
            m_dBytes -= static_cast<double>(bytes);
            return true;
        }
        ++m_qwLeftOut;
        return false;
    }

    // The lines left out since the count was last handed out, once a
    // second has passed since then, or at once when `bNow`; 0 when there
    // is nothing to hand out yet.
    uint64_t LeftOutToReport(Clock::time_point now, bool bNow) {
        if (m_qwLeftOut == 0 ||
            (!bNow && m_bReported && now - m_lastReport < std::chrono::seconds(1))) {
            return 0;
        }
        m_bReported = true;
        m_lastReport = now;
        const uint64_t qwLeftOut = m_qwLeftOut;
        m_qwLeftOut = 0;
        return qwLeftOut;
    }

    // A count handed out, as the console says it: `singular` and `plural`
    // are what was done to the lines ("line read", "lines read"):
    // "1 line read without its echo (the echo is kept to 20 lines and 8192
    // bytes a second)".
    std::string LeftOutText(uint64_t qwLeftOut, std::string_view singular, std::string_view plural) const {
        char szRates[96];
        std::snprintf(szRates, sizeof szRates, " (the echo is kept to %.0f lines and %.0f bytes a second)",
                      m_dLineRate, m_dByteRate);
        return CountText(qwLeftOut, singular, plural) + (qwLeftOut == 1 ? " without its echo" : " without their echo") +
               szRates;
    }

private:
    void Refill(Clock::time_point now) {
        if (!m_bStarted) {
            m_bStarted = true;
            m_last = now;
            return;
        }
        if (now <= m_last) {
            return;
        }
        const double dSeconds = std::chrono::duration<double>(now - m_last).count();
        m_last = now;
        m_dLines = std::min(m_dLineBurst, m_dLines + dSeconds * m_dLineRate);
        m_dBytes = std::min(m_dByteBurst, m_dBytes + dSeconds * m_dByteRate);
    }

    const double m_dLineRate;
    const double m_dByteRate;
    const double m_dLineBurst;
    const double m_dByteBurst;
    double m_dLines;
    double m_dBytes;
    bool m_bStarted = false;
    Clock::time_point m_last{};
    uint64_t m_qwLeftOut = 0;
    bool m_bReported = false;
    Clock::time_point m_lastReport{};
};
