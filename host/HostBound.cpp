#include "HostBound.h"

#include <utility>

#include "HostServices.h"
#include "qorToolsLib/CountText.h"

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
      m_strWhat(std::move(what)) {}

std::string HostBound::CountedText(uint64_t qwCount) const {
    return m_strInput + ": " + m_strLimit + "; " + CountText(qwCount, m_strWhat) + " left out";
}

void HostBound::LeftOut(uint64_t qwItems) {
    uint64_t qwTotal = 0;
    uint64_t qwBefore = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_qwTotal += qwItems;
        if (!m_reports.Allow(ReportLimiter::Now())) {
            return;
        }
        qwTotal = m_qwTotal;
        qwBefore = m_qwSaid;
        m_qwSaid = qwTotal;
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

std::string BoundSizeText(uint64_t qwBytes) {
    if (qwBytes >= (1u << 20) && qwBytes % (1u << 20) == 0) {
        return std::to_string(qwBytes >> 20) + " MiB";
    }
    if (qwBytes >= 1024 && qwBytes % 1024 == 0) {
        return std::to_string(qwBytes >> 10) + " KiB";
    }
    return std::to_string(qwBytes) + " bytes";
}
