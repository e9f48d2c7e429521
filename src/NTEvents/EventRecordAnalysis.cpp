#include "NTEvents/EventRecordAnalysis.h"

#include <strings.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "Common/HelperFunc.h"
#include "NTEvents/CNTEventRule.h"
#include "NTEvents/EventLogInfo.h"
#include "platform/Accounts.h"
#include "platform/EventLog.h"
#include "platform/LastError.h"
#include "platform/TimeZone.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/BoundedFormat.h"
#include "qorToolsLib/ReportLimiter.h"

namespace {

using Layout = plat::EventLogLayout;

// The id of object-access records, whose third string names the object.
constexpr uint32_t kObjectAccessEventId = 560;
constexpr size_t kObjectNameIndex = 2;
// A placeholder sees this much of its string.
constexpr size_t kPlaceholderText = 200;
constexpr size_t kFormatBuffer = 1024;
constexpr const char kDelimiters[] = " \r\n\t%";
constexpr const char kUnknownUser[] = "unknown user";

struct AccessName {
    int32_t m_nCode;
    const char* m_pszName;
};

constexpr AccessName kAccessNames[] = {
    {1537, "DELETE"},          {1538, "READ_CONTROL"},     {1539, "WRITE_DAC"},
    {1540, "WRITE_OWNER"},     {1541, "SYNCHRONIZE"},      {1542, "ACCESS_SYS_SEC"},
    {4416, "ReadData"},        {4417, "WriteData"},        {4418, "AppendData"},
    {4419, "ReadEA"},          {4420, "WriteEA"},          {4421, "Execute/Traverse"},
    {4423, "ReadAttributes"},  {4424, "WriteAttributes"},  {4432, "Query Key Value"},
    {4433, "Set Key Value"},   {4434, "Create Sub Key"},   {4435, "Enumerate sub-keys"},
    {4436, "Notify"},          {4437, "Create Link"},      {6931, "Print"},
};

uint32_t Word(const uint8_t* p, uint32_t offset) {
    return static_cast<uint32_t>(p[offset]) | (static_cast<uint32_t>(p[offset + 1]) << 8) |
           (static_cast<uint32_t>(p[offset + 2]) << 16) |
           (static_cast<uint32_t>(p[offset + 3]) << 24);
}

uint16_t Half(const uint8_t* p, uint32_t offset) {
    return static_cast<uint16_t>(p[offset] | (p[offset + 1] << 8));
}

// The NUL-ended text at `offset` when its NUL lies before `end`.
bool TextAt(const uint8_t* pRecord, uint32_t offset, uint32_t end, const char*& pszText,
            uint32_t& length) {
    if (offset >= end) {
        return false;
    }
    const auto* pStart = reinterpret_cast<const char*>(pRecord + offset);
    length = static_cast<uint32_t>(::strnlen(pStart, end - offset));
    if (offset + length >= end) {
        return false;
    }
    pszText = pStart;
    return true;
}

bool StartsWith(const std::string& strText, const char* pszPrefix) {
    return strText.compare(0, std::strlen(pszPrefix), pszPrefix) == 0;
}

bool StartsWithNoCase(const char* pszText, const char* pszPrefix) {
    return strncasecmp(pszText, pszPrefix, std::strlen(pszPrefix)) == 0;
}

// Both separators end a path component.
size_t LastSeparator(const std::string& strPath) {
    return strPath.find_last_of("\\/");
}

bool EndsWithRecursiveMarker(const std::string& strEntry) {
    return strEntry.size() > 4 && (strEntry.compare(strEntry.size() - 4, 4, "\\...") == 0 ||
                                   strEntry.compare(strEntry.size() - 4, 4, "/...") == 0);
}

bool ObjectNameMatches(const CNTEventRule& rule, const char* pszObject) {
    if (StartsWithNoCase(pszObject, "\\REGISTRY\\")) {
        const char* pszKey = pszObject + std::strlen("\\REGISTRY\\");
        if (StartsWithNoCase(pszKey, "Machine\\")) {
            pszKey += std::strlen("Machine\\");
        }
        if (StartsWithNoCase(pszKey, "User\\")) {
            pszKey += std::strlen("User\\");
        }
        for (const std::string& strEntry : rule.KeyAuditValues()) {
            std::string strKey = strEntry.substr(0, 254);
            if (StartsWith(strKey, "HKEY_LOCAL_MACHINE")) {
                strKey.erase(0, std::min<size_t>(19, strKey.size()));
            } else if (StartsWith(strKey, "HKEY_USERS")) {
                strKey.erase(0, std::min<size_t>(11, strKey.size()));
            }
            if (strcasecmp(strKey.c_str(), pszKey) == 0) {
                return true;
            }
        }
        return false;
    }
    for (const std::string& strEntry : rule.AuditedFiles()) {
        std::string strFile = strEntry.substr(0, 1023);
        if (EndsWithRecursiveMarker(strFile)) {
            strFile.resize(LastSeparator(strFile) + 1);
            if (StartsWithNoCase(pszObject, strFile.c_str())) {
                return true;
            }
        } else if (strcasecmp(strFile.c_str(), pszObject) == 0) {
            return true;
        }
    }
    return false;
}

// The whole string cut at blanks, line ends, tabs and "%", each piece
// through `map`, joined by `pszJoin`.  Whoever caused the record chose the
// string (a user name tried at a log-on, say): read only in part, it would
// give a value cut where its writer liked, as if whole; the alert's own
// bound on a value's length says any cut.
template <typename Map>
std::string JoinPieces(const char* pszString, const char* pszJoin, Map&& map) {
    // A record is read whole within its own length, so its strings are
    // bounded by it; the copy is reused from record to record.
    thread_local std::string t_strCopy;
    t_strCopy.assign(pszString);
    std::string strResult;
    char* pszSaved = nullptr;
    for (char* pszPiece = ReentrantStrtok(t_strCopy.data(), kDelimiters, &pszSaved);
         pszPiece != nullptr; pszPiece = ReentrantStrtok(nullptr, kDelimiters, &pszSaved)) {
        if (!strResult.empty()) {
            strResult += pszJoin;
        }
        strResult += map(pszPiece);
    }
    return strResult;
}

const char* AccessText(const char* pszPiece) {
    const int32_t nCode = AgentEventInfo::ReadInteger(pszPiece, 10);
    for (const AccessName& entry : kAccessNames) {
        if (entry.m_nCode == nCode) {
            return entry.m_pszName;
        }
    }
    return pszPiece;
}

// The insertion string an index placeholder names, or null.
const char* IndexedString(const EventRecordView& record, size_t nUsable, const char* pszIndex) {
    const int32_t nIndex = AgentEventInfo::ReadInteger(pszIndex, 10);
    return nIndex >= 0 && static_cast<size_t>(nIndex) < nUsable ? record.m_Strings[nIndex]
                                                                  : nullptr;
}

std::string SidPlaceholder(const EventRecordView& record, size_t nUsable,
                           const std::string& strTemplate) {
    const char* pszRest = strTemplate.c_str() + 4;
    if (*pszRest == '\0') {
        if (record.m_dwUserSidLength == 0) {
            return std::string();
        }
        char szName[128];
        return LookupSidAccountName(record.m_pUserSid, record.m_dwUserSidLength, szName,
                                    sizeof szName) == 1
                   ? kUnknownUser
                   : szName;
    }
    if (*pszRest < '0' || *pszRest > '9') {
        return strTemplate;
    }
    const char* pszString = IndexedString(record, nUsable, pszRest);
    if (pszString == nullptr) {
        return std::string();
    }
    const std::string strSid(pszString, ::strnlen(pszString, kPlaceholderText));
    char szName[100];
    return LookupSidTextAccountName(strSid.c_str(), szName, sizeof szName) == 1 ? kUnknownUser
                                                                                 : szName;
}

std::string PairValue(const EventRecordView& record, size_t nUsable,
                      const std::string& strTemplate) {
    if (StartsWith(strTemplate, "@String")) {
        const char* pszString = IndexedString(record, nUsable, strTemplate.c_str() + 7);
        return pszString == nullptr
                   ? std::string()
                   : JoinPieces(pszString, " ", [](const char* pszPiece) { return pszPiece; });
    }
    if (StartsWith(strTemplate, "@Access")) {
        const char* pszString = IndexedString(record, nUsable, strTemplate.c_str() + 7);
        return pszString == nullptr ? std::string() : JoinPieces(pszString, ",", AccessText);
    }
    if (StartsWith(strTemplate, "@Sid")) {
        return SidPlaceholder(record, nUsable, strTemplate);
    }
    if (strTemplate.find("{!}") != std::string::npos) {
        std::string strValue;
        for (size_t j = 0; j < nUsable; ++j) {
            AgentEventInfo::ResolveInfoTemplate(strTemplate, record.m_Strings[j], strValue);
            if (!strValue.empty()) {
                break;
            }
        }
        return strValue;
    }
    return strTemplate;
}

// "%4d/%02d/%02d/ %02d:%02d:%02d %s" in local time with the zone's name;
// empty when the time cannot be converted.
std::string LocalTimeText(uint32_t dwTime) {
    struct tm local;
    char szZone[32];
    if (!plat::LocalTimeWithZoneName(dwTime, local, szZone)) {
        return std::string();
    }
    char szText[kFormatBuffer];
    BoundedSnprintf(szText, sizeof szText, "%4d/%02d/%02d/ %02d:%02d:%02d %s",
                    local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                    local.tm_min, local.tm_sec, szZone);
    return szText;
}

void AddNumber(EventLogInfo& alert, const char* pszName, const char* pszFormat, uint32_t dwValue) {
    char szText[kFormatBuffer];
    BoundedSnprintf(szText, sizeof szText, pszFormat, dwValue);
    alert.AddScriptVariable(pszName, szText);
}

void AddScriptVariables(EventLogInfo& alert, const EventRecordView& record) {
    AddNumber(alert, "__qor_eventlog_RecordNumber", "%u", record.m_dwRecordNumber);
    AddNumber(alert, "__qor_eventlog_EventID", "%u", record.m_dwEventId);
    AddNumber(alert, "__qor_eventlog_EventType", "0x%x", record.m_wEventType);
    AddNumber(alert, "__qor_eventlog_EventCategory", "%u", record.m_wEventCategory);
    AddNumber(alert, "__qor_eventlog_NumStrings", "%u", record.m_wNumStrings);
    AddNumber(alert, "__qor_eventlog_SidLength", "%u", record.m_dwUserSidLength);
    AddNumber(alert, "__qor_eventlog_DataLength", "%u", record.m_dwDataLength);
    AddNumber(alert, "__qor_eventlog_TimeGeneratedInt", "%u", record.m_dwTimeGenerated);
    alert.AddScriptVariable("__qor_eventlog_TimeGenerated", LocalTimeText(record.m_dwTimeGenerated));
    AddNumber(alert, "__qor_eventlog_TimeWrittenInt", "%u", record.m_dwTimeWritten);
    alert.AddScriptVariable("__qor_eventlog_TimeWritten", LocalTimeText(record.m_dwTimeWritten));
    alert.AddScriptVariable("__qor_eventlog_EventSource", record.m_strSourceName);
    alert.AddScriptVariable("__qor_eventlog_ComputerName", record.m_strComputerName);
    std::string strUser;
    if (record.m_dwUserSidLength != 0) {
        char szName[kFormatBuffer];
        LookupSidAccountName(record.m_pUserSid, record.m_dwUserSidLength, szName, sizeof szName);
        strUser = szName;
    }
    alert.AddScriptVariable("__qor_eventlog_UserSid", strUser);
    for (size_t i = 0; i < record.m_Strings.size(); ++i) {
        char szName[64];
        BoundedSnprintf(szName, sizeof szName, "%s%zu", "__qor_eventlog_String", i);
        alert.AddScriptVariable(szName, record.m_Strings[i]);
    }
    std::string strData;
    strData.reserve(2 * static_cast<size_t>(record.m_dwDataLength));
    static const char kHex[] = "0123456789abcdef";
    for (uint32_t i = 0; i < record.m_dwDataLength; ++i) {
        strData += kHex[record.m_pData[i] >> 4];
        strData += kHex[record.m_pData[i] & 0x0F];
    }
    alert.AddScriptVariable("__qor_eventlog_Data", strData);
}

}  // namespace

