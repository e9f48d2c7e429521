#include "IDS/InitializeIDSRules.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "Common/AlertTypes.h"
#include "Common/PolicyKeyAudit.h"
#include "IDS/Firewall/FireConf.h"
#include "IDS/IDSRule.h"
#include "IDS/PolicyValues.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFLog.h"

const BastionSection kBastionSections[4] = {
    {"\\Advanced\\Rules\\Bastion\\IP Incoming", "IP Incoming_", 1},
    {"\\Advanced\\Rules\\Bastion\\TCP Incoming", "TCP Incoming_", 3},
    {"\\Advanced\\Rules\\Bastion\\UDP Incoming", "UDP Incoming_", 5},
    {"\\Advanced\\Rules\\Bastion\\ICMP Incoming", "ICMP Incoming_", 7},
};

namespace {

std::string ReadRuleText(IPolicyContainer* pPolicy, const std::string& strPath, const char* pszName,
                         const char* pszDefault) {
    const char* pszText = pPolicy->GetText(strPath.c_str(), pszName, pszDefault);
    return pszText != nullptr ? std::string(pszText) : std::string(pszDefault);
}

int32_t ReadRuleInt(IPolicyContainer* pPolicy, const std::string& strPath, const char* pszName,
                    int32_t nDefault) {
    return pPolicy->GetInt(strPath.c_str(), pszName, &nDefault);
}

bool ReadRuleBool(IPolicyContainer* pPolicy, const std::string& strPath, const char* pszName) {
    const bool bDefault = false;
    return pPolicy->GetBool(strPath.c_str(), pszName, &bDefault);
}

uint32_t NonNegative(int32_t nValue, const std::string& strRulePath, const char* pszName) {
    if (nValue >= 0) {
        return static_cast<uint32_t>(nValue);
    }
    CSF_LOG(kCSFLogError, "Rule %s: %s %d refused, 0 used\n", strRulePath.c_str(), pszName, nValue);
    return 0;
}

const char* AlertTypeOfProtocol(uint32_t dwProtocolType) {
    switch (dwProtocolType) {
        case 3:
            return g_szSuspiciousTCP;
        case 5:
            return g_szSuspiciousUDP;
        case 7:
            return g_szSuspiciousICMP;
        default:
            return g_szSuspiciousNetworkActivity;
    }
}

// A decimal TID; false for any other text.
bool ParseTID(const std::string& strText, int32_t& nTID) {
    if (strText.empty()) {
        return false;
    }
    errno = 0;
    char* pEnd = nullptr;
    const long nValue = std::strtol(strText.c_str(), &pEnd, 10);
    if (errno != 0 || *pEnd != '\0' || nValue < INT32_MIN || nValue > INT32_MAX) {
        return false;
    }
    nTID = static_cast<int32_t>(nValue);
    return true;
}

void ReadTValues(CIDSRule* pRule, IPolicyContainer* pPolicy, const std::string& strRulePath) {
    for (auto& [strName, strValue] : ListPolicyValues(pPolicy, strRulePath.c_str())) {
        if (strName == "TValue" && !strValue.empty()) {
            pRule->m_TValues.push_back(std::move(strValue));
        }
    }
}

// A Bastion rule whose addresses say something other than its author
// meant is still read as written, but never without a word: without any,
// a refusing rule refuses nothing and an allowing rule lets nothing in.
void WarnAboutAddresses(const CIDSRule& rule, const std::string& strRulePath) {
    const AddressListCheck check = CheckAddressList(rule.m_strAddresses);
    const std::string strRule = "Rule " + strRulePath;
    if (check.m_nPieces == 0) {
        PolicyKeyAudit::Say(
            kCSFLogWarning,
            strRule + " has no \"Addresses\": " +
                (rule.m_wAllow == 0
                     ? std::string("it names no remote address, so it refuses and reports nothing")
                     : std::string("it lets no remote address through, so it ") +
                           (rule.m_wReportOnly != 0 ? "reports" : "refuses and reports") +
                           " all the traffic it covers"));
        return;
    }
    for (const std::string& strNote : {check.UnparsedNote("remote address"), check.IgnoredNote()}) {
        if (!strNote.empty()) {
            PolicyKeyAudit::Say(kCSFLogWarning, strRule + ": " + strNote);
        }
    }
}

}  // namespace

void ReadIDSFilterSettings(CIDSRule* pRule, IPolicyContainer* pPolicy, const std::string& strRulePath) {
    CIDSRule::FilterSettings& f = pRule->m_Filter;
    auto read = [&](const char* pszName, int32_t nDefault) {
        return NonNegative(ReadRuleInt(pPolicy, strRulePath, pszName, nDefault), strRulePath,
                           pszName);
    };
    f.UseEngineDefault = read("UseEngineDefault", 1);
    f.UseSourceAddress = read("UseSourceAddress", 0);
    f.UseDestAddress = read("UseDestAddress", 0);
    f.UseSourcePort = read("UseSourcePort", 0);
    f.UseDestPort = read("UseDestPort", 0);
    f.FloodProtection = read("FloodProtection", 0);
    f.IgnoreInterval = read("IgnoreInterval", 0);
    f.NoiseThreshold = read("NoiseThreshold", 0);
    f.OwnFilter = (f.UseEngineDefault == 0 || f.IgnoreInterval != 0 || f.NoiseThreshold != 0) ? 1 : 0;
}

