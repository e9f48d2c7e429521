#include "Responses/HostWardenResponseSNMP.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>

#include "Responses/ProtocolName.h"
#include "qorCSFLib/ADFGenericEvent.h"
#include "qorCSFLib/QgGenericEvent.h"
#include "qorCSFLib/ResponseTagMap.h"

namespace {

constexpr char kNone[] = "None";
constexpr char kNoPort[] = "0";
constexpr uint32_t kArpProtocolNumber = 255;

// Values that have a binding of their own and are not repeated among the
// further parameters.
const char* const kFieldsWithOwnValue[] = {
    EventField::kResponseList,  EventField::kDestinationAddress, EventField::kDestinationPort,
    EventField::kIANAProtocolId, EventField::kSourceAddress,     EventField::kSourcePort,
};

// The field's text, or `pszDefault` when the event has no such field.
std::string FieldText(const IEventData& event, const char* pszName, uint32_t dwSection,
                      const char* pszDefault) {
    const EventAVP* pField = FindEventValue(event, pszName, dwSection);
    return pField != nullptr ? pField->m_Value.ToString() : std::string(pszDefault);
}

void AppendTrapParameter(std::string& text, const std::string& name, std::string value,
                         bool bPrintableOnly) {
    if (bPrintableOnly) {
        for (char& c : value) {
            if (c < 0x20 || c > 0x7e) {
                c = '.';
            }
        }
    }
    text += " " + name + ":" + value + "; ";
}

// The dotted text of an IPv4 address held in network byte order.
std::string DottedAddress(uint32_t dwNetworkOrder) {
    char szText[INET_ADDRSTRLEN] = {};
    in_addr address{};
    address.s_addr = dwNetworkOrder;
    inet_ntop(AF_INET, &address, szText, sizeof szText);
    return szText;
}

std::string OrNone(const std::string& text) {
    return text.empty() ? std::string(kNone) : text;
}

// The legacy response bits in the order their words are listed.
const struct {
    uint32_t dwBit;
    const char* pszWord;
} kActionWords[] = {
    {0x1, "KILL "},          {0x4, "EMAIL "},       {0x200, "LOG_DB "},
    {0x8, "LOG_RAW "},       {0x2, "VIEW_SESS "},   {0x400, "FIREWALL "},
    {0x10000, "NOTIFY_LMF "}, {0x800, "SNMP_TRAP "}, {0x20000, "BANNER "},
    {0x80000, "SUSPEND_USER "}, {0x40000, "DISABLE_USER "},
};

// The leading decimal digits of a text as a number, 0 when there are none.
unsigned long LeadingNumber(const char* pszText) {
    return std::strtoul(pszText, nullptr, 10);
}

}  // namespace

CHostWardenResponseSNMP::CHostWardenResponseSNMP() : m_Message(kDefaultCommunity) {
    m_Values.reserve(kValueCount);
    for (size_t n = 1; n <= kValueCount; ++n) {
        m_Values.emplace_back("");
        m_Message.AddVarBind(ValueObjectId(n).c_str(), &m_Values.back());
    }
}

CHostWardenResponseSNMP::~CHostWardenResponseSNMP() = default;

int32_t CHostWardenResponseSNMP::Release() {
    delete this;
    return 0;
}

std::string CHostWardenResponseSNMP::ValueObjectId(size_t n) {
    return std::string(kSnmpEnterpriseOid) + ".1.1.2.1.1.1.1." + std::to_string(n) + ".0";
}

void CHostWardenResponseSNMP::SetCommunity(SnmpTrapMessage& message, const char* pszCommunity) {
    message.Community() = pszCommunity != nullptr ? pszCommunity : "";
}

SnmpTrapMessage* CHostWardenResponseSNMP::FormatTrap(const char* pszCommunity,
                                                     ICSFAlertEvent* pEvent,
                                                     bool bPrintableOnly) {
    try {
        SetCommunity(m_Message, pszCommunity);
        m_bPrintableOnly = bPrintableOnly;
        if (auto* pAdf = dynamic_cast<ADFGenericEvent*>(pEvent)) {
            FillFromADFEvent(*pAdf);
            return &m_Message;
        }
        if (auto* pLegacy = dynamic_cast<QgGenericEvent*>(pEvent)) {
            FillFromQgEvent(*pLegacy);
            return &m_Message;
        }
    } catch (...) {
        // Only an allocation can fail; the host gets no message to send.
    }
    return nullptr;
}

