#include "HostEventHandler.h"

HostEventHandler::HostEventHandler(AlertIntake& intake) : m_intake(intake) {}

HostEventHandler::~HostEventHandler() = default;

uint8_t HostEventHandler::HandleAlert(AgentEventInfo* pRecord, const CSFEventInfo* pInfo,
                                      uint32_t, uint32_t) {
    if (pRecord == nullptr || pInfo == nullptr) {
        m_qwRecordsRefused.fetch_add(1);
        return 0;
    }
    // Only the look-up is under the lock: conversions of several engines
    // run side by side, each holding its own reference to the event.
    PolicyEventRef pPolicyEvent =
        FindPolicyEvent(pInfo->m_pszName != nullptr ? pInfo->m_pszName : "");
    m_qwRecordsTaken.fetch_add(1);
    m_intake.Accept(pRecord, *pInfo, pPolicyEvent);
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

PolicyEventRef HostEventHandler::FindPolicyEvent(std::string_view name) const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_policyEvents.Find(name);
}

size_t HostEventHandler::PolicyEventCount() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_policyEvents.Count();
}

size_t HostEventHandler::DetectorPolicyEventCount() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_detectorEvents.Count();
}
