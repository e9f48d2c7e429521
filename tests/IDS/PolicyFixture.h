#pragma once
// A policy built in code with a stand-in sensor that publishes it and
// deletes the rules read from it, for the network engine's readers and
// configuration.

#include <cstdint>
#include <memory>
#include <string>

#include "Common/FakeSensorCore.h"
#include "Common/RuleContainer.h"
#include "IDS/InitializeIDSRules.h"
#include "hostwarden/IPolicyContainer.h"

class PolicyFixture {
public:
    static constexpr const char kIDSTable[] = "\\Advanced\\Rules\\Nodekeeper Rules";

    PolicyFixture() : m_pPolicy(CreatePluginPolicyContainer()) { m_Sensor.m_pPolicy = m_pPolicy; }
    ~PolicyFixture() {
        m_Sensor.m_pPolicy = nullptr;
        m_pPolicy->Release();
    }
    PolicyFixture(const PolicyFixture&) = delete;
    PolicyFixture& operator=(const PolicyFixture&) = delete;

    void Set(const std::string& strPath, const char* pszName, bool bValue) {
        m_pPolicy->SetBool(strPath.c_str(), pszName, &bValue);
    }
    void Set(const std::string& strPath, const char* pszName, int32_t nValue) {
        m_pPolicy->SetInt(strPath.c_str(), pszName, &nValue);
    }
    void Set(const std::string& strPath, const char* pszName, const char* pszText) {
        m_pPolicy->SetText(strPath.c_str(), pszName, pszText);
    }
    // An enabled rule under the table; answers its key path.
    std::string AddRule(const std::string& strTable, const char* pszName) {
        std::string strPath = strTable + "\\" + pszName;
        Set(strPath, "Enabled", true);
        return strPath;
    }
    // An IDS rule, blocking by the block response `pszChoice` when one is
    // named; with `bDynamic` it blocks its intruders for a while.
    std::string AddIDSRule(const char* pszName, const char* pszChoice, bool bDynamic = false) {
        const std::string strPath = AddRule(kIDSTable, pszName);
        Set(strPath, "DynamicBlock", bDynamic);
        if (pszChoice != nullptr) {
            Set(strPath + "\\Response\\BLOCK", "Enabled", true);
            Set(strPath + "\\Response\\BLOCK", "Choice", pszChoice);
        }
        return strPath;
    }
    // A Bastion rule of the section ("TCP Incoming", ...) for the addresses.
    std::string AddBastion(const char* pszSection, const char* pszName, const char* pszShort,
                           const char* pszAddresses) {
        const std::string strPath = AddRule(std::string("\\Advanced\\Rules\\Bastion\\") + pszSection, pszName);
        Set(strPath, "shrt", pszShort);
        Set(strPath, "Addresses", pszAddresses);
        return strPath;
    }
    // Reads the tables the way the network engine does: IDS rules, user
    // IDS rules, then the four Bastion sections numbered from 1000.
    std::unique_ptr<RuleContainer> ReadAll() {
        auto pRules = std::make_unique<RuleContainer>();
        CInitializeIDSRules ids;
        CInitializeUserIDSRules userIds;
        ids.ReadRules(pRules.get(), m_pPolicy);
        userIds.ReadRules(pRules.get(), m_pPolicy);
        m_Bastion.ResetEventIds();
        for (size_t i = 0; i < std::size(kBastionSections); ++i) {
            m_Bastion.SetSection(i);
            m_Bastion.ReadRules(pRules.get(), m_pPolicy);
        }
        return pRules;
    }

    FakeSensorCore m_Sensor;
    ScopedHostLog m_HostLog;
    IPolicyContainer* m_pPolicy;
    CInitializeBastionRules m_Bastion;
};
