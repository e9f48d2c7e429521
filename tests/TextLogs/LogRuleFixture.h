#pragma once
// A policy built in code, a stand-in sensor that deletes the rules read
// from it, and capture of the host log and standard error, for the tests of
// the "SysLog Rules" readers.

#include <memory>
#include <string>
#include <vector>

#include "Common/FakeSensorCore.h"
#include "Common/InitializeRules.h"
#include "Common/RuleContainer.h"
#include "hostwarden/IPolicyContainer.h"
#include "support/ConsoleCapture.h"

class LogRuleFixture {
public:
    static constexpr const char kTable[] = "\\Advanced\\Rules\\SysLog Rules";
    static constexpr const char kUserTable[] = "\\Advanced\\userdefinedsignatures\\SysLog Rules";

    LogRuleFixture() : m_pPolicy(CreatePluginPolicyContainer()) {}
    ~LogRuleFixture() { m_pPolicy->Release(); }
    LogRuleFixture(const LogRuleFixture&) = delete;
    LogRuleFixture& operator=(const LogRuleFixture&) = delete;

    void Set(const std::string& strPath, const char* pszName, bool bValue) {
        m_pPolicy->SetBool(strPath.c_str(), pszName, &bValue);
    }
    void Set(const std::string& strPath, const char* pszName, const char* pszText) {
        m_pPolicy->SetText(strPath.c_str(), pszName, pszText);
    }
    // An enabled rule with the given "Log Type" and "Logs" (null: absent).
    std::string AddRule(const char* pszName, const char* pszLogType, const char* pszLogs,
                        const std::string& strTable = kTable) {
        std::string strPath = strTable + "\\" + pszName;
        Set(strPath, "Enabled", true);
        if (pszLogType != nullptr) {
            Set(strPath, "Log Type", pszLogType);
        }
        if (pszLogs != nullptr) {
            Set(strPath, "Logs", pszLogs);
        }
        return strPath;
    }
    // Reads with a fresh container; the sensor stand-in keeps the rules.
    std::unique_ptr<RuleContainer> Read(InitializeRules& reader) {
        auto pRules = std::make_unique<RuleContainer>();
        reader.ReadRules(pRules.get(), m_pPolicy);
        return pRules;
    }

    // What the readers said of information-pair templates, in order.
    std::vector<std::string> TemplateFindings() {
        std::vector<std::string> findings;
        for (const std::string& strLine : m_HostLog.m_Services.Texts()) {
            if (strLine.find(": information pair \"") != std::string::npos) {
                findings.push_back(strLine);
            }
        }
        return findings;
    }

    FakeSensorCore m_Sensor;
    ScopedHostLog m_HostLog;
    IPolicyContainer* m_pPolicy;
    hwtest::ConsoleCapture m_Console;
};