bool EventRecordView::Parse(const uint8_t* pRecord, uint32_t dwAvailable) {
    m_Strings.clear();
    m_dwStringsCut = 0;
    m_strSourceName.clear();
    m_strComputerName.clear();
    if (pRecord == nullptr || dwAvailable < Layout::kRecordHeaderSize) {
        return false;
    }
    m_dwLength = Word(pRecord, Layout::kLength);
    if (m_dwLength < Layout::kRecordHeaderSize || m_dwLength > dwAvailable) {
        return false;
    }
    const uint32_t end = m_dwLength;
    m_dwRecordNumber = Word(pRecord, Layout::kRecordNumber);
    m_dwTimeGenerated = Word(pRecord, Layout::kTimeGenerated);
    m_dwTimeWritten = Word(pRecord, Layout::kTimeWritten);
    m_dwEventId = Word(pRecord, Layout::kEventId);
    m_wEventType = Half(pRecord, Layout::kEventType);
    m_wNumStrings = Half(pRecord, Layout::kNumStrings);
    m_wEventCategory = Half(pRecord, Layout::kEventCategory);

    const char* pszText = nullptr;
    uint32_t length = 0;
    if (TextAt(pRecord, Layout::kSourceName, end, pszText, length)) {
        m_strSourceName.assign(pszText, length);
        if (TextAt(pRecord, Layout::kSourceName + length + 1, end, pszText, length)) {
            m_strComputerName.assign(pszText, length);
        }
    }
    const uint32_t sidOffset = Word(pRecord, Layout::kUserSidOffset);
    m_dwUserSidLength = Word(pRecord, Layout::kUserSidLength);
    if (m_dwUserSidLength > end || sidOffset > end - m_dwUserSidLength) {
        m_dwUserSidLength = 0;
    }
    m_pUserSid = m_dwUserSidLength != 0 ? pRecord + sidOffset : nullptr;
    const uint32_t dataOffset = Word(pRecord, Layout::kDataOffset);
    m_dwDataLength = Word(pRecord, Layout::kDataLength);
    if (m_dwDataLength > end || dataOffset > end - m_dwDataLength) {
        m_dwDataLength = 0;
    }
    m_pData = m_dwDataLength != 0 ? pRecord + dataOffset : nullptr;
    uint32_t at = Word(pRecord, Layout::kStringOffset);
    for (uint16_t i = 0; i < m_wNumStrings; ++i) {
        if (!TextAt(pRecord, at, end, pszText, length)) {
            break;
        }
        // Those past the bound are only counted, within the record.
        if (m_Strings.size() < kMaxStrings) {
            m_Strings.push_back(pszText);
        } else {
            ++m_dwStringsCut;
        }
        at += length + 1;
    }
    return true;
}

