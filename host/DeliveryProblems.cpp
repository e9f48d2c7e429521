#include "DeliveryProblems.h"

#include "HostServices.h"
#include "platform/Console.h"
#include "qorToolsLib/SafeText.h"

void DeliveryProblems::Note(const std::string& problem, const std::string& detail, bool bWarning) {
    std::string text;
    uint64_t qwCount = 0;
    bool bFinding = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_qwCount;
        auto found = m_problems.find(problem);
        if (found == m_problems.end()) {
            const std::string& key = m_problems.size() < kMaxProblems ? problem : kOthers;
            found = m_problems.try_emplace(key).first;
            if (found->second.m_qwCount == 0) {
                found->second.m_bWarning = bWarning;
                m_order.push_back(key);
            }
        }
        Problem& entry = found->second;
        qwCount = ++entry.m_qwCount;
        // The first time, or the first since it ended, is a finding.
        bFinding = entry.m_strFinding.empty();
        if (!bFinding && !entry.m_reports.Allow(ReportLimiter::Now())) {
            return;
        }
        if (bFinding) {
            entry.m_reports = ReportLimiter();
            entry.m_reports.Allow(ReportLimiter::Now());
        }
        text = found->first;
        bWarning = entry.m_bWarning;
        if (!detail.empty() && text != kOthers) {
            text += ": " + detail;
        }
        if (bFinding) {
            entry.m_strFinding = "hwhost: " + text;
            m_nStanding.fetch_add(1);
        }
    }
    const uint32_t dwLevel = bWarning ? kCSFLogWarning : kCSFLogError;
    if (bFinding) {
        m_services.Log(nullptr, kCSFLogCategory, dwLevel | kCSFLogConsoleFlag, __LINE__, __FILE__,
                       "hwhost: %s", text.c_str());
        return;
    }
    // The count is for the operator: the findings kept about the policy in
    // force have the problem once, and are not filled with its counts.
    text = "hwhost: " + text + " (" + std::to_string(qwCount) +
           " times so far; said at most once a minute)";
    m_services.Log(nullptr, kCSFLogCategory, dwLevel, __LINE__, __FILE__, "%s", text.c_str());
    plat::ConsoleWrite(HostServices::ConsoleLine(dwLevel, PrintableText(text)));
}

void DeliveryProblems::Ended(const std::string& prefix) {
    if (m_nStanding.load() == 0) {
        return;
    }
    std::vector<std::string> ended;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto& [problem, entry] : m_problems) {
            if (!entry.m_strFinding.empty() && problem.compare(0, prefix.size(), prefix) == 0) {
                ended.push_back(std::move(entry.m_strFinding));
                entry.m_strFinding.clear();
                m_nStanding.fetch_sub(1);
            }
        }
    }
    for (const std::string& finding : ended) {
        m_services.EndFinding(finding);
    }
}

std::vector<std::string> DeliveryProblems::Summary() const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::string> lines;
    for (const std::string& problem : m_order) {
        const uint64_t qwCount = m_problems.at(problem).m_qwCount;
        lines.push_back(problem + " (" + std::to_string(qwCount) + (qwCount == 1 ? " time)" : " times)"));
    }
    return lines;
}

uint64_t DeliveryProblems::Count() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_qwCount;
}
