#include "TextLogs/TextLogRule.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

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