bool RuleMatchesRecord(const CNTEventRule& rule, const EventRecordView& record,
                       const std::string& strLog, uint32_t dwEventId, ReportLimiter* pTooBigReports) {
    if ((rule.m_nEventId != 0 && static_cast<uint32_t>(rule.m_nEventId) != dwEventId) ||
        (rule.m_nCategory != 0 && rule.m_nCategory != record.m_wEventCategory) ||
        (rule.m_wEventType != 0 && rule.m_wEventType != record.m_wEventType) ||
        (!rule.m_strLogName.empty() && rule.m_strLogName != strLog) ||
        (!rule.m_strSourceName.empty() && !StartsWith(record.m_strSourceName,
                                                     rule.m_strSourceName.c_str()))) {
        return false;
    }
    const bool bExpressions = rule.m_pRegExpList || rule.m_pRegExp;
    if (!rule.GetInfoPairs().empty() || bExpressions || dwEventId == kObjectAccessEventId) {
        if (record.m_wNumStrings > EventRecordView::kMaxMatchStrings) {
            if (pTooBigReports == nullptr) {
                CSF_LOG(kCSFLogError, "pEntry->NumStrings (%d) is too big", record.m_wNumStrings);
            } else if (pTooBigReports->Allow(ReportLimiter::Now())) {
                CSF_LOG(kCSFLogError, "pEntry->NumStrings (%d) is too big%s", record.m_wNumStrings,
                        pTooBigReports->LeftOutNote("such lines").c_str());
            }
        }
    }
    const size_t nUsable = std::min(record.m_Strings.size(), EventRecordView::kMaxMatchStrings);
    if (rule.m_pRegExpList) {
        for (const auto& pExpression : *rule.m_pRegExpList) {
            if (pExpression->GetIndex() >= nUsable) {
                CSF_TRACE(kCSFLogError, "Rule refers to an invalid string index");
                continue;
            }
            if (pExpression->Match(record.m_Strings[pExpression->GetIndex()]) == 0) {
                return false;
            }
        }
    } else if (rule.m_pRegExp) {
        bool bAny = false;
        for (size_t i = 0; i < nUsable && !bAny; ++i) {
            bAny = rule.m_pRegExp->Match(record.m_Strings[i]) != 0;
        }
        if (!bAny) {
            return false;
        }
    }
    if (dwEventId == kObjectAccessEventId) {
        return nUsable > kObjectNameIndex &&
               ObjectNameMatches(rule, record.m_Strings[kObjectNameIndex]);
    }
    return true;
}

