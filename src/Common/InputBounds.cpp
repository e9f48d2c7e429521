#include "Common/InputBounds.h"

#include <algorithm>
#include <set>

#include "qorCSFLib/CSFLog.h"

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
                       TimeSource now, Fate fate)
    : m_Words{std::move(input), std::move(limit), std::move(what), std::move(done)},
      m_fate(fate),
      m_now(now != nullptr ? now : &SteadyNow) {}

void InputBound::LeftOut(uint64_t qwItems) {
    const Clock::time_point now = m_now();
    const int64_t nNow = now.time_since_epoch().count();
    int64_t nextNotice = g_nextCountNotice.load(std::memory_order_relaxed);
    if (nNow >= nextNotice &&
        g_nextCountNotice.compare_exchange_strong(
            nextNotice, nNow + std::chrono::duration_cast<Clock::duration>(kCountNoticeInterval).count(),
            std::memory_order_relaxed)) {
        CSFNoticeDescriptionChanged("the counts of bounds reached grew");
    }
    const BoundTally::Due due = m_Tally.LeftOut(qwItems, now, g_bLoading.load(std::memory_order_relaxed));
    if (due.m_kind == BoundTally::Due::Kind::kFirst) {
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s", m_Words.Report(due).c_str());
    } else if (due.m_kind == BoundTally::Due::Kind::kAgain) {
        // The count is for the operator: as a notice it is not kept among
        // the findings about the policy in force, which have the bound once
        // and would otherwise fill with its counts.
        CSF_LOG(kCSFLogNotice | kCSFLogConsoleFlag, "%s", m_Words.Report(due).c_str());
    }
}

void InputBound::LeftOutAtLook(uint64_t qwNow) {
    const uint64_t qwLast = m_qwLastLook.exchange(qwNow, std::memory_order_relaxed);
    if (qwNow > qwLast) {
        LeftOut(qwNow - qwLast);
    }
}

void InputBound::End() {
    m_qwLastLook.store(0, std::memory_order_relaxed);
    const uint64_t qwFirst = m_Tally.End();
    if (qwFirst != 0) {
        CSFNoticeFindingEnded(m_Words.FirstReport(qwFirst).c_str());
    }
}

std::string InputBound::Describe() const { return m_Words.Described(Total()); }

InputBounds& InputBounds::Instance() {
    static InputBounds bounds;
    return bounds;
}

InputBound& InputBounds::Bound(const std::string& input, const std::string& limit,
                               const char* pszWhat, const std::string& strRule, const char* pszDone,
                               InputBound::Fate fate) {
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
                                              pszDone != nullptr ? pszDone : InputBound::kLeftOut, m_now, fate);
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

void InputBounds::SayAtStop() const {
    std::vector<std::string> lines;
    // The counts by the words of their items, in the order first met.
    std::vector<std::pair<std::string, uint64_t>> lost;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (size_t i = m_nListedFrom; i < m_bounds.size(); ++i) {
            const InputBound& bound = m_bounds[i];
            const uint64_t qwTotal = bound.Total();
            if (qwTotal == 0) {
                continue;
            }
            lines.push_back(bound.m_Words.Described(qwTotal));
            if (bound.m_fate == InputBound::Fate::kNotLost) {
                continue;
            }
            const std::string words = bound.m_Words.m_strWhat + " " + bound.m_Words.m_strDone + kAtBounds;
            auto found = std::find_if(lost.begin(), lost.end(), [&](const auto& item) { return item.first == words; });
            if (found == lost.end()) {
                lost.emplace_back(words, qwTotal);
            } else {
                found->second = found->second > UINT64_MAX - qwTotal ? UINT64_MAX : found->second + qwTotal;
            }
        }
    }
    // Said outside the table's lock: the host may ask for the bounds.
    for (const std::string& line : lines) {
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "at the stop: %s", line.c_str());
    }
    for (const auto& [words, qwCount] : lost) {
        CSFNoticeLostAtStop(qwCount, words.c_str());
    }
}

void InputBounds::BeginLoad() {
    std::lock_guard<std::mutex> guard(m_lock);
    for (size_t i = m_nListedFrom; i < m_bounds.size(); ++i) {
        m_bounds[i].m_Tally.BeginLoad();
    }
    g_bLoading.store(true, std::memory_order_relaxed);
}

void InputBounds::EndLoad(const char* pszLoad, bool bNewPolicy) {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        g_bLoading.store(false, std::memory_order_relaxed);
        for (size_t i = m_nListedFrom; i < m_bounds.size(); ++i) {
            if (const uint64_t qwDuring = m_bounds[i].m_Tally.EndLoad(bNewPolicy); qwDuring != 0) {
                lines.push_back(m_bounds[i].m_Words.DuringLoad(qwDuring, pszLoad));
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
