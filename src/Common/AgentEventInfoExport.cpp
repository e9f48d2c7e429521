// The export of a record into the two alert-event forms.
//
// Each export operation writes one attribute N to the sensor parameters by
// one rule: when the event has N already (from an information pair) and the
// record holds a value too, that is reported and nothing is written; when
// neither has one, that is reported (or a default is written); when only
// the record has one, it is written.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

#include "Common/AgentEventInfo.h"
#include "Common/CADFEvent.h"
#include "Common/CQgEvent.h"
#include "Common/Rule.h"
#include "platform/Console.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/BoundedFormat.h"
#include "qorToolsLib/SafeText.h"

namespace {

constexpr uint32_t kSensorSection = 1;
constexpr uint32_t kAlertSection = 2;
constexpr size_t kMessageSize = 512;

enum class Wording { Common, SourceEthernet, DestinationEthernet };

std::string PortName(int32_t nPort) {
    std::string strName;
    AgentEventInfo::GetPortName(static_cast<uint16_t>(nPort), strName, "tcp");
    return strName;
}

class Exporter {
public:
    Exporter(AgentEventInfo& record, CADFEvent& event)
        : m_Record(record), m_Event(event) {}

    // The rule of the file's header comment.  `fallback` is written when
    // neither side has a value; without one that is reported.
    void Export(const char* pszName, const std::optional<AlertValue>& value, Wording wording,
                const std::optional<AlertValue>& fallback = std::nullopt,
                bool bAlsoAlertSection = false) {
        bool bPresent = m_Event.Find(pszName, kSensorSection).IsValid() ||
                        (bAlsoAlertSection && m_Event.Find(pszName, kAlertSection).IsValid());
        if (bPresent) {
            if (value) {
                RemarkOnce(pszName, true, [&] { return Present(pszName, wording); });
            }
            return;
        }
        const std::optional<AlertValue>& written = value ? value : fallback;
        if (!written) {
            RemarkOnce(pszName, false, [&] { return Absent(pszName, wording); });
            return;
        }
        StatusCode status = m_Event.Add(pszName, *written, kSensorSection);
        if (status != QOR_S_OK) {
            char szText[kMessageSize];
            BoundedSnprintf(szText, sizeof szText,
                            wording == Wording::Common
                                ? "(EventID: %d, Rule: %s error %d) error setting the Host Warden parameter"
                                : "EventID: %d, Rule: %s error %d) error setting the Host Warden parameter",
                            static_cast<int>(m_Record.m_dwEventId), m_Record.GetRuleName().c_str(),
                            static_cast<int>(status));
            Report(szText);
        }
    }

    bool Has(const char* pszName) const { return m_Event.Find(pszName, kSensorSection).IsValid(); }

private:
    std::string Prefix() const {
        char szText[kMessageSize];
        BoundedSnprintf(szText, sizeof szText, "(EventID: %d, Rule: %s) ",
                        static_cast<int>(m_Record.m_dwEventId), m_Record.GetRuleName().c_str());
        return szText;
    }

    std::string Present(const char* pszName, Wording wording) const {
        switch (wording) {
            case Wording::SourceEthernet:
                return Prefix() + "Source Ethernet must not be set in both an info pari and explicitly";
            case Wording::DestinationEthernet:
                return Prefix() + "Destination Ethernet must not be set in both an info pari and explicitly";
            case Wording::Common:
                break;
        }
        return Prefix() + pszName + " must not be set in an info pair and also explicitly";
    }

    std::string Absent(const char* pszName, Wording wording) const {
        switch (wording) {
            case Wording::SourceEthernet:
                return Prefix() + "Source MAC address must be set, either in an info pari or explicitly";
            case Wording::DestinationEthernet:
                return Prefix() + "Destination MAC address must be set, either in an info pari or explicitly";
            case Wording::Common:
                break;
        }
        return Prefix() + pszName + " must be set, either in an info pair or explicitly";
    }

    static void Report(const std::string& strText) { CSF_LOG(kCSFLogError, "%s", strText.c_str()); }

