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
// A policy load is watched as the sensor watches it for its inputs
// (Common/InputBounds.h), with the same accounting (qorToolsLib/
// BoundTally.h): EndLoad gives the line of every bound of the
// process that left something out while the load ran, with what it left
// out meanwhile, for the host to say as a warning of that load (a bound
// reached before the load is not said while it runs); after a load that
// put a policy in force the next item a bound leaves out is said at once
// again, a finding about that policy.
//
// LeftOut may be called from any thread; the line is written on the
// calling one when one is due.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qorToolsLib/BoundTally.h"
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
    ~HostBound();
    HostBound(const HostBound&) = delete;
    HostBound& operator=(const HostBound&) = delete;

    // `qwItems` more items were left out at the bound.  The time is
    // ReportLimiter::Now(), which a test may replace.
    void LeftOut(uint64_t qwItems = 1);

    uint64_t Total() const;
    // "Bound reached: <input>: <limit>; <n> <what> left out".
    std::string Describe() const;

    static constexpr const auto& kPrefix = BoundWords::kPrefix;
    // How the first report ends, the sensor's as the host's.
    static constexpr const auto& kSaidAgain = BoundWords::kSaidAgain;

    // A policy load begins; it ends, and the lines of the bounds that left
    // something out during it are answered ("Bound reached: <input>:
    // <limit>; <n> <what> left out during the <pszLoad>"), but for a bound
    // whose first report, made during the load, said it all.  With
    // `bNewPolicy` every bound's next item is said at once again.
    static void BeginLoad();
    static std::vector<std::string> EndLoad(const char* pszLoad, bool bNewPolicy);

private:
    Say m_say;
    const BoundWords m_words;
    BoundTally m_tally;
};

// "64 MiB", "16 KiB", "4000 bytes": a size as a bound names it.
std::string BoundSizeText(uint64_t qwBytes);
