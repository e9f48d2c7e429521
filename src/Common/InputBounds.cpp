#include "Common/InputBounds.h"

#include <algorithm>
#include <cinttypes>
#include <set>

#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/CountText.h"

namespace {

InputBound::Clock::time_point SteadyNow() { return InputBound::Clock::now(); }

constexpr const char kOtherInputs[] = "other inputs";

// When the host may next be told that counts grew, in the clock's ticks;
// one for every bound, so that a flood over many inputs tells it no more
// often than one.
std::atomic<int64_t> g_nextCountNotice{INT64_MIN};

// A policy load runs (InputBounds::BeginLoad to EndLoad).
std::atomic<bool> g_bLoading{false};

}  // namespace

InputBound::InputBound(std::string input, std::string limit, std::string what, std::string done,
                       TimeSource now)
    : m_strInput(std::move(input)),
      m_strLimit(std::move(limit)),
      m_strWhat(std::move(what)),
      m_strDone(std::move(done)),
      m_now(now != nullptr ? now : &SteadyNow) {}

void InputBound::LeftOut(uint64_t qwItems) {
    const uint64_t qwTotal = m_qwTotal.fetch_add(qwItems, std::memory_order_relaxed) + qwItems;
    const int64_t now = m_now().time_since_epoch().count();
    int64_t nextNotice = g_nextCountNotice.load(std::memory_order_relaxed);
    if (now >= nextNotice &&
        g_nextCountNotice.compare_exchange_strong(
            nextNotice, now + std::chrono::duration_cast<Clock::duration>(kCountNoticeInterval).count(),
            std::memory_order_relaxed)) {
        CSFNoticeDescriptionChanged("the counts of bounds reached grew");
    }
    int64_t next = m_nextReport.load(std::memory_order_relaxed);
    if (now < next) {
        return;
    }
    const int64_t following =
        now + std::chrono::duration_cast<Clock::duration>(kReportInterval).count();
    // One caller of the many that may find a report due makes it.
    if (m_nextReport.compare_exchange_strong(next, following, std::memory_order_relaxed)) {
        Report(qwTotal);
    }
}

void InputBound::LeftOutAtLook(uint64_t qwNow) {
    const uint64_t qwLast = m_qwLastLook.exchange(qwNow, std::memory_order_relaxed);
    if (qwNow > qwLast) {
        LeftOut(qwNow - qwLast);
    }
}

std::string InputBound::CountedText(uint64_t qwTotal) const {
    return m_strInput + ": " + m_strLimit + "; " + CountText(qwTotal, m_strWhat) + " " + m_strDone;
}

std::string InputBound::FirstReportText(uint64_t qwTotal) const {
    return kPrefix + CountedText(qwTotal) + kSaidAgain;
}

void InputBound::Report(uint64_t qwTotal) {
    // While a load runs, a bound reached before it is said at the load's
    // end, with what the load cost it (InputBounds::EndLoad), not twice.
    if (g_bLoading.load(std::memory_order_relaxed) && m_qwAtLoad.load(std::memory_order_relaxed) != 0) {
        return;
    }
    const uint64_t qwBefore = m_qwReported.exchange(qwTotal, std::memory_order_relaxed);
    if (qwBefore == 0) {
        m_qwFirstReported.store(qwTotal, std::memory_order_relaxed);
        if (g_bLoading.load(std::memory_order_relaxed)) {
            m_qwSaidInLoad.store(qwTotal, std::memory_order_relaxed);
        }
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s", FirstReportText(qwTotal).c_str());
        return;
    }
    // The count is for the operator: as a notice it is not kept among the
    // findings about the policy in force, which have the bound once and
    // would otherwise fill with its counts.
    CSF_LOG(kCSFLogNotice | kCSFLogConsoleFlag, "%s%s in all, %" PRIu64 " since it was last said", kPrefix,
            CountedText(qwTotal).c_str(), qwTotal > qwBefore ? qwTotal - qwBefore : 0);
}

void InputBound::End() {
    m_qwTotal.store(0, std::memory_order_relaxed);
    m_qwLastLook.store(0, std::memory_order_relaxed);
    m_nextReport.store(INT64_MIN, std::memory_order_relaxed);
    m_qwReported.store(0, std::memory_order_relaxed);
    m_qwAtLoad.store(0, std::memory_order_relaxed);
    m_qwSaidInLoad.store(0, std::memory_order_relaxed);
    const uint64_t qwFirst = m_qwFirstReported.exchange(0, std::memory_order_relaxed);
    if (qwFirst != 0) {
        CSFNoticeFindingEnded(FirstReportText(qwFirst).c_str());
    }
}

std::string InputBound::Describe() const {
    return kPrefix + CountedText(Total());
}

