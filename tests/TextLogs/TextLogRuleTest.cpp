#include "TextLogs/TextLogRule.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TextLogs/LogLineTemplates.h"
#include "hostwarden/IPolicyContainer.h"
#include "support/ConsoleCapture.h"

TEST(TextLogRule, CopyKeepsAWorkingExpressionAfterTheOriginalIsGone) {
    auto original = std::make_unique<CTextLogRule>();
    original->SetName("Original");
    original->SetExpression("refused", false, false);
    original->AddLogGroup("Web");
    original->AddLogGroup("Web");
    CTextLogRule assigned;
    assigned.SetExpression("other", false, false);
    assigned = *original;
    std::unique_ptr<Rule> clone(original->Clone());
    original.reset();

    EXPECT_TRUE(assigned.IsMatch("connection refused"));
    EXPECT_FALSE(assigned.IsMatch("other"));
    EXPECT_EQ(assigned.GetLogGroups(), (std::vector<std::string>{"Web", "Web"}));
    auto* pClone = dynamic_cast<CTextLogRule*>(clone.get());
    ASSERT_NE(pClone, nullptr);
    EXPECT_EQ(pClone->GetName(), "Original");
    EXPECT_TRUE(pClone->IsMatch("connection refused"));
}

TEST(TextLogRule, SyslogRuleRefusesGroupsButItsCloneIsAPlainTextLogRule) {
    CNTSyslogRule rule;
    {
        hwtest::ConsoleCapture console;
        rule.AddLogGroup("Web");
        EXPECT_EQ(console.Text(), "NtSyslogRule can only belong to default group\n");
    }
    EXPECT_TRUE(rule.GetLogGroups().empty());
    rule.AddDefaultLogGroup();
    EXPECT_EQ(rule.GetLogGroups(), (std::vector<std::string>{kDefaultLogGroupName}));

    std::unique_ptr<Rule> clone(rule.Clone());
    EXPECT_EQ(dynamic_cast<CNTSyslogRule*>(clone.get()), nullptr);
    EXPECT_NE(dynamic_cast<CTextLogRule*>(clone.get()), nullptr);
}

// The demo's rule on SSH log-ins names where each came from: its pattern
// matches the line sshd writes and its origin pair takes the address, not
// a word of its template.
TEST(TextLogRule, DemoSshRuleNamesTheOriginOfTheLogInItMatches) {
    IPolicyContainer* pPolicy = CreatePluginPolicyContainer();
    ASSERT_NE(pPolicy, nullptr);
    const std::string strDemo = std::string(HW_SOURCE_DIR) + "/examples/demo/Default.policy";
    ASSERT_EQ(pPolicy->LoadFile(strDemo.c_str(), "", "", false), 0);
    const std::string strRule = "\\Advanced\\Rules\\SysLog Rules\\SSH password guessing";
    const std::string strPattern = pPolicy->GetText(strRule.c_str(), "Regular Expression", "");
    const std::string strOrigin =
        pPolicy->GetText((strRule + "\\Info").c_str(), "AttackOrigin", "");
    pPolicy->Release();

    CTextLogRule rule;
    ASSERT_TRUE(rule.SetExpression(strPattern.c_str(), false, false));
    const std::string strLine =
        "Dec  7 00:37:12 web1 sshd[42]: Failed password for invalid user mallory from "
        "203.0.113.5 port 52144 ssh2";
    EXPECT_TRUE(rule.IsMatch(strLine.c_str()));
    std::string strValue;
    EXPECT_TRUE(ResolveLineTemplate(strOrigin, strLine, strValue));
    EXPECT_EQ(strValue, "203.0.113.5");
}
