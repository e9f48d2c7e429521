// An alert event and a template made from arbitrary bytes, formatted by the
// three responses: the e-mail subject and bodies, the user program's
// parameter line and the SNMP trap.  Beyond not crashing:
//   - a template without "<" comes back from the mail substitution as it is;
//   - a line of every user-program tag splits (by the host's own rules)
//     into exactly one argument per tag, each the tag's value;
//   - the trap encodes whole.
//
// Input: a flags byte (bit 0: legacy event form, bit 1: printable-only trap
// parameters), the template up to the first NUL, then records of a name byte,
// a kind byte (bits 0-2 the value kind, bits 3-4 the section), a length
// byte and that many value bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Responses/FormatEmailResponse.h"
#include "Responses/HostWardenResponseSNMP.h"
#include "Responses/HostWardenResponseUserSpecified.h"
#include "platform/Process.h"
#include "qorCSFLib/ADFGenericEvent.h"
#include "qorCSFLib/CSFSensor.h"
#include "qorCSFLib/QgGenericEvent.h"
#include "qorCSFLib/ResponseTagMap.h"

namespace {

constexpr const char* kNames[] = {
    EventField::kSourceAddress,      EventField::kSourceEthernetAddress,
    EventField::kSourcePort,         EventField::kSourcePortName,
    EventField::kDestinationAddress, EventField::kDestinationEthernetAddress,
    EventField::kDestinationPort,    EventField::kDestinationPortName,
    EventField::kICMPType,           EventField::kICMPCode,
    EventField::kIANAProtocolId,     EventField::kAttackSuccessful,
    EventField::kApplication,        EventField::kAttackOrigin,
    EventField::kResourceID,         EventField::kResourceSubID,
    EventField::kSystemAgent,        EventField::kUserName,
    EventField::kUserNameSpaced,     EventField::kAlertType,
    EventField::kAlertName,          ":Remote",
    "Line",                          "",
};
constexpr size_t kNameCount = sizeof kNames / sizeof kNames[0];

struct Reader {
    const uint8_t* m_pData;
    size_t m_uSize;
    size_t m_uAt = 0;

