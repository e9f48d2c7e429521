// What a new policy drops against the one in force is said: a rules table
// that held rules and holds none (gone, or emptied), and an engine that
// took rules and takes none.

#include "Plugin/RuleLossCheck.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/FakeHost.h"

namespace {

class RuleLossCheckTest : public ::testing::Test {
protected:
    ~RuleLossCheckTest() override {
        m_pInForce->Release();
        m_pLoaded->Release();
    }
    static void AddKey(IPolicyContainer* pPolicy, const std::string& strPath) {
        const bool bOn = true;
        pPolicy->SetBool(strPath.c_str(), "Enabled", &bOn);
    }
    size_t Warnings() { return m_HostLog.m_Services.Texts().size(); }

    ScopedHostLog m_HostLog;
    IPolicyContainer* m_pInForce = CreatePluginPolicyContainer();
    IPolicyContainer* m_pLoaded = CreatePluginPolicyContainer();
};

}  // namespace

TEST_F(RuleLossCheckTest, TablesAndEnginesLeftWithoutRulesAreWarnedAbout) {
    for (IPolicyContainer* pPolicy : {m_pInForce, m_pLoaded}) {
        AddKey(pPolicy, "\\Advanced\\Rules\\SysLog Rules\\Info");
        AddKey(pPolicy, "\\Advanced\\Rules\\Bastion\\TCP Incoming\\No telnet");
        AddKey(pPolicy, "\\Advanced\\Rules\\Nodekeeper Rules\\Land_Attack");
    }
    AddKey(m_pInForce, "\\Advanced\\Rules\\SysLog Rules\\Failed su");
    AddKey(m_pInForce, "\\Advanced\\Rules\\SysLog Rules\\Failed log-in");
    AddKey(m_pInForce, "\\Advanced\\Rules\\Bastion\\UDP Incoming\\No tftp");
    AddKey(m_pInForce, "\\Advanced\\userdefinedsignatures\\Suspicious Port Rules\\Remote desktop");
    AddKey(m_pLoaded, "\\Advanced\\Rules\\Suspicious Port Rules\\Telnet");

    WarnAboutLostRules(m_pInForce, m_pLoaded,
                       {{"Decoy Engine", 3}, {"WebPlugin", 0}, {"NT Syslog", 2}},
                       {{"Decoy Engine", 0}, {"WebPlugin", 0}, {"NT Syslog", 1}});
    const std::vector<std::string> expected = {
        "The new policy has no rules in \"\\Advanced\\Rules\\SysLog Rules\", where the policy it "
        "replaces has 2 rules: they are dropped (is the file whole?)",
        "The new policy has no rules in \"\\Advanced\\Rules\\Bastion\\UDP Incoming\", where the "
        "policy it replaces has 1 rule: it is dropped (is the file whole?)",
        "The new policy has no rules in \"\\Advanced\\userdefinedsignatures\\Suspicious Port "
        "Rules\", where the policy it replaces has 1 rule: it is dropped (is the file whole?)",
        "Decoy Engine takes no rule of the new policy, where it took 3 rules: it detects nothing "
        "until a policy gives it rules"};
    for (const std::string& strWarning : expected) {
        EXPECT_TRUE(m_HostLog.Contains(strWarning)) << strWarning;
    }
    EXPECT_EQ(expected.size(), Warnings());

    // Nothing is lost at a start-up, which replaces no policy.
    WarnAboutLostRules(nullptr, m_pLoaded, {}, {});
    EXPECT_EQ(expected.size(), Warnings());
}
