#include "qorToolsLib/BoundTally.h"

#include "qorToolsLib/CountText.h"

BoundTally::Due BoundTally::LeftOut(uint64_t qwItems, Clock::time_point now, bool bLoading) {
    const uint64_t qwTotal = m_qwTotal.fetch_add(qwItems, std::memory_order_relaxed) + qwItems;
    const int64_t nNow = now.time_since_epoch().count();
    int64_t next = m_nextReport.load(std::memory_order_relaxed);
    if (nNow < next ||
        !m_nextReport.compare_exchange_strong(
            next, nNow + std::chrono::duration_cast<Clock::duration>(kReportInterval).count(),
            std::memory_order_relaxed)) {
        return {};
    }
    // While a load runs, a bound reached before it is said at the load's
    // end, with what the load cost it, not twice.  The report due is spent
    // all the same: after a load that put no policy in force, the reports
    // go on a minute from then, the load's line having said the count.
    if (bLoading && m_qwAtLoad.load(std::memory_order_relaxed) != 0) {
        return {};
    }
    const uint64_t qwBefore = m_qwReported.exchange(qwTotal, std::memory_order_relaxed);
    if (qwBefore == 0) {
        m_qwFirstReported.store(qwTotal, std::memory_order_relaxed);
        if (bLoading) {
            m_qwSaidInLoad.store(qwTotal, std::memory_order_relaxed);
        }
        return {Due::Kind::kFirst, qwTotal, qwTotal};
    }
    return {Due::Kind::kAgain, qwTotal, qwTotal > qwBefore ? qwTotal - qwBefore : 0};
}

void BoundTally::BeginLoad() {
    m_qwAtLoad.store(Total(), std::memory_order_relaxed);
    m_qwSaidInLoad.store(0, std::memory_order_relaxed);
}

uint64_t BoundTally::EndLoad(bool bNewPolicy) {
    const uint64_t qwTotal = Total();
    const uint64_t qwAtLoad = m_qwAtLoad.exchange(0, std::memory_order_relaxed);
    const uint64_t qwSaid = m_qwSaidInLoad.exchange(0, std::memory_order_relaxed);
    if (bNewPolicy) {
        m_nextReport.store(INT64_MIN, std::memory_order_relaxed);
        m_qwReported.store(0, std::memory_order_relaxed);
        m_qwFirstReported.store(0, std::memory_order_relaxed);
    }
    // A bound first reached during the load was said then, with what it
    // had left out: the load's line gives only what came after, so that
    // the two lines add up to what the load cost it (and one whose first
    // report said it all is not said again).
    if (qwSaid != 0) {
        return qwTotal > qwSaid ? qwTotal - qwSaid : 0;
    }
    // A bound ended during the load counts from nothing.
    return qwTotal >= qwAtLoad ? qwTotal - qwAtLoad : qwTotal;
}

uint64_t BoundTally::End() {
    m_qwTotal.store(0, std::memory_order_relaxed);
    m_nextReport.store(INT64_MIN, std::memory_order_relaxed);
    m_qwReported.store(0, std::memory_order_relaxed);
    m_qwAtLoad.store(0, std::memory_order_relaxed);
    m_qwSaidInLoad.store(0, std::memory_order_relaxed);
    return m_qwFirstReported.exchange(0, std::memory_order_relaxed);
}

std::string BoundWords::Counted(uint64_t qwCount) const {
    return m_strInput + ": " + m_strLimit + "; " + CountText(qwCount, m_strWhat) + " " + m_strDone;
}

std::string BoundWords::Described(uint64_t qwTotal) const { return kPrefix + Counted(qwTotal); }

std::string BoundWords::FirstReport(uint64_t qwTotal) const { return Described(qwTotal) + kSaidAgain; }

std::string BoundWords::Report(const BoundTally::Due& due) const {
    if (due.m_kind == BoundTally::Due::Kind::kFirst) {
        return FirstReport(due.m_qwTotal);
    }
    return Described(due.m_qwTotal) + " in all, " + std::to_string(due.m_qwSince) + " since it was last said";
}

std::string BoundWords::DuringLoad(uint64_t qwDuring, const char* pszLoad) const {
    return Described(qwDuring) + " during the " + pszLoad;
}
