#include "Common/UserTagSet.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "Common/AgentEventInfo.h"
#include "Common/CADFEvent.h"
#include "Common/Rule.h"
#include "platform/Clock.h"
#include "platform/TimeZone.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/ReportLimiter.h"
#include "qorToolsLib/SafeText.h"

namespace {

enum : uint32_t {
    kAlertNameTag = 1,
    kAlertNameTypeTag = 2,
    kAlertTypeTag = 3,
    kAlertPriorityTag = 4,
    kAttackSuccessfulTag = 6,
    kDestinationPortTag = 9,
    kSourcePortTag = 13,
    kSensorNameTag = 16,
    kSensorAddressTag = 17,
    kAlertDateTimeTag = 18,
    kLocalTimezoneOffsetTag = 19,
};

const char* const kTagNames[UserTagSet::kTagCount] = {
    "UnknownTag",
    "USER_AlertName",
    "USER_AlertNameType",
    "USER_AlertType",
    "USER_AlertPriority",
    "USER_AttackOrigin",
    "USER_AttackSuccessful",
    "USER_DestinationAddress",
    "USER_DestinationEthernetAddress",
    "USER_DestinationPort",
    "USER_DestinationPortName",
    "USER_SourceAddress",
    "USER_SourceEthernetAddress",
    "USER_SourcePort",
    "USER_SourcePortName",
    "USER_UserName",
    "USER_SensorName",
    "USER_SensorAddress",
    "USER_AlertDateTime",
    "USER_LocalTimezoneOffset",
    "USER_algorithm-id",
    "USER_SensorGUID",
};

constexpr char kReplaceAlertName[] = "USER_ReplaceAlertName";
constexpr uint32_t kSensorAttributeSection = 1;
constexpr size_t kUserPrefixLength = 5;

int32_t Number(const std::string& strValue) {
    return AgentEventInfo::ReadInteger(strValue, 10);
}

uint32_t FindTag(const std::string& strName) {
    // Every tag begins so: most pairs of a record are told apart at once.
    if (strName.compare(0, kUserPrefixLength, kTagNames[1], kUserPrefixLength) != 0) {
        return 0;
    }
    for (uint32_t dwIndex = 1; dwIndex < UserTagSet::kTagCount; ++dwIndex) {
        if (strName == kTagNames[dwIndex]) {
            return dwIndex;
        }
    }
    return 0;
}

// The bias (minutes west of UTC) in force at the local time `llLocal`
// (calendar fields read as if they were UTC).  Asked at the instant the
// local time stands for, which one pass of correction finds.
int32_t LocalBiasMinutes(int64_t llLocal) {
    const int32_t nFirst = plat::GetTimeZoneInfoAt(llLocal).ActiveBias();
    return plat::GetTimeZoneInfoAt(llLocal + int64_t{nFirst} * 60).ActiveBias();
}

// A tag's value often comes from the input (a field of a log line), which
// then decides how many values are refused: so many are logged a minute,
// for every conversion thread together.
std::mutex g_RefusalLock;
ReportLimiter g_RefusalReports{std::chrono::minutes(1), UserTagSet::kRefusalReportsPerMinute};

void ReportRefusal(const std::string& strRuleName, const char* pszTag, const std::string& strValue) {
    std::lock_guard<std::mutex> guard(g_RefusalLock);
    if (g_RefusalReports.Allow(ReportLimiter::Now())) {
        // Shown whole, a NUL as \x00: formatted as a C string it would end
        // the value there.
        CSF_LOG(kCSFLogError, "%s: Invalid value for \"%s\" (%s)%s", strRuleName.c_str(), pszTag,
                PrintableText(strValue).c_str(),
                g_RefusalReports.LeftOutNote("refused values").c_str());
    }
}

}  // namespace

const char* UserTagSet::TagName(uint32_t dwIndex) {
    return dwIndex < kTagCount ? kTagNames[dwIndex] : nullptr;
}

UserTagSet::UserTagSet(AgentEventInfo* pRecord) {
    if (pRecord == nullptr) {
        return;
    }
    InfoPairList& pairs = pRecord->GetInfoPairs();
    for (auto it = pairs.begin(); it != pairs.end();) {
        const uint32_t dwIndex = FindTag(it->m_strName);
        if (dwIndex != 0) {
            m_bFound = true;
            m_strValues[dwIndex] = it->m_strValue;
        } else if (it->m_strName == kReplaceAlertName) {
            m_bReplaceName = Number(it->m_strValue) != 0;
        } else {
            ++it;
            continue;
        }
        it = pairs.erase(it);
    }
    std::string& strName = m_strValues[kAlertNameTag];
    if (!strName.empty() && !m_bReplaceName) {
        const Rule* pRule = pRecord->GetRule();
        strName = (pRule != nullptr ? pRule->GetName() : std::string()) + " - " + strName;
    }
}

