#include "NTSyslog/InitializeNTSyslogRules.h"

#include <new>
#include <string>

#include "NTSyslog/NTSyslogListeningThread.h"
#include "TextLogs/TextLogRule.h"

CInitializeNTSyslogRules::~CInitializeNTSyslogRules() = default;
CInitializeUserNTSyslogRules::~CInitializeUserNTSyslogRules() = default;

Rule* CInitializeNTSyslogRules::CreateRule() {
    return new (std::nothrow) CNTSyslogRule;
}

// As CEngineNTSyslog::ResolvePair reads them, over a whole datagram.
const InfoTemplateMarkers* CInitializeNTSyslogRules::GetTemplateMarkers() const {
    static const InfoTemplateMarkers s_Markers =
        LineMarkers("a syslog rule", NTSyslogListeningThread::kReceiveBufferSize - 1,
                    ": a message has at most ", "@Remote");
    return &s_Markers;
}

bool CInitializeNTSyslogRules::ReadRule(Rule* pRule, IPolicyContainer* pPolicy,
                                        const char* pszSection, const char* pszSubKey) {
    auto* pSyslogRule = dynamic_cast<CNTSyslogRule*>(pRule);
    if (pSyslogRule == nullptr || pPolicy == nullptr || pszSection == nullptr ||
        pszSubKey == nullptr) {
        return false;
    }
    const std::string strRulePath = std::string(pszSection) + "\\" + pszSubKey;
    if (!ReadLogType(pPolicy, strRulePath, false)) {
        return false;
    }
    // A rule that names groups is the text-log engine's unless the default
    // group is among them.
    const std::string strLogs = ReadLogs(pPolicy, strRulePath);
    if (!strLogs.empty() && strLogs != kNoLogsDefined &&
        strLogs.find(kDefaultLogGroupName) == std::string::npos) {
        return false;
    }
    if (!ReadExpression(pSyslogRule, pPolicy, strRulePath)) {
        ReportMatchingAll(strRulePath, "message");
    }
    SetRuleInfoPair(pSyslogRule, "Log Type", "Syslog");
    ReadInfoPairs(pPolicy, pszSection, pSyslogRule);
    ReadInfoPairs(pPolicy, strRulePath.c_str(), pSyslogRule);
    return true;
}