    // A value a record lacks, or gives twice, is a matter of what the rule
    // finds in its input (a log line without a user name): the alert goes
    // out all the same.  It is said as a warning for the rule's first such
    // record only, so that a real error is not buried under one line per
    // alert; the text is made only when it is said.
    template <typename MakeText>
    void RemarkOnce(const char* pszName, bool bTwice, MakeText makeText) {
        Rule* pRule = m_Record.GetRule();
        const auto* pFound = std::find_if(std::begin(kRemarkedNames), std::end(kRemarkedNames),
                                          [&](const char* pszKnown) {
                                              return std::strcmp(pszKnown, pszName) == 0;
                                          });
        if (pRule != nullptr && pFound != std::end(kRemarkedNames)) {
            const auto dwIndex = static_cast<uint32_t>(pFound - std::begin(kRemarkedNames));
            if (!pRule->FirstRemark(dwIndex * 2 + (bTwice ? 1 : 0))) {
                return;
            }
        }
        CSF_LOG(kCSFLogWarning, "%s", makeText().c_str());
    }

    // The attributes a record may lack or give twice; each has two remark
    // bits of its rule.
    static constexpr const char* kRemarkedNames[] = {
        "SourceAddress",     "SourceEthernetAddress", "SourcePort",          "SourcePortName",
        "DestinationAddress", "DestinationEthernetAddress", "DestinationPort", "DestinationPortName",
        "IANAProtocolId",    "AttackSuccessful",      "AttackOrigin",        "Application",
        "ResourceID",        "ResourceSubID",         "UserName"};

    AgentEventInfo& m_Record;
    CADFEvent& m_Event;
};

std::optional<AlertValue> Text(const std::optional<std::string>& text) {
    return text ? std::optional<AlertValue>(AlertValue::String(*text)) : std::nullopt;
}

}  // namespace

void AgentEventInfo::FillADFEvent(CADFEvent& event) {
    event.AppendAttribute(kSensorSection, "SystemAgent", AlertValue::String(GetHostNameText()));
    for (const InfoPair& pair : m_InfoPairs) {
        const std::string& strName = pair.m_strName;
        const std::string& strValue = pair.m_strValue;
        if (strName == "algorithm-id") {
            UpdateAlgorithmId(event, strValue);
        } else if (strName == "User") {
            m_strUserName = strValue;
            event.AppendAttribute(kAlertSection, strName, AlertValue::String(strValue));
        } else if (strName == "User's Domain") {
            m_strUserDomain = strValue;
            event.AppendAttribute(kAlertSection, strName, AlertValue::String(strValue));
        } else if (strName == "INTERNAL_Resource_Identifier") {
            m_nResourceId = ReadInteger(strValue, 10);
        } else if (strName == "INTERNAL_Resource_Sub_Identifier") {
            m_strResourceSubID = strValue;
        } else if (strName == "VulnStatus") {
            event.AppendAttribute(kSensorSection, strName,
                                  AlertValue::Uint8(static_cast<uint8_t>(ReadInteger(strValue, 10))));
        } else {
            event.AppendAttribute(kAlertSection, strName, AlertValue::String(strValue));
        }
    }

    const bool bSourceEthernet = m_strSourceEthernet.has_value();
    const bool bDestinationEthernet = m_strDestinationEthernet.has_value();
    auto addresses = [&] {
        ExportSourceAddress(event);
        if (bSourceEthernet) {
            ExportSourceEthernetAddress(event);
        }
        ExportDestinationAddress(event);
        if (bDestinationEthernet) {
            ExportDestinationEthernetAddress(event);
        }
    };
    switch (m_nAlertType) {
        case 101:
        case 102:
            ExportSourcePort(event);
            ExportSourcePortName(event);
            ExportDestinationPort(event);
            ExportDestinationPortName(event);
            ExportIANAProtocolId(event);
            addresses();
            ExportAttackSuccessful(event);
            break;
        case 103:
            addresses();
            ExportIANAProtocolId(event);
            ExportAttackSuccessful(event);
            break;
        case 104:
            addresses();
            ExportAttackSuccessful(event);
            break;
        case 105:
            ExportIANAProtocolId(event);
            addresses();
            ExportAttackSuccessful(event);
            break;
        case 202:
            ExportSourceAddress(event);
            ExportSourcePort(event);
            ExportSourcePortName(event);
            ExportDestinationAddress(event);
            ExportDestinationPort(event);
            ExportDestinationPortName(event);
            ExportIANAProtocolId(event);
            ExportAttackSuccessful(event);
            ExportAttackOrigin(event);
            break;
        case 203:
        case 204:
        case 205:
        case 206:
        case 207:
            ExportUserName(event);
            ExportSourceAddress(event);
            ExportDestinationAddress(event);
            ExportAttackOrigin(event);
            break;
        case 208:
            ExportSourceAddress(event);
            ExportDestinationAddress(event);
            ExportResourceID(event);
            ExportResourceSubID(event);
            break;
        case 209:
        case 210:
            ExportSourceAddress(event);
            ExportDestinationAddress(event);
            ExportAttackOrigin(event);
            break;
        case 211:
            ExportSourceAddress(event);
            ExportDestinationAddress(event);
            ExportApplication(event);
            ExportAttackOrigin(event);
            break;
        default:
            CSF_LOG(kCSFLogError, "Got an unknown event type");
            return;
    }
    event.SetEventId(m_dwEventId);
    event.SetRecordKind(GetRecordKind());
    event.SetRule(m_pRule);
    event.SetRuleName(GetRuleName());
}