InputBounds& InputBounds::Instance() {
    static InputBounds bounds;
    return bounds;
}

InputBound& InputBounds::Bound(const std::string& input, const std::string& limit,
                               const char* pszWhat, const std::string& strRule, const char* pszDone) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto found = m_byName.find({input, limit});
    if (found != m_byName.end()) {
        return *found->second;
    }
    std::string name = input;
    if (m_byName.size() >= kMaxBounds) {
        name = kOtherInputs;
        found = m_byName.find({name, limit});
        if (found != m_byName.end()) {
            return *found->second;
        }
    }
    InputBound& bound = m_bounds.emplace_back(name, limit, pszWhat != nullptr ? pszWhat : "items",
                                              pszDone != nullptr ? pszDone : InputBound::kLeftOut, m_now);
    if (name == input) {
        bound.m_strRule = strRule;
    }
    m_byName.emplace(std::make_pair(name, limit), &bound);
    return bound;
}

// A bound ends outside the table's lock: taking back its finding goes to
// the host.  Its handle stays valid, so an input that comes back counts
// into it afresh.
void InputBounds::End(InputBound& bound) { bound.End(); }

void InputBounds::EndInput(const std::string& input, const std::vector<std::string>& keep) {
    for (InputBound* pBound : Listed([&](const InputBound& bound) {
             return bound.Input() == input && std::find(keep.begin(), keep.end(), bound.Limit()) == keep.end();
         })) {
        pBound->End();
    }
}

void InputBounds::EndRulesExcept(const std::vector<std::string>& rules) {
    const std::set<std::string> taken(rules.begin(), rules.end());
    for (InputBound* pBound : Listed([&](const InputBound& bound) {
             return !bound.Rule().empty() && taken.count(bound.Rule()) == 0;
         })) {
        pBound->End();
    }
}

template <typename Which>
std::vector<InputBound*> InputBounds::Listed(const Which& which) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<InputBound*> found;
    for (size_t i = m_nListedFrom; i < m_bounds.size(); ++i) {
        if (m_bounds[i].Total() != 0 && which(m_bounds[i])) {
            found.push_back(&m_bounds[i]);
        }
    }
    return found;
}

std::vector<std::string> InputBounds::Describe() const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::string> lines;
    for (size_t i = m_nListedFrom; i < m_bounds.size(); ++i) {
        if (m_bounds[i].Total() != 0) {
            lines.push_back(m_bounds[i].Describe());
        }
    }
    return lines;
}

void InputBounds::BeginLoad() {
    std::lock_guard<std::mutex> guard(m_lock);
    for (size_t i = m_nListedFrom; i < m_bounds.size(); ++i) {
        m_bounds[i].m_qwAtLoad.store(m_bounds[i].Total(), std::memory_order_relaxed);
        m_bounds[i].m_qwSaidInLoad.store(0, std::memory_order_relaxed);
    }
    g_bLoading.store(true, std::memory_order_relaxed);
}

void InputBounds::EndLoad(const char* pszLoad, bool bNewPolicy) {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        g_bLoading.store(false, std::memory_order_relaxed);
        for (size_t i = m_nListedFrom; i < m_bounds.size(); ++i) {
            InputBound& bound = m_bounds[i];
            const uint64_t qwTotal = bound.Total();
            const uint64_t qwAtLoad = bound.m_qwAtLoad.exchange(0, std::memory_order_relaxed);
            const uint64_t qwSaid = bound.m_qwSaidInLoad.exchange(0, std::memory_order_relaxed);
            // A bound ended during the load counts from nothing.
            const uint64_t qwDuring = qwTotal >= qwAtLoad ? qwTotal - qwAtLoad : qwTotal;
            if (qwDuring != 0 && !(qwAtLoad == 0 && qwSaid == qwTotal)) {
                lines.push_back(InputBound::kPrefix + bound.m_strInput + ": " + bound.m_strLimit + "; " +
                                CountText(qwDuring, bound.m_strWhat) + " " + bound.m_strDone + " during the " +
                                pszLoad);
            }
            if (bNewPolicy) {
                bound.m_nextReport.store(INT64_MIN, std::memory_order_relaxed);
                bound.m_qwReported.store(0, std::memory_order_relaxed);
                bound.m_qwFirstReported.store(0, std::memory_order_relaxed);
            }
        }
    }
    // Said outside the table's lock, on the load's own thread: a warning of
    // the load, which a push prints and counts.
    for (const std::string& line : lines) {
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s", line.c_str());
    }
}

void InputBounds::SetTimeSourceForTest(InputBound::TimeSource now) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_now = now;
}

void InputBounds::ForgetForTest() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_nListedFrom = m_bounds.size();
    m_byName.clear();
    g_nextCountNotice = INT64_MIN;
}