EventLogInfo* MakeEventLogAlert(CNTEventRule* pRule, const EventRecordView& record,
                                uint32_t dwEventId) {
    auto* pAlert = new (std::nothrow) EventLogInfo(pRule, record.m_dwTimeGenerated);
    if (pAlert == nullptr) {
        return nullptr;
    }
    pAlert->ClearInfoPairs();
    pAlert->SetAttackOriginText("Local");
    pAlert->m_dwDestinationAddress = GetLocalHostAddress();
    pAlert->m_bDestinationAddressSet = true;
    pAlert->m_dwEventId = dwEventId;
    pAlert->SetSourceName(record.m_strSourceName);
    const size_t nUsable = std::min(record.m_Strings.size(), EventRecordView::kMaxMatchStrings);
    for (const InfoPair& pair : pRule->GetInfoPairs()) {
        pAlert->AddInfoPair(pair.m_strName, PairValue(record, nUsable, pair.m_strValue));
    }
    AddScriptVariables(*pAlert, record);
    return pAlert;
}

int LookupSidAccountName(const uint8_t* pSid, size_t nSidSize, char* pszBuffer, size_t nSize) {
    if (pszBuffer == nullptr || nSize == 0) {
        return 1;
    }
    pszBuffer[0] = '\0';
    uint32_t dwName = 0;
    uint32_t dwDomain = 0;
    if (plat::LookupAccountSid(pSid, nSidSize, nullptr, &dwName, nullptr, &dwDomain, nullptr) !=
        plat::kErrInsufficientBuffer) {
        return 0;
    }
    // Both sizes count their terminator.
    if (dwName >= nSize) {
        return 1;
    }
    std::string strName(dwName, '\0');
    std::string strDomain(dwDomain, '\0');
    if (plat::LookupAccountSid(pSid, nSidSize, strName.data(), &dwName, strDomain.data(), &dwDomain,
                               nullptr) != 0) {
        return 0;
    }
    strName.resize(dwName);
    strDomain.resize(dwDomain);
    if (strName.size() + strDomain.size() + 2 <= nSize) {
        BoundedSnprintf(pszBuffer, nSize, "%s\\%s", strDomain.c_str(), strName.c_str());
    } else {
        BoundedSnprintf(pszBuffer, nSize, "%s", strName.c_str());
    }
    return 0;
}