void AgentEventInfo::UpdateAlgorithmId(CADFEvent& event, const std::string& strValue) {
    EventIterator found = event.Find("algorithm-id", kSensorSection);
    if (!found.IsValid()) {
        event.AppendAttribute(kSensorSection, "algorithm-id", AlertValue::String(strValue));
        return;
    }
    CSF_LOG(kCSFLogError, "updating algorithm-id to %s", strValue.c_str());
    // An event still being built takes a new value by Add; only a frozen
    // one is updated in place (keeping the value it was sent with).
    StatusCode status = event.IsFrozen() ? event.UpdateAt(found, AlertValue::String(strValue))
                                         : event.Add("algorithm-id", AlertValue::String(strValue),
                                                     kSensorSection);
    if (status != QOR_S_OK) {
        CSF_LOG(kCSFLogError, "Failed to update algorithm-id %s", strValue.c_str());
    }
}

void AgentEventInfo::FillQgEvent(CQgEvent& event) {
    for (const InfoPair& pair : m_InfoPairs) {
        event.AddPair(pair.m_strName, pair.m_strValue);
    }
    event.SetDestination(m_dwDestinationAddress, GetDestinationAddressText());
    event.SetSource(m_dwSourceAddress, GetSourceAddressText());
    event.SetPortName(PortName(m_nDestinationPort));
    event.SetEventId(m_dwEventId);
    event.SetProtocol(m_dwIANAProtocolId);
    event.SetRule(m_pRule);
    event.SetRuleName(GetRuleName());
    event.SetRecordKind(GetRecordKind());
}

void AgentEventInfo::ExportAttackOrigin(CADFEvent& event) {
    Exporter exporter(*this, event);
    if (!m_strAttackOrigin && !exporter.Has("AttackOrigin")) {
        // The record keeps the default it exports.
        m_strAttackOrigin = "Unknown";
    }
    exporter.Export("AttackOrigin", Text(m_strAttackOrigin), Wording::Common);
}

void AgentEventInfo::ExportApplication(CADFEvent& event) {
    Exporter(*this, event).Export("Application", Text(m_strApplication), Wording::Common);
}

void AgentEventInfo::ExportResourceID(CADFEvent& event) {
    std::optional<AlertValue> value;
    if (m_nResourceId != kUnset) {
        value = AlertValue::Uint32(static_cast<uint32_t>(m_nResourceId));
    }
    Exporter(*this, event).Export("ResourceID", value, Wording::Common);
}

void AgentEventInfo::ExportResourceSubID(CADFEvent& event) {
    Exporter(*this, event).Export("ResourceSubID", Text(m_strResourceSubID), Wording::Common);
}

void AgentEventInfo::ExportUserName(CADFEvent& event) {
    std::optional<AlertValue> value;
    if (m_strUserName) {
        value = AlertValue::String(m_strUserDomain && !m_strUserDomain->empty()
                                       ? *m_strUserDomain + "\\" + *m_strUserName
                                       : *m_strUserName);
    }
    Exporter(*this, event).Export("UserName", value, Wording::Common, std::nullopt, true);
}

void AgentEventInfo::ExportAttackSuccessful(CADFEvent& event) {
    // Only an engine that sees the outcome sets it (decoys, web events); the
    // network engine cannot, so its alerts go without it and nothing is
    // said: no rule could give it.
    if (m_nAttackSuccessful == kUnset) {
        return;
    }
    Exporter(*this, event).Export(
        "AttackSuccessful", AlertValue::Uint8(static_cast<uint8_t>(m_nAttackSuccessful)),
        Wording::Common);
}

