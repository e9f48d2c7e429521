#include "Responses/FormatEmailResponse.h"

#include "Responses/ResponseFieldReader.h"
#include "qorCSFLib/ADFGenericEvent.h"

namespace {

// Fields of the alert section that have lines of their own in the body, or
// are the actions; every other field is listed with the further parameters.
const char* const kFieldsWithOwnLine[] = {
    EventField::kResponseList,       EventField::kApplication,        EventField::kAttackOrigin,
    EventField::kAttackSuccessful,   EventField::kDestinationAddress, EventField::kDestinationPort,
    EventField::kDestinationPortName, EventField::kIANAProtocolId,    EventField::kResourceID,
    EventField::kResourceSubID,      EventField::kSourceAddress,      EventField::kSourcePort,
    EventField::kSourcePortName,     EventField::kUserName,           EventField::kUserNameSpaced,
};

}  // namespace

CFormatEmailResponse::CFormatEmailResponse() {
    FillAlertTypeNameMap(m_AlertTypes);
    RegisterResponseTags(m_Tags, ResponseTag::kDerivedTags);
}

CFormatEmailResponse::~CFormatEmailResponse() = default;

void CFormatEmailResponse::ExtractADFEvent(ADFGenericEvent* pEvent) {
    CCSFCommonResponseMail::ExtractADFEvent(pEvent);

    std::string other;
    const EventIterator end = pEvent->End(EventField::kAlertSection);
    for (EventIterator it = pEvent->Begin(EventField::kAlertSection); it.IsValid() && it != end; ++it) {
        if (!NameIsOneOf(it->m_sName, kFieldsWithOwnLine)) {
            AppendParameterPiece(other, it->m_sName, it->m_Value.ToString(), kMailPieceStyle);
        }
    }
    if (!other.empty()) {
        std::string& parameters = m_Tags[ResponseTag::kOtherParameters];
        if (parameters == ResponseTag::kNotAvailable) {
            parameters = std::move(other);
        } else {
            parameters += other;
        }
    }

    // The type is the event's own, so alerts formatted on one thread while
    // another converts the next cannot pick up each other's fields.
    m_nAlertType = ResponseFieldReader::HeaderAlertType(*pEvent).value_or(0);
    ResponseFieldReader fields(m_Tags, *pEvent, m_AlertTypes, false);
    fields.RunCommonSetters();
    fields.RunTypeSetters(m_nAlertType);
}

void CFormatEmailResponse::FormatHeader() {
    FormatHeaderLine("' event detected by Quellguard(R) HostWarden '");
}

void CFormatEmailResponse::AppendDetail(const char* pszLabel, const char* pszTag) {
    if (const std::string* pValue = FindTag(pszTag)) {
        m_strBody += "\t";
        m_strBody += pszLabel;
        m_strBody += *pValue;
        m_strBody += "\n";
    }
}

void CFormatEmailResponse::AppendPortDetail(const char* pszLabel, const char* pszNameTag,
                                            const char* pszNumberTag) {
    const std::string* pName = FindTag(pszNameTag);
    if (pName == nullptr) {
        return;
    }
    m_strBody += "\t";
    m_strBody += pszLabel;
    m_strBody += *pName;
    const std::string* pNumber = FindTag(pszNumberTag);
    if (pNumber != nullptr && *pNumber != *pName) {
        m_strBody += "(" + *pNumber + ")";
    }
    m_strBody += "\n";
}

void CFormatEmailResponse::FormatDetails() {
    CCSFCommonResponseMail::FormatDetails();
    AppendDetail("Alert Type: ", ResponseTag::kAlertType);
    AppendDetail("Source IP Address: ", ResponseTag::kSourceIPAddress);
    AppendPortDetail("Source Port: ", ResponseTag::kSourcePortName, ResponseTag::kSourcePort);
    AppendDetail("Destination IP Address: ", ResponseTag::kDestinationIPAddress);
    AppendPortDetail("Destination Port: ", ResponseTag::kDestinationPortName,
                     ResponseTag::kDestinationPort);
    if (const std::string* pName = FindTag(ResponseTag::kProtocolName)) {
        m_strBody += "\tProtocol: " + *pName;
        if (const std::string* pNumber = FindTag(ResponseTag::kProtocol)) {
            m_strBody += "(" + *pNumber + ")";
        }
        m_strBody += "\n";
    }
    AppendDetail("Attack Origin: ", ResponseTag::kAttackOrigin);
    AppendDetail("User Name: ", ResponseTag::kUserName);
    AppendDetail("ResourceID: ", ResponseTag::kResourceID);
    AppendDetail("ResourceSubID: ", ResponseTag::kResourceSubID);
    AppendDetail("Application Name: ", ResponseTag::kApplication);
}