CInitializeIDSRules::~CInitializeIDSRules() = default;

Rule* CInitializeIDSRules::CreateRule() {
    return new (std::nothrow) CIDSRule;
}

bool CInitializeIDSRules::ReadRule(Rule* pBase, IPolicyContainer* pPolicy, const char* pszSection,
                                   const char* pszSubKey) {
    auto* pRule = dynamic_cast<CIDSRule*>(pBase);
    if (pRule == nullptr || pPolicy == nullptr || pszSection == nullptr || pszSubKey == nullptr) {
        return false;
    }
    const std::string strRulePath = std::string(pszSection) + "\\" + pszSubKey;
    pRule->m_strPolicyPath = strRulePath;
    pRule->m_strShortName.clear();
    pRule->m_dwRuleKind = kIDSRuleSignature;
    pRule->m_dwEventId = 0;
    std::fill(std::begin(pRule->m_dwParameters), std::end(pRule->m_dwParameters), 0u);
    pRule->m_dwParameters[0] = ReadRuleBool(pPolicy, strRulePath, "DynamicBlock") ? 1 : 0;
    if (pRule->GetAlertType() > 200) {
        pRule->SetAlertType(g_szSuspiciousNetworkActivity);
    }
    pRule->m_nTID = -1;
    if (std::string(pszSection) == kUserIDSRulesSection) {
        const std::string strTID = ReadRuleText(pPolicy, strRulePath, "TID", "-1");
        if (strTID == "-1") {
            return true;
        }
        int32_t nTID = -1;
        if (!ParseTID(strTID, nTID)) {
            CSF_LOG(kCSFLogError, "Rule %s: TID [%s] is not a number\n", strRulePath.c_str(),
                    strTID.c_str());
            return true;
        }
        pRule->m_nTID = nTID;
        if (nTID <= 0) {
            return true;
        }
        ReadTValues(pRule, pPolicy, strRulePath);
    }
    ReadIDSFilterSettings(pRule, pPolicy, strRulePath);
    return true;
}

CInitializeUserIDSRules::~CInitializeUserIDSRules() = default;

CInitializeBastionRules::~CInitializeBastionRules() = default;

Rule* CInitializeBastionRules::CreateRule() {
    return new (std::nothrow) CIDSRule;
}

void CInitializeBastionRules::SetSection(size_t nIndex) {
    if (nIndex < std::size(kBastionSections)) {
        m_pSection = &kBastionSections[nIndex];
    }
}

bool CInitializeBastionRules::ReadRule(Rule* pBase, IPolicyContainer* pPolicy,
                                       const char* pszSection, const char* pszSubKey) {
    auto* pRule = dynamic_cast<CIDSRule*>(pBase);
    if (pRule == nullptr || pPolicy == nullptr || pszSection == nullptr || pszSubKey == nullptr) {
        return false;
    }
    const std::string strRulePath = std::string(pszSection) + "\\" + pszSubKey;
    pRule->m_strPolicyPath = strRulePath;
    pRule->m_strShortName = ReadRuleText(pPolicy, strRulePath, "shrt", "");
    if (pRule->m_strShortName.empty()) {
        PolicyKeyAudit::Say(kCSFLogWarning,
                            "Rule " + strRulePath + " has no \"shrt\": it is left out");
        return false;
    }
    pRule->SetName(std::string(m_pSection->pszPrefix) + pszSubKey);
    CSF_TRACE(kCSFLogInfo, "Reading bastion rule, %s of type %d id %d shrt [%s]",
              pRule->GetName().c_str(), m_pSection->dwProtocolType, m_dwNextEventId,
              pRule->m_strShortName.c_str());
    pRule->m_dwRuleKind = kIDSRuleBastion;
    pRule->m_dwProtocolType = m_pSection->dwProtocolType;
    pRule->SetAlertType(AlertTypeOfProtocol(m_pSection->dwProtocolType));
    pRule->SetOrigin(kRuleOriginUserDefined);
    const int32_t nPort = ReadRuleInt(pPolicy, strRulePath, "Port", 65535);
    if (nPort < 0 || nPort > 65535) {
        CSF_LOG(kCSFLogError, "Bastion rule %s: Port %d out of range, rule dropped\n",
                pRule->GetName().c_str(), nPort);
        return false;
    }
    pRule->m_wPort = static_cast<uint16_t>(nPort);
    pRule->m_wAllow = ReadRuleBool(pPolicy, strRulePath, "Allow") ? 1 : 0;
    pRule->m_wReportOnly = ReadRuleBool(pPolicy, strRulePath, "Report Only") ? 1 : 0;
    pRule->m_strAddresses = ReadRuleText(pPolicy, strRulePath, "Addresses", "");
    if (m_dwNextEventId >= kEventIdLimit) {
        CSF_LOG(kCSFLogError, "Too many bastion rules defined\n");
        return false;
    }
    WarnAboutAddresses(*pRule, strRulePath);
    pRule->m_dwEventId = m_dwNextEventId++;
    ReadIDSFilterSettings(pRule, pPolicy, strRulePath);
    return true;
}
