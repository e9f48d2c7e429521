#include "Common/AgentEventInfo.h"

#include <climits>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include "Common/HelperFunc.h"
#include "Common/InputBounds.h"
#include "Common/Rule.h"
#include "platform/Clock.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/BoundedFormat.h"
#include "qorToolsLib/SafeText.h"

namespace {

constexpr size_t kTextFormSize = 256;

std::mutex g_HostNameLock;
std::string g_strHostName;
std::mutex g_DefaultSourceLock;
std::string g_strDefaultSourceAddress;

const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

unsigned Pointer(const void* p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

void SetOptional(std::optional<std::string>& field, const char* pszText) {
    if (pszText != nullptr) {
        field = pszText;
    }
}

// What GetRuleName answers for a record without a rule.
const std::string kNoRuleName = "Rule Error";

// The bound that says a rule's pair had its value cut.  A flood of long
// lines cuts the same pair of the same rule in every alert: each thread
// keeps the handles of the last few pairs it cut, so such a flood builds
// no names and takes no lock per alert.
InputBound& ValueCutBound(const std::string& strRule, const std::string& strPair) {
    struct Kept {
        std::string m_strRule;
        std::string m_strPair;
        InputBound* m_pBound = nullptr;
    };
    constexpr size_t kKept = 8;
    thread_local Kept t_Kept[kKept];
    thread_local size_t t_nNext = 0;
    for (const Kept& kept : t_Kept) {
        if (kept.m_pBound != nullptr && kept.m_strRule == strRule && kept.m_strPair == strPair) {
            return *kept.m_pBound;
        }
    }
    Kept& kept = t_Kept[t_nNext];
    t_nNext = (t_nNext + 1) % kKept;
    kept.m_strRule = strRule;
    kept.m_strPair = strPair;
    kept.m_pBound = &InputBounds::Instance().Bound(
        "rule " + strRule + ", information pair " + strPair,
        "at most " + std::to_string(AgentEventInfo::kMaxInfoValueBytes) +
            " bytes a value, the rest cut off",
        "bytes", strRule);
    return *kept.m_pBound;
}

int32_t FindPairValue(const InfoPairList& pairs, const char* pszName, std::string& strValue) {
    if (pszName == nullptr) {
        return -1;
    }
    for (const InfoPair& pair : pairs) {
        if (pair.m_strName == pszName) {
            strValue = pair.m_strValue;
            return 0;
        }
    }
    return -1;
}

}  // namespace

AgentEventInfo::AgentEventInfo(Rule* pRule, int64_t tTime)
    : m_pRule(pRule),
      m_tTime(tTime != 0 ? tTime : plat::ReadClock().m_iSeconds),
      m_nAlertType(pRule != nullptr ? pRule->GetAlertType() : 0) {
    FillHostName();
    CSF_TRACE(kCSFLogInfo, "constructing 0x%x", Pointer(this));
}

AgentEventInfo::AgentEventInfo(const AgentEventInfo& other) {
    CSF_TRACE(kCSFLogInfo, "copy constructor 0x%x, rhs=0x%x", Pointer(this), Pointer(&other));
    AgentEventInfo::operator=(other);
}

AgentEventInfo& AgentEventInfo::operator=(const AgentEventInfo& other) {
    CSF_TRACE(kCSFLogInfo, "operator=() this=0x%x, rhs=0x%x", Pointer(this), Pointer(&other));
    if (&other == this) {
        return *this;
    }
    m_pRule = other.m_pRule;
    m_dwEventId = other.m_dwEventId;
    m_wPriorityOverride = other.m_wPriorityOverride;
    m_nSourcePort = other.m_nSourcePort;
    m_dwSourceAddress = other.m_dwSourceAddress;
    m_bSourceAddressSet = other.m_bSourceAddressSet;
    m_nDestinationPort = other.m_nDestinationPort;
    m_dwDestinationAddress = other.m_dwDestinationAddress;
    m_bDestinationAddressSet = other.m_bDestinationAddressSet;
    m_dwIANAProtocolId = other.m_dwIANAProtocolId;
    m_bIANAProtocolIdSet = other.m_bIANAProtocolIdSet;
    m_nAttackSuccessful = other.m_nAttackSuccessful;
    m_nResourceId = other.m_nResourceId;
    m_tTime = other.m_tTime;
    m_nAlertType = other.m_nAlertType;
    std::copy(std::begin(other.m_szSourceAddress), std::end(other.m_szSourceAddress),
              m_szSourceAddress);
    std::copy(std::begin(other.m_szDestinationAddress), std::end(other.m_szDestinationAddress),
              m_szDestinationAddress);
    std::copy(std::begin(other.m_szTimeText), std::end(other.m_szTimeText), m_szTimeText);
    m_strDestinationEthernet = other.m_strDestinationEthernet;
    m_strSourceEthernet = other.m_strSourceEthernet;
    m_strAttackOrigin = other.m_strAttackOrigin;
    m_strApplication = other.m_strApplication;
    m_strResourceSubID = other.m_strResourceSubID;
    m_strUserDomain = other.m_strUserDomain;
    m_strUserName = other.m_strUserName;
    m_InfoPairs = other.m_InfoPairs;
    m_ScriptVariables = other.m_ScriptVariables;
    return *this;
}

AgentEventInfo::~AgentEventInfo() {
    // A pointer kept past the record's end no longer passes IsRecord.
    m_dwMagic = 0;
    CSF_TRACE(kCSFLogInfo, "destructing 0x%x", Pointer(this));
}

int32_t AgentEventInfo::ReadInteger(const std::string& strText, int nBase) {
    long long value = std::strtoll(strText.c_str(), nullptr, nBase);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

// The pointer may name an object of another class: only the magic word is
// read, without the run-time type checks a member access would get.
__attribute__((no_sanitize("vptr"))) bool AgentEventInfo::IsRecord(const AgentEventInfo* pRecord) {
    return pRecord != nullptr && pRecord->m_dwMagic == kMagic;
}

void AgentEventInfo::FillHostName() {
    // Tested again under the lock: only one record does the look-up, and a
    // failed one is retried by the next record.
    std::lock_guard<std::mutex> guard(g_HostNameLock);
    if (!g_strHostName.empty()) {
        return;
    }
    std::string strName;
    if (GetLocalHostName(strName) == 0) {
        g_strHostName = strName;
    }
}

std::string AgentEventInfo::GetHostNameText() {
    std::lock_guard<std::mutex> guard(g_HostNameLock);
    return g_strHostName;
}

void AgentEventInfo::SetDefaultSourceAddress(const char* pszAddress) {
    std::lock_guard<std::mutex> guard(g_DefaultSourceLock);
    g_strDefaultSourceAddress = pszAddress != nullptr ? pszAddress : "";
}

std::string AgentEventInfo::GetDefaultSourceAddress() {
    std::lock_guard<std::mutex> guard(g_DefaultSourceLock);
    return g_strDefaultSourceAddress;
}

uint32_t AgentEventInfo::GetRecordKind() const {
    return 0;
}

std::string AgentEventInfo::GetRuleName() const {
    return m_pRule != nullptr ? m_pRule->GetName() : kNoRuleName;
}

int32_t AgentEventInfo::GetInfoPairValue(const char* pszName, std::string& strValue) const {
    return FindPairValue(m_InfoPairs, pszName, strValue);
}

int32_t AgentEventInfo::GetScriptVariableValue(const char* pszName, std::string& strValue) const {
    return FindPairValue(m_ScriptVariables, pszName, strValue);
}

void AgentEventInfo::SetAlertType(int32_t nAlertType) {
    m_nAlertType = nAlertType;
}

int32_t AgentEventInfo::GetAlertType() const {
    return m_nAlertType;
}

void AgentEventInfo::SetApplicationText(const char* pszText) {
    SetOptional(m_strApplication, pszText);
}

void AgentEventInfo::SetResourceSubIDText(const char* pszText) {
    SetOptional(m_strResourceSubID, pszText);
}

void AgentEventInfo::SetUserDomainText(const char* pszText) {
    SetOptional(m_strUserDomain, pszText);
}

void AgentEventInfo::SetUserNameText(const char* pszText) {
    SetOptional(m_strUserName, pszText);
}

void AgentEventInfo::SetSourceEthernetText(const char* pszText) {
    SetOptional(m_strSourceEthernet, pszText);
}

void AgentEventInfo::SetDestinationEthernetText(const char* pszText) {
    SetOptional(m_strDestinationEthernet, pszText);
}

void AgentEventInfo::SetAttackOriginText(const char* pszText) {
    SetOptional(m_strAttackOrigin, pszText);
}

void AgentEventInfo::SetAttackOriginAddress(uint32_t dwAddress) {
    char szDotted[plat::kDottedAddressSize];
    m_strAttackOrigin = std::string("IPAddr: ") + plat::FormatDottedAddress(dwAddress, szDotted);
}

void AgentEventInfo::SetAttackOriginHost(const char* pszHost) {
    if (pszHost != nullptr) {
        m_strAttackOrigin = std::string("NTHost: ") + pszHost;
    }
}

void AgentEventInfo::AddInfoPair(const std::string& strName, std::string_view strValue) {
    if (strValue.size() > kMaxInfoValueBytes) {
        const size_t nKept = Utf8CutPoint(strValue, kMaxInfoValueBytes);
        ValueCutBound(m_pRule != nullptr ? m_pRule->GetName() : kNoRuleName, strName)
            .LeftOut(strValue.size() - nKept);
        strValue = strValue.substr(0, nKept);
    }
    InfoPair& pair = m_InfoPairs.emplace_back(InfoPair{strName, std::string(strValue)});
    if (strName == "SourceIP") {
        m_dwSourceAddress = static_cast<uint32_t>(ReadInteger(pair.m_strValue, 0));
        m_bSourceAddressSet = true;
        m_szSourceAddress[0] = '\0';
    }
}

void AgentEventInfo::AddInfoPair(const char* pszName, const char* pszValue) {
    if (pszName != nullptr) {
        AddInfoPair(std::string(pszName),
                    pszValue != nullptr ? std::string_view(pszValue) : std::string_view());
    }
}

void AgentEventInfo::AddScriptVariable(const std::string& strName, const std::string& strValue) {
    m_ScriptVariables.push_back(InfoPair{strName, strValue});
}

void AgentEventInfo::AddScriptVariable(const char* pszName, const char* pszValue) {
    if (pszName != nullptr) {
        AddScriptVariable(std::string(pszName), std::string(pszValue != nullptr ? pszValue : ""));
    }
}

void AgentEventInfo::RemoveScriptVariable(const char* pszName) {
    if (pszName == nullptr) {
        return;
    }
    const std::string_view name(pszName);
    for (auto it = m_ScriptVariables.begin(); it != m_ScriptVariables.end(); ++it) {
        if (it->m_strName == name) {
            m_ScriptVariables.erase(it);
            return;
        }
    }
}

void AgentEventInfo::SetScriptVariable(const char* pszName, std::string strValue) {
    if (pszName == nullptr) {
        return;
    }
    RemoveScriptVariable(pszName);
    // Room for the variables a report sets, at the first of them.
    if (m_ScriptVariables.size() == m_ScriptVariables.capacity()) {
        m_ScriptVariables.reserve(m_ScriptVariables.size() + kScriptVariableRoom);
    }
    m_ScriptVariables.push_back(InfoPair{pszName, std::move(strValue)});
}

const char* AgentEventInfo::GetSourceAddressText() {
    if (m_szSourceAddress[0] == '\0') {
        plat::FormatDottedAddress(m_dwSourceAddress, m_szSourceAddress);
    }
    return m_szSourceAddress;
}

const char* AgentEventInfo::GetDestinationAddressText() {
    if (m_szDestinationAddress[0] == '\0') {
        plat::FormatDottedAddress(m_dwDestinationAddress, m_szDestinationAddress);
    }
    return m_szDestinationAddress;
}

const char* AgentEventInfo::GetTimeText() {
    if (m_szTimeText[0] == '\0') {
        plat::CalendarTime local;
        if (plat::LocalCalendarAt(m_tTime, local)) {
            BoundedSnprintf(m_szTimeText, sizeof m_szTimeText, "%.3s %.3s%3d %.2d:%.2d:%.2d %d",
                            kWeekdays[local.m_iDayOfWeek % 7], kMonths[(local.m_iMonth + 11) % 12],
                            local.m_iDay, local.m_iHour, local.m_iMinute, local.m_iSecond,
                            local.m_iYear);
        }
    }
    return m_szTimeText;
}

void AgentEventInfo::GetPortName(uint16_t wPort, std::string& strName, const char* pszProtocol) {
    if (!plat::LookupServiceName(wPort, pszProtocol != nullptr ? pszProtocol : "tcp", strName)) {
        strName = "Port# " + std::to_string(wPort);
    }
}

std::string AgentEventInfo::GetSummaryText() {
    char szText[kTextFormSize];
    const char* pszTime = GetTimeText();
    const char* pszSource = GetSourceAddressText();
    BoundedSnprintf(szText, sizeof szText, "%s: from %s to %s", pszTime, pszSource,
                    GetDestinationAddressText());
    return szText;
}

std::string AgentEventInfo::GetCsvText() {
    char szText[kTextFormSize];
    const char* pszSource = GetSourceAddressText();
    BoundedSnprintf(szText, sizeof szText, "\"%ld\",\"%s\",\"%s\"", static_cast<long>(m_tTime),
                    pszSource, GetDestinationAddressText());
    return szText;
}

std::string AgentEventInfo::GetShortText() {
    char szText[kTextFormSize];
    const char* pszSource = GetSourceAddressText();
    BoundedSnprintf(szText, sizeof szText, "%ld %s %s", static_cast<long>(m_tTime), pszSource,
                    GetDestinationAddressText());
    return szText;
}
