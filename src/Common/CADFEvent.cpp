#include "Common/CADFEvent.h"

#include <new>

#include "Common/AgentEventInfo.h"
#include "qorCSFLib/CSFSensor.h"

namespace {

AgentEventInfo* CloneRecord(const AgentEventInfo* pRecord) {
    return pRecord != nullptr ? pRecord->Clone() : nullptr;
}

}  // namespace

SensorAlertLink::SensorAlertLink() : m_pSensor(CSFSensor::Current()) {}

SensorAlertLink::SensorAlertLink(const SensorAlertLink& other)
    : m_dwEventId(other.m_dwEventId),
      m_dwRecordKind(other.m_dwRecordKind),
      m_strRuleName(other.m_strRuleName),
      m_strEventSource(other.m_strEventSource),
      m_pRecord(CloneRecord(other.m_pRecord)),
      m_pRule(other.m_pRule),
      m_pSensor(other.m_pSensor) {}

SensorAlertLink& SensorAlertLink::operator=(const SensorAlertLink& other) {
    if (&other == this) {
        return *this;
    }
    m_dwEventId = other.m_dwEventId;
    m_dwRecordKind = other.m_dwRecordKind;
    m_strRuleName = other.m_strRuleName;
    m_strEventSource = other.m_strEventSource;
    SetAlertRecord(CloneRecord(other.m_pRecord));
    m_pRule = other.m_pRule;
    m_pSensor = other.m_pSensor;
    return *this;
}

SensorAlertLink::~SensorAlertLink() {
    SetAlertRecord(nullptr);
}

void SensorAlertLink::SetAlertRecord(AgentEventInfo* pRecord) {
    if (pRecord != m_pRecord) {
        delete m_pRecord;
        m_pRecord = pRecord;
    }
}

CADFEvent::CADFEvent() = default;

CADFEvent::CADFEvent(const char* pszAlertName, uint32_t dwNameType, uint32_t dwAlertType,
                     IPolicyEventInterface* pPolicyEvent, ICSFSensor* pSensor, uint32_t dwLevel,
                     const CSFAlertParameter* pParameters)
    : ADFGenericEvent(pszAlertName, dwNameType, dwAlertType, pPolicyEvent, pSensor, dwLevel,
                      pParameters) {}

CADFEvent::CADFEvent(const CADFEvent& other) : ADFGenericEvent(other), SensorAlertLink(other) {}

CADFEvent::~CADFEvent() = default;

ICSFAlertEvent* CADFEvent::CreateEmpty() {
    return new (std::nothrow) CADFEvent();
}

ICSFAlertEvent* CADFEvent::Clone() {
    try {
        return new CADFEvent(*this);
    } catch (const std::exception&) {
        return nullptr;
    }
}

void CADFEvent::Destroy() {
    delete this;
}

CADFEvent* CADFEvent::GetSelf(uint32_t /*dwUnused*/) {
    return this;
}

CADFEvent& CADFEvent::operator=(const CADFEvent& other) {
    if (&other != this) {
        AssignFrom(other);
        SensorAlertLink::operator=(other);
    }
    return *this;
}
