#include "HostBound.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>

#include "HostServices.h"

namespace {

// Every bound of the process, in the order they were made, for the loads
// to look at.  Its lock is taken before a bound's, never while one is held.
struct Registry {
    std::mutex lock;
    std::vector<HostBound*> bounds;
    std::atomic<bool> bLoading{false};
};

Registry& Bounds() {
    static Registry* registry = new Registry;
    return *registry;
}

}  // namespace

HostBound::HostBound(HostServices* pServices, std::string input, std::string limit, std::string what)
    : HostBound(pServices == nullptr ? Say()
                                     : Say([pServices](uint32_t dwLevel, const std::string& text) {
                                           pServices->Log(nullptr, kCSFLogCategory, dwLevel, __LINE__,
                                                          __FILE__, "%s", text.c_str());
                                       }),
                std::move(input), std::move(limit), std::move(what)) {}

HostBound::HostBound(Say say, std::string input, std::string limit, std::string what)
    : m_say(std::move(say)), m_words{std::move(input), std::move(limit), std::move(what), BoundWords::kLeftOut} {
    Registry& registry = Bounds();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.bounds.push_back(this);
}

HostBound::~HostBound() {
    Registry& registry = Bounds();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.bounds.erase(std::find(registry.bounds.begin(), registry.bounds.end(), this));
}

void HostBound::LeftOut(uint64_t qwItems) {
    const BoundTally::Due due =
        m_tally.LeftOut(qwItems, ReportLimiter::Now(), Bounds().bLoading.load(std::memory_order_relaxed));
    if (due.m_kind == BoundTally::Due::Kind::kNone || !m_say) {
        return;
    }
    // The first is a finding about the policy in force as well (said with
    // the console flag); the counts after it are for the operator, as
    // notices the findings do not keep.
    m_say(due.m_kind == BoundTally::Due::Kind::kFirst ? kCSFLogWarning | kCSFLogConsoleFlag
                                                      : kCSFLogNotice | kCSFLogConsoleFlag,
          m_words.Report(due));
}

uint64_t HostBound::Total() const { return m_tally.Total(); }

std::string HostBound::Describe() const { return m_words.Described(Total()); }

void HostBound::BeginLoad() {
    Registry& registry = Bounds();
    std::lock_guard<std::mutex> guard(registry.lock);
    for (HostBound* pBound : registry.bounds) {
        pBound->m_tally.BeginLoad();
    }
    registry.bLoading.store(true, std::memory_order_relaxed);
}

std::vector<std::string> HostBound::EndLoad(const char* pszLoad, bool bNewPolicy) {
    Registry& registry = Bounds();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.bLoading.store(false, std::memory_order_relaxed);
    std::vector<std::string> lines;
    for (HostBound* pBound : registry.bounds) {
        if (const uint64_t qwDuring = pBound->m_tally.EndLoad(bNewPolicy); qwDuring != 0) {
            lines.push_back(pBound->m_words.DuringLoad(qwDuring, pszLoad));
        }
    }
    return lines;
}

std::string BoundSizeText(uint64_t qwBytes) {
    if (qwBytes >= (1u << 20) && qwBytes % (1u << 20) == 0) {
        return std::to_string(qwBytes >> 20) + " MiB";
    }
    if (qwBytes >= 1024 && qwBytes % 1024 == 0) {
        return std::to_string(qwBytes >> 10) + " KiB";
    }
    return std::to_string(qwBytes) + " bytes";
}