void AgentEventInfo::ExportDestinationAddress(CADFEvent& event) {
    std::optional<AlertValue> value;
    if (m_bDestinationAddressSet) {
        value = AlertValue::String(GetDestinationAddressText());
    }
    Exporter(*this, event).Export("DestinationAddress", value, Wording::Common);
}

void AgentEventInfo::ExportDestinationEthernetAddress(CADFEvent& event) {
    Exporter(*this, event).Export("DestinationEthernetAddress", Text(m_strDestinationEthernet),
                                  Wording::DestinationEthernet);
}

void AgentEventInfo::ExportDestinationPort(CADFEvent& event) {
    std::optional<AlertValue> value;
    if (m_nDestinationPort != kUnset) {
        value = AlertValue::Uint32(static_cast<uint32_t>(m_nDestinationPort));
    }
    Exporter(*this, event).Export("DestinationPort", value, Wording::Common);
}

void AgentEventInfo::ExportDestinationPortName(CADFEvent& event) {
    std::optional<AlertValue> value;
    if (m_nDestinationPort != kUnset) {
        value = AlertValue::String(PortName(m_nDestinationPort));
    }
    Exporter(*this, event).Export("DestinationPortName", value, Wording::Common);
}

void AgentEventInfo::ExportIANAProtocolId(CADFEvent& event) {
    std::optional<AlertValue> value;
    if (m_bIANAProtocolIdSet) {
        value = AlertValue::Uint32(m_dwIANAProtocolId);
    }
    Exporter(*this, event).Export("IANAProtocolId", value, Wording::Common);
}

void AgentEventInfo::ExportSourceAddress(CADFEvent& event) {
    std::optional<AlertValue> value;
    if (m_bSourceAddressSet) {
        value = AlertValue::String(GetSourceAddressText());
    }
    // The default is made only when it can be needed.
    std::optional<AlertValue> fallback;
    if (!value) {
        fallback = AlertValue::String(GetDefaultSourceAddress());
    }
    Exporter(*this, event).Export("SourceAddress", value, Wording::Common, fallback);
}

void AgentEventInfo::ExportSourceEthernetAddress(CADFEvent& event) {
    Exporter(*this, event).Export("SourceEthernetAddress", Text(m_strSourceEthernet),
                                  Wording::SourceEthernet);
}

void AgentEventInfo::ExportSourcePort(CADFEvent& event) {
    std::optional<AlertValue> value;
    if (m_nSourcePort != kUnset) {
        value = AlertValue::Uint32(static_cast<uint32_t>(m_nSourcePort));
    }
    Exporter(*this, event).Export("SourcePort", value, Wording::Common);
}

void AgentEventInfo::ExportSourcePortName(CADFEvent& event) {
    std::optional<AlertValue> value;
    if (m_nSourcePort != kUnset) {
        value = AlertValue::String(PortName(m_nSourcePort));
    }
    Exporter(*this, event).Export("SourcePortName", value, Wording::Common);
}

void AgentEventInfo::ExportAlertParameters(CADFEvent& event) {
    CSF_LOG(kCSFLogInfo, "Adding AgentEventInfo parameters and placing in ADF event's AlertParameters");
    for (const InfoPair& pair : m_InfoPairs) {
        event.Add(pair.m_strName, AlertValue::String(pair.m_strValue), kAlertSection);
    }
}

void AgentEventInfo::Dump() {
    plat::ConsolePrintf("AEI: Name=%s iPair=%d \n", GetRuleName().c_str(),
                        static_cast<int>(m_InfoPairs.size()));
    int nIndex = 0;
    for (const InfoPair& pair : m_InfoPairs) {
        plat::ConsolePrintf("%d : %s - %s \n", nIndex++, pair.m_strName.c_str(),
                            PrintableText(pair.m_strValue).c_str());
    }
}