uint64_t UserTagSet::ConvertDate(const std::string& strText, int32_t nOffset) {
    unsigned fields[6] = {0, 0, 0, 0, 0, 0};
    std::sscanf(strText.c_str(), "%u-%u-%u %u:%u:%u", &fields[0], &fields[1], &fields[2], &fields[3],
                &fields[4], &fields[5]);
    if (fields[0] < 1970 || fields[0] > 30827) {
        return kInvalidDate;
    }
    plat::CalendarTime time;
    int* const targets[] = {&time.m_iYear, &time.m_iMonth, &time.m_iDay,
                            &time.m_iHour, &time.m_iMinute, &time.m_iSecond};
    for (size_t i = 0; i < 6; ++i) {
        if (fields[i] > static_cast<unsigned>(INT_MAX)) {
            return kInvalidDate;
        }
        *targets[i] = static_cast<int>(fields[i]);
    }
    int64_t llSeconds = 0;
    if (!plat::CalendarToSeconds(time, llSeconds)) {
        return kInvalidDate;
    }
    const int64_t llOffset = nOffset == -1 ? int64_t{LocalBiasMinutes(llSeconds)} * 60 : nOffset;
    const int64_t llResult = llSeconds + llOffset;
    return llResult < 0 ? kInvalidDate : static_cast<uint64_t>(llResult);
}

bool UserTagSet::Apply(CADFEvent& event) {
    if (!m_bFound) {
        return true;
    }
    const AgentEventInfo* pRecord = event.GetAlertRecord();
    const std::string strRuleName = pRecord != nullptr ? pRecord->GetRuleName() : std::string();
    const std::string& strOffset = m_strValues[kLocalTimezoneOffsetTag];
    const int32_t nOffset = strOffset.empty() ? -1 : Number(strOffset);
    if (!m_strValues[kAlertNameTag].empty() && m_strValues[kAlertPriorityTag].empty()) {
        const uint32_t dwPriority =
            pRecord != nullptr ? pRecord->m_wPriorityOverride : AgentEventInfo::kNoPriorityOverride;
        if (dwPriority >= 1 && dwPriority <= 3) {
            CSF_TRACE(kCSFLogInfo, "DEBUG: overriding priority for %s: setting to %u", strRuleName.c_str(),
                      dwPriority);
            event.SetHeaderValue(kAlertPriority, AlertValue::Uint32(dwPriority));
        } else {
            CSF_TRACE(kCSFLogInfo, "DEBUG: NOT OVERRIDING PRIORITY for %s: value is %u",
                      strRuleName.c_str(), dwPriority);
        }
    }
    bool bResult = true;
    for (uint32_t dwIndex = 1; dwIndex < kTagCount; ++dwIndex) {
        const std::string& strValue = m_strValues[dwIndex];
        if (strValue.empty()) {
            continue;
        }
        const int32_t nNumber = Number(strValue);
        StatusCode status = QOR_S_OK;
        switch (dwIndex) {
            case kAlertNameTag:
                status = event.SetHeaderValue(kAlertName, AlertValue::String(strValue));
                break;
            case kAlertNameTypeTag:
                status = event.SetHeaderValue(
                    kAlertNameType, AlertValue::Uint8(static_cast<uint32_t>(nNumber) > 5 ? 0 : static_cast<uint8_t>(nNumber)));
                break;
            case kAlertTypeTag:
                status = event.SetHeaderValue(kAlertType, AlertValue::Uint32(static_cast<uint32_t>(nNumber)));
                break;
            case kAlertPriorityTag:
                status = event.SetHeaderValue(kAlertPriority, AlertValue::Uint32(static_cast<uint32_t>(nNumber)));
                break;
            case kAttackSuccessfulTag:
                status = event.Add("AttackSuccessful", AlertValue::Uint8(static_cast<uint8_t>(nNumber)),
                                   kSensorAttributeSection);
                break;
            case kDestinationPortTag:
            case kSourcePortTag:
                status = event.Add(dwIndex == kSourcePortTag ? "SourcePort" : "DestinationPort",
                                   AlertValue::Uint32(static_cast<uint32_t>(nNumber)), kSensorAttributeSection);
                break;
            case kSensorNameTag:
                status = event.SetHeaderValue(kSensorName, AlertValue::String(strValue));
                break;
            case kSensorAddressTag:
                status = event.SetHeaderValue(kSensorAddress, AlertValue::String(strValue));
                break;
            case kAlertDateTimeTag: {
                const uint64_t qwDate = ConvertDate(strValue, nOffset);
                status = (qwDate & 0xFFFFFFFFu) == 0xFFFFFFFFu
                             ? static_cast<StatusCode>(-1)
                             : event.SetHeaderValue(kAlertDateTime, AlertValue::Date(static_cast<int64_t>(qwDate)));
                break;
            }
            case kLocalTimezoneOffsetTag:
                status = event.SetHeaderValue(kLocalTimezoneOffset, AlertValue::Integer(nNumber));
                CSF_TRACE(kCSFLogError, "New LocalTimezoneOffset=%d", nNumber);
                break;
            default:
                status = event.Add(kTagNames[dwIndex] + kUserPrefixLength, AlertValue::String(strValue),
                                   kSensorAttributeSection);
                break;
        }
        if (status != QOR_S_OK) {
            ReportRefusal(strRuleName, kTagNames[dwIndex], strValue);
            bResult = false;
        }
    }
    return bResult;
}
