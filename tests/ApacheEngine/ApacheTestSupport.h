#pragma once
// The web-server engine under test: an IDS configuration handed out by a
// class factory of the test's own, and an engine that keeps what it
// reports instead of sending it on.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ApacheEngine/CEngineApache.h"
#include "Common/AgentEventInfo.h"
#include "IDS/IDSConfig.h"
#include "IDS/IDSRule.h"
#include "hostwarden/ICSFClassFactory.h"
#include "qorCSFLib/FakeHost.h"

namespace apachetest {

class ConfigFactory : public ICSFClassFactory {
public:
    explicit ConfigFactory(IIDSConfig* pConfig) : m_pConfig(pConfig) {}
    CSFResult CreateInstance(const CSFIdentifier& iid, void** ppObject) override {
        if (!(iid == CLSID_IDSConfig))
            return CSF_E_NO_INTERFACE;
        *ppObject = m_pConfig;
        return 0;
    }
    uint32_t Release() override { return 0; }

private:
    IIDSConfig* m_pConfig;
};

// Keeps what the engine reports instead of sending it on.
class RecordingEngine : public CEngineApache {
public:
    using CEngineApache::CEngineApache;
    uint8_t ExecuteResponses(AgentEventInfo* pRecord) override {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Records.emplace_back(pRecord);
        return 0;
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_Records.size();
    }
    std::string Pair(size_t index, const char* pszName) {
        std::lock_guard<std::mutex> guard(m_Lock);
        std::string strValue;
        m_Records.at(index)->GetInfoPairValue(pszName, strValue);
        return strValue;
    }
    std::vector<std::unique_ptr<AgentEventInfo>> m_Records;
    std::mutex m_Lock;
};

inline CIDSRule* MakeRule(const char* pszName, uint32_t dwKind, int32_t nTid, bool bEnabled) {
    auto* pRule = new CIDSRule;
    pRule->SetName(pszName);
    pRule->m_dwRuleKind = dwKind;
    pRule->m_nTID = nTid;
    if (bEnabled)
        pRule->Enable();
    return pRule;
}

// An engine over enabled signature rules "Web_Probe" (no TID) and
// "Web_Shell" (TID 1234), the disabled signature "Web_Off" (77) and the
// firewall rule "Fw_Rule" (78), with the host's log kept.
struct EngineWithRules {
    EngineWithRules() {
        for (CIDSRule* pRule : {MakeRule("Web_Probe", kIDSRuleSignature, -1, true),
                                MakeRule("Web_Shell", kIDSRuleSignature, 1234, true),
                                MakeRule("Web_Off", kIDSRuleSignature, 77, false),
                                MakeRule("Fw_Rule", kIDSRuleBastion, 78, true)}) {
            m_Owned.emplace_back(pRule);
            m_Rules.Add(pRule);
        }
        m_Config.Configure(&m_Rules);
    }

    ScopedHostLog m_Log;
    std::vector<std::unique_ptr<CIDSRule>> m_Owned;
    RuleContainer m_Rules;
    CIDSConfig m_Config;
    ConfigFactory m_Factory{&m_Config};
    RecordingEngine m_Engine{&m_Factory};
};

}  // namespace apachetest
