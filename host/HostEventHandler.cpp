#include "HostEventHandler.h"

HostEventHandler::HostEventHandler() = default;

HostEventHandler::~HostEventHandler() = default;

uint8_t HostEventHandler::HandleAlert(AgentEventInfo* pRecord, const CSFEventInfo* pInfo,
                                      uint32_t dwWord, uint32_t dwFlags) {
    if (pRecord == nullptr || pInfo == nullptr) {
        m_qwRecordsRefused.fetch_add(1);
        return 0;
    }
    TakenRecord taken{pRecord,
                      pInfo->m_nEventId,
                      pInfo->m_pszName != nullptr ? pInfo->m_pszName : "",
                      pInfo->m_pszRuleName != nullptr ? pInfo->m_pszRuleName : "",
                      dwWord,
                      dwFlags};
    std::lock_guard<std::mutex> guard(m_lock);
    m_records.push_back(std::move(taken));
    m_qwRecordsTaken.fetch_add(1);
    return 1;
}

uint8_t HostEventHandler::ForwardEvent(uint32_t, uint32_t) {
    m_qwForwarded.fetch_add(1);
    return 1;
}

void HostEventHandler::RegisterPolicyEvent(const char* pszName, IPolicyEventInterface* pEvent) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_policyEvents.Keep(pszName, pEvent);
}

void HostEventHandler::RegisterDetectorPolicyEvent(const char* pszName,
                                                   IPolicyEventInterface* pEvent) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_detectorEvents.Keep(pszName, pEvent);
}

std::vector<HostEventHandler::TakenRecord> HostEventHandler::TakeRecords() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<TakenRecord> records;
    records.swap(m_records);
    return records;
}

IPolicyEventInterface* HostEventHandler::FindPolicyEvent(const std::string& name) const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_policyEvents.Find(name);
}

IPolicyEventInterface* HostEventHandler::FindDetectorPolicyEvent(const std::string& name) const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_detectorEvents.Find(name);
}

size_t HostEventHandler::PolicyEventCount() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_policyEvents.Count();
}
