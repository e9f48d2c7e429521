#include "HostBound.h"

#include <utility>

#include "HostServices.h"
#include "platform/Console.h"
#include "qorToolsLib/SafeText.h"

HostBound::HostBound(HostServices* pServices, std::string input, std::string limit, std::string what)
    : m_pServices(pServices),
      m_strInput(std::move(input)),
      m_strLimit(std::move(limit)),
      m_strWhat(std::move(what)) {}

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
    if (m_pServices == nullptr) {
        return;
    }
    // Written without the lock: the log may be slow, and another thread's
    // count goes on meanwhile.
    const std::string said = std::string(kPrefix) + m_strInput + ": " + m_strLimit + "; " +
                             std::to_string(qwTotal) + " " + m_strWhat + " left out";
    if (qwBefore == 0) {
        // The first is a finding about the policy in force as well (said
        // with the console flag); the counts after it are for the operator.
        m_pServices->Log(nullptr, kCSFLogCategory, kCSFLogWarning | kCSFLogConsoleFlag, __LINE__, __FILE__,
                         "%s (said again at most once a minute while it lasts)", said.c_str());
        return;
    }
    const std::string line =
        said + " in all, " + std::to_string(qwTotal - qwBefore) + " since it was last said";
    m_pServices->Log(nullptr, kCSFLogCategory, kCSFLogWarning, __LINE__, __FILE__, "%s", line.c_str());
    plat::ConsoleWrite(HostServices::ConsoleLine(kCSFLogWarning, PrintableText(line)));
}

uint64_t HostBound::Total() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_qwTotal;
}

std::string HostBound::Describe() const {
    return std::string(kPrefix) + m_strInput + ": " + m_strLimit + "; " + std::to_string(Total()) + " " +
           m_strWhat + " left out";
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
