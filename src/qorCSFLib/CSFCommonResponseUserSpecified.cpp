#include "qorCSFLib/CSFCommonResponseUserSpecified.h"

#include "qorCSFLib/ADFGenericEvent.h"
#include "qorCSFLib/CSFLog.h"
#include "qorCSFLib/QgGenericEvent.h"

CCSFCommonResponseUserSpecified::CCSFCommonResponseUserSpecified() {
    RegisterResponseTags(m_Tags, ResponseTag::kCommonTags);
    m_Tags[ResponseTag::kEvent] = ResponseTag::kNotAvailable;
}

CCSFCommonResponseUserSpecified::~CCSFCommonResponseUserSpecified() = default;

int32_t CCSFCommonResponseUserSpecified::Release() {
    delete this;
    return 0;
}

const char* CCSFCommonResponseUserSpecified::GetParameters(const char* pszTemplate,
                                                           ICSFAlertEvent* pEvent) {
    try {
        return GetParametersUnguarded(pszTemplate, pEvent);
    } catch (const std::exception& error) {
        CSF_LOG(kCSFLogError, "Unable to build the parameters: %s", error.what());
    } catch (...) {
        CSF_LOG(kCSFLogError, "Unable to build the parameters: unexpected exception");
    }
    return nullptr;
}

const char* CCSFCommonResponseUserSpecified::GetParametersUnguarded(const char* pszTemplate,
                                                                    ICSFAlertEvent* pEvent) {
    AssignSensorTags(m_Tags);
    if (auto* pAdf = dynamic_cast<ADFGenericEvent*>(pEvent)) {
        ExtractADFEvent(pAdf);
    } else if (auto* pLegacy = dynamic_cast<QgGenericEvent*>(pEvent)) {
        ExtractQgEvent(pLegacy);
    } else {
        CSF_LOG(kCSFLogTrace, "Unable to extract event data, event type not supported");
        return nullptr;
    }
    ReplaceTags(pszTemplate);
    CSF_LOG(kCSFLogTrace, "Parameters: %s", m_strParameters.c_str());
    return m_strParameters.c_str();
}

void CCSFCommonResponseUserSpecified::ReplaceTags(const char* pszTemplate) {
    BuildParameterLine(m_Tags, pszTemplate, m_strParameters);
}

void CCSFCommonResponseUserSpecified::ExtractADFEvent(ADFGenericEvent* pEvent) {
    m_Tags[ResponseTag::kPriority] = PriorityText(ReadEventPriority(*pEvent));
    ReadCommonEventTags(m_Tags, *pEvent, kParameterLinePieceStyle, ResponseTag::kEvent);
}

void CCSFCommonResponseUserSpecified::ExtractQgEvent(QgGenericEvent* pEvent) {
    m_Tags[ResponseTag::kPriority] = PriorityText(ReadEventPriority(*pEvent));
    ReadCommonLegacyTags(m_Tags, *pEvent, kParameterLinePieceStyle, ResponseTag::kEvent);
}

const char* CCSFCommonResponseUserSpecified::PriorityText(int32_t nPriority) {
    return ResponsePriorityText(nPriority);
}
