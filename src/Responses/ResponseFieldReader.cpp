#include "Responses/ResponseFieldReader.h"

#include "Responses/ProtocolName.h"
#include "hostwarden/IEventData.h"
#include "qorEventLib/AlertValue.h"

namespace {

constexpr uint32_t kArpProtocolField = 255;
constexpr int32_t kResourceShortage = 208;
constexpr int32_t kApplicationEvent = 211;

const EventAVP* FindAlertField(const IEventData& event, const char* pszName) {
    return FindEventValue(event, pszName, EventField::kAlertSection);
}

}  // namespace

ResponseFieldReader::ResponseFieldReader(ResponseTagMap& tags, const IEventData& event,
                                         const AlertTypeNameMap& alertTypes, bool bAliases)
    : m_Tags(tags), m_Event(event), m_AlertTypes(alertTypes), m_bAliases(bAliases) {}

bool ResponseFieldReader::CopyField(const char* pszField, const char* pszTag, bool bUint32Only,
                                    const char* pszAlias) {
    const EventAVP* pField = FindAlertField(m_Event, pszField);
    if (pField == nullptr || (bUint32Only && pField->m_Value.Type() != VTypeUint32)) {
        return false;
    }
    std::string text = pField->m_Value.ToString();
    if (m_bAliases && pszAlias != nullptr) {
        m_Tags[pszAlias] = text;
    }
    m_Tags[pszTag] = std::move(text);
    return true;
}

void ResponseFieldReader::SetSourceAddress() {
    CopyField(EventField::kSourceAddress, ResponseTag::kSourceIPAddress, false, ResponseTag::kSrcAddr);
}

void ResponseFieldReader::SetSourcePort() {
    CopyField(EventField::kSourcePort, ResponseTag::kSourcePort, true, ResponseTag::kSrcPort);
}

void ResponseFieldReader::SetSourcePortName() {
    CopyField(EventField::kSourcePortName, ResponseTag::kSourcePortName, false);
}

void ResponseFieldReader::SetDestinationAddress() {
    CopyField(EventField::kDestinationAddress, ResponseTag::kDestinationIPAddress, false,
              ResponseTag::kDestAddr);
}

void ResponseFieldReader::SetDestinationPort() {
    CopyField(EventField::kDestinationPort, ResponseTag::kDestinationPort, true, ResponseTag::kDestPort);
}

void ResponseFieldReader::SetDestinationPortName() {
    CopyField(EventField::kDestinationPortName, ResponseTag::kDestinationPortName, false);
}

void ResponseFieldReader::SetProtocol() {
    const EventAVP* pField = FindAlertField(m_Event, EventField::kIANAProtocolId);
    if (pField == nullptr || pField->m_Value.Type() != VTypeUint32) {
        return;
    }
    const uint32_t dwProtocol = pField->m_Value.GetUint32();
    m_Tags[ResponseTag::kProtocolName] = ProtocolName(static_cast<uint16_t>(dwProtocol));
    // 255 stands for ARP, which has no IP protocol number to show.
    if (dwProtocol != kArpProtocolField) {
        m_Tags[ResponseTag::kProtocol] = pField->m_Value.ToString();
    }
}

void ResponseFieldReader::SetAttackSuccessful() {
    CopyField(EventField::kAttackSuccessful, ResponseTag::kAttackSuccessful, false);
}

void ResponseFieldReader::SetAttackOrigin() {
    CopyField(EventField::kAttackOrigin, ResponseTag::kAttackOrigin, false);
}

void ResponseFieldReader::SetUserName() {
    if (!CopyField(EventField::kUserName, ResponseTag::kUserName, false)) {
        CopyField(EventField::kUserNameSpaced, ResponseTag::kUserName, false);
    }
}

std::optional<int32_t> ResponseFieldReader::HeaderAlertType(const IEventData& event) {
    const EventAVP* pField = FindEventValue(event, EventField::kAlertType, EventField::kHeaderSection);
    if (pField == nullptr) {
        return std::nullopt;
    }
    const AlertValue& value = pField->m_Value;
    switch (value.Type()) {
        case VTypeInteger:
            return value.GetInteger();
        case VTypeUint32:
            return static_cast<int32_t>(value.GetUint32());
        case VTypeUint16:
            return value.GetUint16();
        case VTypeUint8:
            return value.GetUint8();
        default:
            // A text or a date holds no alert-type code.
            return std::nullopt;
    }
}

void ResponseFieldReader::SetAlertType() {
    const EventAVP* pField = FindEventValue(m_Event, EventField::kAlertType, EventField::kHeaderSection);
    if (pField == nullptr) {
        return;
    }
    std::optional<int32_t> code = HeaderAlertType(m_Event);
    m_Tags[ResponseTag::kAlertType] = code ? LookUpAlertTypeName(m_AlertTypes, *code) : "unknown";
}

void ResponseFieldReader::SetICMPCode() {
    CopyField(EventField::kICMPCode, ResponseTag::kICMPCode, false);
}

void ResponseFieldReader::SetICMPType() {
    CopyField(EventField::kICMPType, ResponseTag::kICMPType, false);
}

void ResponseFieldReader::SetSystemAgent() {
    CopyField(EventField::kSystemAgent, ResponseTag::kSystemAgent, false);
}

void ResponseFieldReader::SetResourceID() {
    CopyField(EventField::kResourceID, ResponseTag::kResourceID, true);
}

void ResponseFieldReader::SetResourceSubID() {
    CopyField(EventField::kResourceSubID, ResponseTag::kResourceSubID, true);
}

void ResponseFieldReader::SetApplication() {
    CopyField(EventField::kApplication, ResponseTag::kApplication, false);
}

void ResponseFieldReader::RunCommonSetters() {
    SetSourceAddress();
    SetSourcePort();
    SetSourcePortName();
    SetDestinationAddress();
    SetDestinationPort();
    SetDestinationPortName();
    SetProtocol();
    SetAttackSuccessful();
    SetAttackOrigin();
    SetUserName();
    SetAlertType();
    SetICMPCode();
    SetICMPType();
    SetSystemAgent();
}

void ResponseFieldReader::RunTypeSetters(int32_t nAlertType) {
    if (nAlertType == kResourceShortage) {
        SetResourceID();
        SetResourceSubID();
    } else if (nAlertType == kApplicationEvent) {
        SetApplication();
    }
}