void CHostWardenResponseSNMP::FillFromADFEvent(ADFGenericEvent& event) {
    using namespace EventField;
    m_nPriority = ReadEventPriority(event);
    const EventAVP* pProtocol = FindEventValue(event, kIANAProtocolId, kAlertSection);
    if (pProtocol != nullptr && pProtocol->m_Value.Type() == VTypeUint32) {
        m_dwProtocol = pProtocol->m_Value.GetUint32();
    }
    ValueAt(4) = FieldText(event, kSourceAddress, kAlertSection, kNone);
    ValueAt(5) = FieldText(event, kDestinationAddress, kAlertSection, kNone);
    ValueAt(6) = kNone;
    ValueAt(7) = kNone;
    ValueAt(8) = FieldText(event, kSourcePort, kAlertSection, kNoPort);
    ValueAt(9) = FieldText(event, kDestinationPort, kAlertSection, kNoPort);
    ValueAt(1) = FieldText(event, EventField::kAlertName, kHeaderSection, kNone);
    ValueAt(2) = FieldText(event, EventField::kAlertDateTime, kHeaderSection, kNone);
    ValueAt(10) = FieldText(event, kResponseList, kAlertSection, kNone);

    std::string parameters;
    for (uint32_t dwSection : {kAlertSection, kParameterSection}) {
        const EventIterator end = event.End(dwSection);
        for (EventIterator it = event.Begin(dwSection); it.IsValid() && it != end; ++it) {
            if (!NameIsOneOf(it->m_sName, kFieldsWithOwnValue)) {
                AppendTrapParameter(parameters, it->m_sName, it->m_Value.ToString(), m_bPrintableOnly);
            }
        }
    }
    ValueAt(11) = parameters.empty() ? std::string(kNone) : parameters;
    SetPriorityAndProtocol();
}

std::string CHostWardenResponseSNMP::ActionsText(uint32_t dwMask) {
    std::string text;
    for (const auto& action : kActionWords) {
        if ((dwMask & action.dwBit) != 0) {
            text += action.pszWord;
        }
    }
    // The four user actions sit above the trap bit.
    for (unsigned long k = 1; k <= 4; ++k) {
        if ((dwMask & (0x800u << k)) != 0) {
            text += "USERACTION" + std::to_string(k) + " ";
        }
    }
    return OrNone(text);
}

void CHostWardenResponseSNMP::FillFromQgEvent(QgGenericEvent& event) {
    m_nPriority = ReadEventPriority(event);
    m_dwProtocol = event.GetProtocol();
    ValueAt(1) = event.GetAlertName();
    ValueAt(2) = event.GetTimeText();
    ValueAt(4) = DottedAddress(event.GetSourceAddress());
    ValueAt(5) = DottedAddress(event.GetDestinationAddress());
    ValueAt(6) = OrNone(event.GetExtraText(5));
    ValueAt(7) = OrNone(event.GetExtraText(6));
    ValueAt(8) = std::to_string(static_cast<int32_t>(event.GetSourcePort()));
    ValueAt(9) = std::to_string(static_cast<int32_t>(event.GetDestinationPort()));
    std::string parameters;
    if (event.GetPairs().empty()) {
        parameters = kNone;
    }
    for (const QgGenericEvent::Pair& pair : event.GetPairs()) {
        if (!pair.m_strName.empty()) {
            parameters += " " + pair.m_strName + ":" + pair.m_strValue + "; ";
        }
    }
    ValueAt(10) = ActionsText(event.GetResponseMask());
    ValueAt(11) = parameters;
    SetPriorityAndProtocol();
}

void CHostWardenResponseSNMP::SetPriorityAndProtocol() {
    int32_t nSpecificTrap = 3;
    if (m_nPriority == 2) {
        nSpecificTrap = 4;
    } else if (m_nPriority == 3) {
        nSpecificTrap = 5;
    }
    m_Message.SpecificTrap() = ASN1Integer(nSpecificTrap);

    std::string protocol;
    if (m_dwProtocol == kArpProtocolNumber) {
        protocol = "0";
    } else {
        const char* pszName = ProtocolName(static_cast<uint16_t>(m_dwProtocol));
        protocol = pszName;
        // A name that reads as the number itself ("HOPOPT" for 0) needs no
        // number beside it.
        if (LeadingNumber(pszName) != m_dwProtocol) {
            protocol += " (" + std::to_string(m_dwProtocol) + ")";
        }
    }
    ValueAt(3) = protocol;
}
