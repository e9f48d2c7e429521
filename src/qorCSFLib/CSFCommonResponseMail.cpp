#include "qorCSFLib/CSFCommonResponseMail.h"

#include "qorCSFLib/ADFGenericEvent.h"
#include "qorCSFLib/CSFLog.h"
#include "qorCSFLib/QgGenericEvent.h"
#include "qorToolsLib/SafeText.h"

namespace {

constexpr char kSubjectPrefix[] = "Quellguard(R) event: ";

}  // namespace

CCSFCommonResponseMail::CCSFCommonResponseMail() {
    RegisterResponseTags(m_Tags, ResponseTag::kCommonTags);
}

CCSFCommonResponseMail::~CCSFCommonResponseMail() = default;

int32_t CCSFCommonResponseMail::Release() {
    delete this;
    return 0;
}

bool CCSFCommonResponseMail::ExtractEventData(ICSFAlertEvent* pEvent) {
    try {
        return ExtractEventDataUnguarded(pEvent);
    } catch (const std::exception& error) {
        CSF_LOG(kCSFLogError, "Unable to extract event data: %s", error.what());
    } catch (...) {
        CSF_LOG(kCSFLogError, "Unable to extract event data: unexpected exception");
    }
    return false;
}

bool CCSFCommonResponseMail::ExtractEventDataUnguarded(ICSFAlertEvent* pEvent) {
    AssignSensorTags(m_Tags);
    if (auto* pAdf = dynamic_cast<ADFGenericEvent*>(pEvent)) {
        ExtractADFEvent(pAdf);
        KeepValuesOnTheirLines();
        return true;
    }
    if (auto* pLegacy = dynamic_cast<QgGenericEvent*>(pEvent)) {
        ExtractQgEvent(pLegacy);
        KeepValuesOnTheirLines();
        return true;
    }
    CSF_LOG(kCSFLogTrace, "Unable to extract event data, event type not supported");
    return false;
}

void CCSFCommonResponseMail::KeepValuesOnTheirLines() {
    // The body gives each value a line of its own, and a subject is one
    // line: a line break in a value (a user name a sender chose) would
    // start lines that look like the mail's own.  The further parameters
    // were written a line each, their values kept to it.
    for (auto& [tag, value] : m_Tags) {
        if (tag != ResponseTag::kOtherParameters) {
            KeepOnOneLine(value);
        }
    }
}

void CCSFCommonResponseMail::ExtractADFEvent(ADFGenericEvent* pEvent) {
    m_Tags[ResponseTag::kPriority] = PriorityText(ReadEventPriority(*pEvent));
    ReadCommonEventTags(m_Tags, *pEvent, kMailPieceStyle, nullptr);
}

void CCSFCommonResponseMail::ExtractQgEvent(QgGenericEvent* pEvent) {
    m_Tags[ResponseTag::kPriority] = PriorityText(ReadEventPriority(*pEvent));
    ReadCommonLegacyTags(m_Tags, *pEvent, kMailPieceStyle, nullptr);
}

const char* CCSFCommonResponseMail::PriorityText(int32_t nPriority) {
    return ResponsePriorityText(nPriority);
}

void CCSFCommonResponseMail::ReplaceTags(std::string& out, const char* pszTemplate) {
    ReplaceResponseTags(m_Tags, pszTemplate, out);
}

const std::string* CCSFCommonResponseMail::FindTag(const char* pszTag) const {
    auto found = m_Tags.find(pszTag);
    return found != m_Tags.end() ? &found->second : nullptr;
}

const char* CCSFCommonResponseMail::GetSubject(const char* pszTemplate) {
    try {
        // Emptied only without a template: the template may be the subject
        // this object returned last.
        if (pszTemplate == nullptr) {
            const std::string* pName = FindTag(ResponseTag::kAlertName);
            m_strSubject = kSubjectPrefix;
            m_strSubject += pName != nullptr ? *pName : std::string();
        } else {
            ReplaceTags(m_strSubject, pszTemplate);
        }
        // The host reads the subject up to its first NUL: one in a value
        // must not take the rest with it.
        ReplaceNulBytes(m_strSubject);
        CSF_LOG(kCSFLogTrace, "Subject string: %s", m_strSubject.c_str());
    } catch (...) {
        // Only an allocation can fail here; what was built is returned.
    }
    return m_strSubject.c_str();
}

const char* CCSFCommonResponseMail::GetBody(const char* pszTemplate) {
    try {
        // Emptied only without a template, as the subject is.
        if (pszTemplate == nullptr) {
            m_strBody.clear();
            FormatHeader();
            FormatDetails();
            FormatActions();
        } else {
            ReplaceTags(m_strBody, pszTemplate);
        }
        ReplaceNulBytes(m_strBody);
        CSF_LOG(kCSFLogTrace, "Body string: %s", m_strBody.c_str());
    } catch (...) {
        // Only an allocation can fail here; what was built is returned.
    }
    return m_strBody.c_str();
}

void CCSFCommonResponseMail::FormatHeaderLine(const char* pszDetectedBy) {
    m_strBody = "'";
    m_strBody += m_Tags[ResponseTag::kAlertName];
    m_strBody += pszDetectedBy;
    m_strBody += m_Tags[ResponseTag::kSensorName];
    m_strBody += "' at '";
    m_strBody += m_Tags[ResponseTag::kSensorIPAddress];
    m_strBody += "'.\n";
    m_strBody += "Details:\n";
}

void CCSFCommonResponseMail::FormatHeader() {
    FormatHeaderLine("' event detected by '");
}

void CCSFCommonResponseMail::FormatDetails() {
    if (const std::string* pTime = FindTag(ResponseTag::kAlertDateTime)) {
        m_strBody += "\tTime: " + *pTime + " UTC\n";
    }
    if (const std::string* pPriority = FindTag(ResponseTag::kPriority)) {
        m_strBody += "\tPriority: " + *pPriority + "\n";
    }
}

void CCSFCommonResponseMail::FormatActions() {
    if (const std::string* pAction = FindTag(ResponseTag::kAction)) {
        m_strBody += "\tActions: " + *pAction + "\n";
    }
    if (const std::string* pOther = FindTag(ResponseTag::kOtherParameters)) {
        m_strBody += "\tEvent Specific Information:\n" + *pOther + "\n";
    }
}
