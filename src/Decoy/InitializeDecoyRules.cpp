#include "Decoy/InitializeDecoyRules.h"

#include <new>
#include <string>

#include "Common/AlertTypes.h"
#include "Decoy/CDecoyRule.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFLog.h"

namespace {

constexpr int32_t kNoPort = -1;
constexpr int32_t kHighestPort = 65535;

}  // namespace

CInitializeDecoyRules::~CInitializeDecoyRules() = default;
CInitializeUserDecoyRules::~CInitializeUserDecoyRules() = default;

Rule* CInitializeDecoyRules::CreateRule() {
    return new (std::nothrow) CDecoyRule;
}

bool CInitializeDecoyRules::ReadRule(Rule* pRule, IPolicyContainer* pPolicy,
                                     const char* pszSection, const char* pszSubKey) {
    const char* pszName = pszSubKey != nullptr ? pszSubKey : "";
    CSF_TRACE(kCSFLogInfo, "reading rule: %s", pszName);
    auto* pDecoyRule = dynamic_cast<CDecoyRule*>(pRule);
    if (pDecoyRule == nullptr || pPolicy == nullptr || pszSection == nullptr) {
        return false;
    }
    pDecoyRule->SetAlertType(g_szSuspectPortConnection);
    const std::string strRulePath = std::string(pszSection) + "\\" + pszName;
    const int32_t nDefault = kNoPort;
    const int32_t nPort = pPolicy->GetInt(strRulePath.c_str(), "Port", &nDefault);
    if (nPort == kNoPort) {
        CSF_LOG(kCSFLogError, "no port number defined for rule %s", pszName);
        return false;
    }
    if (nPort < 1 || nPort > kHighestPort) {
        CSF_LOG(kCSFLogError, "invalid port number (%d) defined for rule %s", nPort, pszName);
        return false;
    }
    pDecoyRule->SetPort(static_cast<uint16_t>(nPort));
    return true;
}
