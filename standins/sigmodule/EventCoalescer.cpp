#include "EventCoalescer.h"

#include <strings.h>

#include <cstdlib>

namespace sigmod {

EventCoalescer::EventCoalescer(zam::ZamCoalescerOutputFn output, void* context)
    : m_pfnOutput(output), m_pContext(context) {}

// Records still held go back to their owner rather than being lost.
EventCoalescer::~EventCoalescer() {
    Flush();
}

int32_t EventCoalescer::SetParameter(const char* pszName, const char* pszValue) {
    if (pszName == nullptr || pszValue == nullptr) {
        return -1;
    }
    if (strcasecmp(pszName, "combine") == 0) {
        m_bCombine = strcasecmp(pszValue, "on") == 0;
        if (!m_bCombine) {
            Flush();
        }
        return 0;
    }
    if (strcasecmp(pszName, "agetime") == 0) {
        unsigned long seconds = std::strtoul(pszValue, nullptr, 10);
        m_dwAgeTime = seconds == 0 ? 1 : static_cast<uint32_t>(seconds);
        return 0;
    }
    return 1;
}

int32_t EventCoalescer::Process(uint32_t dwTime, uint32_t dwIssueId, uint32_t dwCount,
                                uint32_t dwFlags, uint32_t dwVictim, uint32_t dwIntruder,
                                uint32_t dwVictimPort, uint32_t dwIntruderPort,
                                uint32_t dwReportType, uint32_t dwPacketFlags,
                                const char* pszParams, void* pRecord) {
    size_t index = 0;
    while (index < m_Groups.size() &&
           !(m_Groups[index].m_dwIssueId == dwIssueId && m_Groups[index].m_dwVictim == dwVictim &&
             m_Groups[index].m_dwIntruder == dwIntruder)) {
        ++index;
    }
    if (index == m_Groups.size()) {
        if (m_Groups.size() == kMaxGroups) {
            Emit(0);
            index = m_Groups.size();
        }
        m_Groups.push_back(Group{dwTime, dwTime, dwIssueId, 0, dwFlags, dwVictim, dwIntruder,
                                 dwVictimPort, dwIntruderPort, dwReportType, dwPacketFlags,
                                 pszParams != nullptr ? pszParams : "", pszParams != nullptr,
                                 {}});
    }
    Group& group = m_Groups[index];
    group.m_dwEnd = dwTime;
    group.m_dwCount += dwCount == 0 ? 1 : dwCount;
    if (pRecord != nullptr) {
        group.m_Records.push_back(pRecord);
    }
    if (!m_bCombine || group.m_Records.size() >= kMaxRecordsPerGroup) {
        Emit(index);
    }
    return 1;
}

void EventCoalescer::Emit(size_t index) {
    Group group = std::move(m_Groups[index]);
    m_Groups.erase(m_Groups.begin() + static_cast<std::ptrdiff_t>(index));
    m_pfnOutput(group.m_dwStart, group.m_dwEnd, group.m_dwIssueId, group.m_dwCount,
                group.m_dwFlags, group.m_dwVictim, group.m_dwVictim, group.m_dwIntruder,
                group.m_dwVictimPort, group.m_dwIntruderPort, group.m_dwReportType,
                group.m_dwPacketFlags, group.m_bHasParams ? group.m_strParams.c_str() : nullptr,
                m_pContext, static_cast<uint32_t>(group.m_Records.size()),
                group.m_Records.empty() ? nullptr : group.m_Records.data());
}

void EventCoalescer::Age(uint32_t dwNow) {
    size_t index = 0;
    while (index < m_Groups.size()) {
        if (dwNow - m_Groups[index].m_dwStart >= m_dwAgeTime) {
            Emit(index);
        } else {
            ++index;
        }
    }
}

void EventCoalescer::Flush() {
    while (!m_Groups.empty()) {
        Emit(0);
    }
}

}  // namespace sigmod
