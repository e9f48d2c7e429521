#include "Common/CPolicyEvent.h"

#include <memory>
#include <new>

#include "Common/AgentEventInfo.h"
#include "Common/CADFEvent.h"
#include "Common/CQgEvent.h"
#include "Common/Rule.h"
#include "Common/UserTagSet.h"
#include "qorCSFLib/CSFLog.h"
#include "qorCSFLib/CSFSensor.h"

std::atomic<int32_t> LastSentAlertType{0};

namespace {

bool SensorUsesQgEvents() {
    CSFSensor* pSensor = CSFSensor::Current();
    return pSensor != nullptr && pSensor->UsesQgEvents() != 0;
}

}  // namespace

CPolicyEvent::CPolicyEvent() : m_bUsesQgEvents(SensorUsesQgEvents()) {}

CPolicyEvent::~CPolicyEvent() = default;

IPolicyEventInterface* CPolicyEvent::CreatePolicyEvent() {
    return new (std::nothrow) CPolicyEvent();
}

const char* CPolicyEvent::GetAlertName(Rule* pRule) {
    return pRule != nullptr ? pRule->GetName().c_str() : "";
}

ICSFAlertEvent* CPolicyEvent::CreateAlertEvent(const CSFAlertParameter* pParameters,
                                               AgentEventInfo* pRecord, uint32_t dwLevel) {
    if (!AgentEventInfo::IsRecord(pRecord)) {
        return nullptr;
    }
    CSF_TRACE(kCSFLogInfo, "called with event id=%d, name=%s", static_cast<int>(pRecord->m_dwEventId),
              pRecord->GetRuleName().c_str());
    try {
        return m_bUsesQgEvents ? CreateQgEvent(pParameters, pRecord)
                               : CreateADFEvent(pParameters, pRecord, dwLevel);
    } catch (const std::exception&) {
        // A refused header value or exhausted memory: no event, and the
        // record, not yet linked to one, stays with the caller.
        return nullptr;
    }
}

ICSFAlertEvent* CPolicyEvent::CreateQgEvent(const CSFAlertParameter* pParameters,
                                            AgentEventInfo* pRecord) {
    auto pEvent = std::make_unique<CQgEvent>(GetName(), GetResponseMask(), GetPriority(), pParameters);
    pRecord->FillQgEvent(*pEvent);
    if (pRecord->m_wPriorityOverride != AgentEventInfo::kNoPriorityOverride) {
        pEvent->SetPriority(pRecord->m_wPriorityOverride);
    }
    CSF_TRACE(kCSFLogInfo, "sending the QgEvent");
    // Linked last: once the event owns the record, nothing may fail.
    pEvent->SetAlertRecord(pRecord);
    return pEvent.release();
}

ICSFAlertEvent* CPolicyEvent::CreateADFEvent(const CSFAlertParameter* pParameters,
                                             AgentEventInfo* pRecord, uint32_t dwLevel) {
    UserTagSet tags(pRecord);
    Rule* pRule = pRecord->GetRule();
    auto pEvent = std::make_unique<CADFEvent>(GetAlertName(pRule), pRule != nullptr ? pRule->GetOrigin() : 0,
                                              pRecord->GetAlertType(), this, CSFSensor::Current(), dwLevel,
                                              pParameters);
    // The record's priority goes on this event only: the policy event is
    // shared by every conversion of the rule, on any host thread.
    if (pRecord->m_wPriorityOverride != AgentEventInfo::kNoPriorityOverride) {
        pEvent->SetHeaderValue(kAlertPriority, AlertValue::Uint32(pRecord->m_wPriorityOverride));
    }
    // Linked once the export is through: should it fail, the record stays
    // with the caller.
    pRecord->FillADFEvent(*pEvent);
    pEvent->SetAlertRecord(pRecord);
    LastSentAlertType = pRecord->GetAlertType();
    // The event owns the record now, so it must reach the caller: a null
    // answer would have the caller delete the record a second time.  What
    // the user tags answer is not looked at anyway.
    try {
        tags.Apply(*pEvent);
        CSF_TRACE(kCSFLogInfo, "sending the ADF Event");
    } catch (const std::exception&) {
    }
    return pEvent.release();
}
