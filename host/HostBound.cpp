#include "HostBound.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "HostServices.h"
#include "qorToolsLib/CountText.h"

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
    : m_say(std::move(say)),
      m_strInput(std::move(input)),
      m_strLimit(std::move(limit)),
      m_strWhat(std::move(what)) {
    Registry& registry = Bounds();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.bounds.push_back(this);
}

HostBound::~HostBound() {
    Registry& registry = Bounds();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.bounds.erase(std::find(registry.bounds.begin(), registry.bounds.end(), this));
}

std::string HostBound::CountedText(uint64_t qwCount) const {
    return m_strInput + ": " + m_strLimit + "; " + CountText(qwCount, m_strWhat) + " left out";
}

void HostBound::LeftOut(uint64_t qwItems) {
    uint64_t qwTotal = 0;
    uint64_t qwBefore = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_qwTotal += qwItems;
        // While a load runs, a bound reached before it is said at the
        // load's end, with what the load cost it (EndLoad), not twice.
        if (m_qwAtLoad != 0 && Bounds().bLoading.load(std::memory_order_relaxed)) {
            return;
        }
        if (!m_reports.Allow(ReportLimiter::Now())) {
            return;
        }
        qwTotal = m_qwTotal;
        qwBefore = m_qwSaid;
        m_qwSaid = qwTotal;
        if (qwBefore == 0 && Bounds().bLoading.load(std::memory_order_relaxed)) {
            m_qwSaidInLoad = qwTotal;
        }
    }
    if (!m_say) {
        return;
    }
    // Said without the lock: the log may be slow, and another thread's
    // count goes on meanwhile.
    const std::string said = kPrefix + CountedText(qwTotal);
    if (qwBefore == 0) {
        // The first is a finding about the policy in force as well (said
        // with the console flag); the counts after it are for the operator,
        // as notices the findings do not keep.
        m_say(kCSFLogWarning | kCSFLogConsoleFlag, said + kSaidAgain);
        return;
    }
    m_say(kCSFLogNotice | kCSFLogConsoleFlag,
          said + " in all, " + std::to_string(qwTotal - qwBefore) + " since it was last said");
}

uint64_t HostBound::Total() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_qwTotal;
}

std::string HostBound::Describe() const {
    return kPrefix + CountedText(Total());
}

void HostBound::BeginLoad() {
    Registry& registry = Bounds();
    std::lock_guard<std::mutex> guard(registry.lock);
    for (HostBound* pBound : registry.bounds) {
        std::lock_guard<std::mutex> boundGuard(pBound->m_lock);
        pBound->m_qwAtLoad = pBound->m_qwTotal;
        pBound->m_qwSaidInLoad = 0;
    }
    registry.bLoading.store(true, std::memory_order_relaxed);
}

std::vector<std::string> HostBound::EndLoad(const char* pszLoad, bool bNewPolicy) {
    Registry& registry = Bounds();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.bLoading.store(false, std::memory_order_relaxed);
    std::vector<std::string> lines;
    for (HostBound* pBound : registry.bounds) {
        std::lock_guard<std::mutex> boundGuard(pBound->m_lock);
        const uint64_t qwDuring = pBound->m_qwTotal - pBound->m_qwAtLoad;
        if (qwDuring != 0 && !(pBound->m_qwAtLoad == 0 && pBound->m_qwSaidInLoad == pBound->m_qwTotal)) {
            lines.push_back(kPrefix + pBound->m_strInput + ": " + pBound->m_strLimit + "; " +
                            CountText(qwDuring, pBound->m_strWhat) + " left out during the " + pszLoad);
        }
        pBound->m_qwAtLoad = 0;
        pBound->m_qwSaidInLoad = 0;
        if (bNewPolicy) {
            pBound->m_qwSaid = 0;
            pBound->m_reports = ReportLimiter();
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
