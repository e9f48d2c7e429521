#include "Responses/HostWardenResponseUserSpecified.h"

#include "Common/AgentEventInfo.h"
#include "Common/CADFEvent.h"
#include "Responses/ResponseFieldReader.h"

CHostWardenResponseUserSpecified::CHostWardenResponseUserSpecified() {
    FillAlertTypeNameMap(m_AlertTypes);
    RegisterResponseTags(m_Tags, ResponseTag::kDerivedTags);
    for (const char* pszAlias : {ResponseTag::kSrcAddr, ResponseTag::kSrcPort, ResponseTag::kDestAddr,
                                 ResponseTag::kDestPort}) {
        m_Tags[pszAlias] = ResponseTag::kNotAvailable;
    }
}

CHostWardenResponseUserSpecified::~CHostWardenResponseUserSpecified() = default;

void CHostWardenResponseUserSpecified::ExtractADFEvent(ADFGenericEvent* pEvent) {
    CCSFCommonResponseUserSpecified::ExtractADFEvent(pEvent);
    auto* pSensorEvent = dynamic_cast<CADFEvent*>(pEvent);
    if (pSensorEvent == nullptr) {
        return;
    }
    ResponseFieldReader fields(m_Tags, *pSensorEvent, m_AlertTypes, true);
    fields.RunCommonSetters();
    // The type of the event's own record decides between the resource and
    // the application fields.
    if (const AgentEventInfo* pRecord = pSensorEvent->GetAlertRecord()) {
        fields.RunTypeSetters(pRecord->GetAlertType());
    }
}