namespace {

constexpr char kTemplateMarker[] = "{!}";
constexpr size_t kUnseen = std::string::npos - 1;

// Where the prefix (the alternative up to `nMarker`) first fits the text:
// the index after the last character it took, or npos.  From a start the
// prefix takes the text's characters one by one; a "*" takes characters up
// to and including the first one equal to the character that follows the
// "*" in the pattern.  A start that meets a character the prefix does not
// take has failed, and the next start is tried.
//
// Starts are tried in order, and the place each "*" reaches can only grow
// from one start to the next.  A "*" that reaches the place it reached for
// an earlier start is on the road that start took, which failed: so is this
// one.  Each "*" therefore reads every character of the text at most once
// over all starts, and what follows it is tried once per place it reaches,
// so a text written to defeat the prefix (many starts, each running far)
// costs its length times the prefix's, not the square of its length.
size_t FindPrefixEnd(std::string_view svAlternative, size_t nMarker, std::string_view svText) {
    if (nMarker == 0) {
        return svText.empty() ? std::string::npos : 0;
    }
    // For each "*" of the prefix, the index of the character it took for
    // the last start that reached it.
    thread_local std::vector<size_t> t_Reached;
    size_t nStars = 0;
    for (size_t n = 0; n < nMarker; ++n) {
        if (svAlternative[n] == '*') {
            ++nStars;
            ++n;
        }
    }
    t_Reached.assign(nStars, kUnseen);
    // A prefix that begins with a plain character can fit only where the
    // text holds that character: the other places are passed over.
    const char cFirst = svAlternative[0];
    const bool bPlainStart = cFirst != '*';
    for (size_t nStart = bPlainStart ? svText.find(cFirst) : 0; nStart < svText.size();
         nStart = bPlainStart ? svText.find(cFirst, nStart + 1) : nStart + 1) {
        size_t nPos = nStart;
        size_t nCursor = 0;
        size_t nStar = 0;
        bool bFits = true;
        while (bFits && nCursor < nMarker) {
            if (nPos >= svText.size()) {
                bFits = false;
            } else if (svAlternative[nCursor] == '*') {
                size_t& nTaken = t_Reached[nStar++];
                if (nTaken != kUnseen && nPos <= nTaken) {
                    bFits = false;
                    break;
                }
                nTaken = svText.find(svAlternative[nCursor + 1], nPos);
                if (nTaken == std::string::npos) {
                    // Every later start that gets this far finds none either.
                    return std::string::npos;
                }
                nPos = nTaken + 1;
                nCursor += 2;
            } else if (svText[nPos] == svAlternative[nCursor]) {
                ++nPos;
                ++nCursor;
            } else {
                bFits = false;
            }
        }
        if (bFits) {
            return nPos;
        }
    }
    return std::string::npos;
}

bool IsFieldSeparator(char c) {
    return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '%';
}

}  // namespace

void AgentEventInfo::ResolveInfoTemplate(std::string_view svTemplate, std::string_view svText,
                                         std::string& strOut) {
    size_t nFrom = 0;
    while (true) {
        strOut.clear();
        const size_t nBar = svTemplate.find('|', nFrom);
        const std::string_view svAlternative =
            svTemplate.substr(nFrom, nBar == std::string::npos ? std::string::npos : nBar - nFrom);
        const size_t nMarker = svAlternative.find(kTemplateMarker);
        if (nMarker == std::string::npos) {
            strOut.assign(svAlternative);
            return;
        }
        const std::string_view svSuffix = svAlternative.substr(nMarker + sizeof kTemplateMarker - 1);
        const size_t nEnd = FindPrefixEnd(svAlternative, nMarker, svText);
        if (nEnd != std::string::npos && nEnd < svText.size()) {
            std::string_view svValue = svText.substr(nEnd);
            if (!svSuffix.empty()) {
                const size_t nSuffix = svValue.find(svSuffix);
                if (nSuffix != std::string::npos) {
                    svValue = svValue.substr(0, nSuffix);
                }
            }
            if (!svValue.empty() && svValue.back() == '\n') {
                svValue.remove_suffix(1);
            }
            strOut.assign(svValue);
            return;
        }
        if (nBar == std::string::npos) {
            return;
        }
        nFrom = nBar + 1;
    }
}

void AgentEventInfo::GetTextField(int nField, std::string_view svLine, std::string& strOut) {
    strOut.clear();
    // The line is read where it lies: a field is copied out only once found.
    // A NUL is a byte of its field like any other, so a writer cannot end
    // the line early with one.
    const size_t nLength = svLine.size();
    size_t n = 0;
    for (int i = 0;; ++i) {
        while (n < nLength && IsFieldSeparator(svLine[n])) {
            ++n;
        }
        if (n >= nLength) {
            return;
        }
        const size_t nStart = n;
        while (n < nLength && !IsFieldSeparator(svLine[n])) {
            ++n;
        }
        if (i >= nField) {
            strOut.assign(svLine.substr(nStart, n - nStart));
            return;
        }
    }
}