int LookupSidTextAccountName(const char* pszText, char* pszBuffer, size_t nSize) {
    if (pszText == nullptr || pszBuffer == nullptr || nSize == 0) {
        return 1;
    }
    pszBuffer[0] = '\0';
    constexpr size_t kMaxSubAuthorities = 8;
    std::string strCopy(pszText);
    char* pszSaved = nullptr;
    const char* pszS = ReentrantStrtok(strCopy.data(), "-", &pszSaved);
    const char* pszRevision = ReentrantStrtok(nullptr, "-", &pszSaved);
    const char* pszAuthority = ReentrantStrtok(nullptr, "-", &pszSaved);
    if (pszS == nullptr || pszRevision == nullptr || pszAuthority == nullptr) {
        return 1;
    }
    uint8_t authority[6] = {};
    authority[5] = static_cast<uint8_t>(std::strtoul(pszAuthority, nullptr, 10));
    uint32_t subAuthorities[kMaxSubAuthorities] = {};
    uint8_t count = 0;
    for (const char* pszPiece = ReentrantStrtok(nullptr, "-", &pszSaved); pszPiece != nullptr;
         pszPiece = ReentrantStrtok(nullptr, "-", &pszSaved)) {
        if (count == kMaxSubAuthorities) {
            return 1;
        }
        subAuthorities[count++] = static_cast<uint32_t>(std::strtoul(pszPiece, nullptr, 10));
    }
    plat::Sid sid;
    if (plat::AllocateAndInitializeSid(authority, count, subAuthorities, sid) != 0) {
        return 1;
    }
    return LookupSidAccountName(sid.data(), sid.size(), pszBuffer, nSize);
}