    bool More() const { return m_uAt < m_uSize; }
    uint8_t Byte() { return More() ? m_pData[m_uAt++] : 0; }
    std::string_view Bytes(size_t uCount) {
        uCount = std::min(uCount, m_uSize - m_uAt);
        if (uCount == 0) {
            return {};
        }
        std::string_view bytes(reinterpret_cast<const char*>(m_pData + m_uAt), uCount);
        m_uAt += uCount;
        return bytes;
    }
    std::string_view UpToNul() {
        const void* pNul = More() ? std::memchr(m_pData + m_uAt, 0, m_uSize - m_uAt) : nullptr;
        const size_t uEnd = pNul != nullptr ? static_cast<const uint8_t*>(pNul) - m_pData : m_uSize;
        std::string_view text = Bytes(uEnd - m_uAt);
        Byte();
        return text;
    }
};

uint32_t Number(std::string_view bytes) {
    uint32_t dwValue = 0;
    if (!bytes.empty()) {
        std::memcpy(&dwValue, bytes.data(), std::min(bytes.size(), sizeof dwValue));
    }
    return dwValue;
}

AlertValue MakeValue(uint8_t bKind, std::string_view bytes) {
    switch (bKind & 7) {
        case VTypeInteger: return AlertValue::Integer(static_cast<int32_t>(Number(bytes)));
        case VTypeUint32: return AlertValue::Uint32(Number(bytes));
        case VTypeUint16: return AlertValue::Uint16(static_cast<uint16_t>(Number(bytes)));
        case VTypeUint8: return AlertValue::Uint8(static_cast<uint8_t>(Number(bytes)));
        case VTypeDate: return AlertValue::Date(static_cast<int32_t>(Number(bytes)));
        case VTypeBlob: return AlertValue::Blob(bytes.data(), static_cast<uint32_t>(bytes.size()));
        case VTypeUnknown: return AlertValue();
        default: return AlertValue::String(bytes);
    }
}

struct EventDeleter {
    void operator()(ICSFAlertEvent* pEvent) const { pEvent->Destroy(); }
};
using EventPtr = std::unique_ptr<ICSFAlertEvent, EventDeleter>;

EventPtr MakeEvent(Reader& input, bool bLegacy) {
    if (bLegacy) {
        const std::string strName(input.Bytes(input.Byte() % 64));
        auto* pEvent = new QgGenericEvent(strName.c_str(), input.Byte(), input.Byte() % 5, nullptr);
        while (input.More()) {
            const std::string strName(kNames[input.Byte() % kNameCount]);
            pEvent->AddPair(strName, std::string(input.Bytes(input.Byte())));
        }
        return EventPtr(pEvent);
    }
    auto* pEvent = new ADFGenericEvent();
    while (input.More()) {
        const uint8_t bName = input.Byte();
        const uint8_t bKind = input.Byte();
        const AlertValue value = MakeValue(bKind, input.Bytes(input.Byte()));
        const uint32_t dwSection = std::min<uint32_t>((bKind >> 3) & 3, 2);
        if (dwSection == EventField::kHeaderSection) {
            pEvent->SetHeaderValue(bName % CQorEvent::kHeaderCount, value);
        } else {
            pEvent->Add(kNames[bName % kNameCount], value, dwSection);
        }
    }
    return EventPtr(pEvent);
}

std::string Sanitized(const std::string& strValue) {
    std::string strOut = strValue;
    for (char& c : strOut) {
        if (c == '\r' || c == '\n' || c == '\0') {
            c = ' ';
        }
    }
    return strOut;
}

void CheckMail(ICSFAlertEvent* pEvent, const std::string& strTemplate) {
    CFormatEmailResponse* pMail = new CFormatEmailResponse();
    if (pMail->ExtractEventData(pEvent)) {
        const std::string strSubject = pMail->GetSubject(strTemplate.c_str());
        if (strTemplate.find('<') == std::string::npos && strSubject != strTemplate) {
            std::abort();
        }
        pMail->GetBody(strTemplate.c_str());
        pMail->GetBody(nullptr);
    }
    pMail->Release();
}

void CheckUserProgram(ICSFAlertEvent* pEvent, const std::string& strTemplate) {
    CHostWardenResponseUserSpecified* pProgram = new CHostWardenResponseUserSpecified();
    if (pProgram->GetParameters(strTemplate.c_str(), pEvent) != nullptr) {
        std::string strEveryTag;
        std::vector<std::string> expected;
        for (const auto& [strTag, strValue] : pProgram->Tags()) {
            if (strTag.find(' ') == std::string::npos) {
                strEveryTag += strTag + " ";
                expected.push_back(Sanitized(strValue));
            }
        }
        const char* pszLine = pProgram->GetParameters(strEveryTag.c_str(), pEvent);
        if (pszLine == nullptr || plat::SplitCommandLine(pszLine) != expected) {
            std::abort();
        }
    }
    pProgram->Release();
}

void CheckTrap(ICSFAlertEvent* pEvent, bool bPrintableOnly) {
    CHostWardenResponseSNMP* pTrap = new CHostWardenResponseSNMP();
    if (SnmpTrapMessage* pMessage = pTrap->FormatTrap("public", pEvent, bPrintableOnly)) {
        std::vector<uint8_t> bytes(pMessage->EncodedLength());
        if (pMessage->Encode(bytes.data(), static_cast<uint32_t>(bytes.size())) != bytes.size()) {
            std::abort();
        }
    }
    pTrap->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CSFSensor* s_pSensor = [] {
        auto* pSensor = new CSFSensor;
        pSensor->SetSensorName("fuzz");
        pSensor->SetSensorAddress("192.0.2.10");
        return pSensor;
    }();
    (void)s_pSensor;
    Reader input{data, size};
    const uint8_t bFlags = input.Byte();
    const std::string strTemplate(input.UpToNul());
    EventPtr pEvent = MakeEvent(input, (bFlags & 1) != 0);
    CheckMail(pEvent.get(), strTemplate);
    CheckUserProgram(pEvent.get(), strTemplate);
    CheckTrap(pEvent.get(), (bFlags & 2) != 0);
    return 0;
}
