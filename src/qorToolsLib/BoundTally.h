#pragma once
// The accounting of what one bound left out, kept alike by the sensor's
// bounds of its inputs (Common/InputBounds.h) and by hwhost's own
// (host/HostBound.h), each of which says the lines through its own road:
//
//   Bound reached: <input>: <limit>; <n> <what> <done>
//
// The first item left out is said at once, as a warning that ends with
// kSaidAgain; then at most once per kReportInterval, with the count in all
// and since it was last said.  A policy load is watched as a whole: a
// bound reached before the load is not said while the load runs, and at
// its end every bound that left something out meanwhile is said with what
// it left out then ("... during the reload"); a bound whose first report
// was made during the load is said at its end only with what it left out
// after that report, so the two lines add up to what the load cost it.  A
// load that put a policy in force has every bound's next item said at
// once again.
//
// LeftOut costs atomic adds and compares, no lock, on any thread; the
// caller passes the time and whether a load runs, and says what it is
// answered, outside any lock of its own.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

class BoundTally {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kReportInterval = std::chrono::minutes(1);

    // The report LeftOut found due.
    struct Due {
        enum class Kind { kNone, kFirst, kAgain };
        Kind m_kind = Kind::kNone;
        uint64_t m_qwTotal = 0;
        // kAgain: left out since the report before.
        uint64_t m_qwSince = 0;
    };

    // `qwItems` more left out at `now`, while a load runs or not.  One
    // caller of the many that may find a report due is answered it.
    Due LeftOut(uint64_t qwItems, Clock::time_point now, bool bLoading);

    uint64_t Total() const { return m_qwTotal.load(std::memory_order_relaxed); }

    // A load begins.
    void BeginLoad();
    // It ends: what the bound left out during it that is to be said as the
    // load's (0: nothing).  With `bNewPolicy` the next item is said at once.
    uint64_t EndLoad(bool bNewPolicy);
    // The input is gone: the counts start again from nothing.  Answers the
    // total the first report said (0: none), whose finding is taken back.
    uint64_t End();

private:
    std::atomic<uint64_t> m_qwTotal{0};
    // When the next report may be made, in the clock's ticks since its
    // epoch; the minimum before the first.
    std::atomic<int64_t> m_nextReport{INT64_MIN};
    // The total said by the last report, and by the first.
    std::atomic<uint64_t> m_qwReported{0};
    std::atomic<uint64_t> m_qwFirstReported{0};
    // The total when the running load began (0 for a bound made or ended
    // since), and the total a first report made during it said (0: none).
    std::atomic<uint64_t> m_qwAtLoad{0};
    std::atomic<uint64_t> m_qwSaidInLoad{0};
};

// The words of one bound and the lines made of them.
struct BoundWords {
    static constexpr const char kPrefix[] = "Bound reached: ";
    static constexpr const char kLeftOut[] = "left out";
    // How the first report ends, which the host recognises.
    static constexpr const char kSaidAgain[] = " (said again at most once a minute while it lasts)";

    std::string m_strInput;
    std::string m_strLimit;
    // The items, plural ("files"), and what became of them (kLeftOut).
    std::string m_strWhat;
    std::string m_strDone;

    // "<input>: <limit>; <n> <what> <done>".
    std::string Counted(uint64_t qwCount) const;
    // "Bound reached: " and the above.
    std::string Described(uint64_t qwTotal) const;
    // The warning of the first report.
    std::string FirstReport(uint64_t qwTotal) const;
    // The report of a due answered by BoundTally::LeftOut.
    std::string Report(const BoundTally::Due& due) const;
    // The line of a load: "... <n> <what> <done> during the <pszLoad>".
    std::string DuringLoad(uint64_t qwDuring, const char* pszLoad) const;
};
