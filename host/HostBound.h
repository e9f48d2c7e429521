#pragma once
// A bound of hwhost's own (what waits for an output file that cannot be
// written, the response programs started, the mails waiting for the
// outbox), said as the sensor says the bounds of its inputs:
//
//   Bound reached: <input>: <limit>; <n> <what> left out
//
// on the console and in the log at once, as a warning (so also among the
// findings about the policy in force), then at most once a minute for as
// long as it is reached, with the count since it was last said, as a notice
// on the console (for the operator only); the stop lists every bound that
// left something out (Describe).
//
// LeftOut may be called from any thread; the line is written on the
// calling one when one is due.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "qorToolsLib/ReportLimiter.h"

class HostServices;

class HostBound {
public:
    // Says a line at a level that may carry kCSFLogConsoleFlag.
    using Say = std::function<void(uint32_t dwLevel, const std::string& text)>;

    // `pServices` (may be null: nothing is said) receives the lines.
    HostBound(HostServices* pServices, std::string input, std::string limit, std::string what);
    // `say` receives them: for a bound of the log itself, which cannot be
    // said through the log while it writes.
    HostBound(Say say, std::string input, std::string limit, std::string what);
    HostBound(const HostBound&) = delete;
    HostBound& operator=(const HostBound&) = delete;

    // `qwItems` more items were left out at the bound.  The time is
    // ReportLimiter::Now(), which a test may replace.
    void LeftOut(uint64_t qwItems = 1);

    uint64_t Total() const;
    // "Bound reached: <input>: <limit>; <n> <what> left out".
    std::string Describe() const;

    static constexpr const char kPrefix[] = "Bound reached: ";
    // How the first report ends, the sensor's as the host's.
    static constexpr const char kSaidAgain[] = " (said again at most once a minute while it lasts)";

private:
    // "<input>: <limit>; <n> <what> left out".
    std::string CountedText(uint64_t qwCount) const;

    Say m_say;
    const std::string m_strInput;
    const std::string m_strLimit;
    const std::string m_strWhat;
    mutable std::mutex m_lock;
    ReportLimiter m_reports;
    uint64_t m_qwTotal = 0;
    uint64_t m_qwSaid = 0;
};

// "64 MiB", "16 KiB", "4000 bytes": a size as a bound names it.
std::string BoundSizeText(uint64_t qwBytes);
