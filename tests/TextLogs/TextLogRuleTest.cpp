#include "TextLogs/TextLogRule.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/Console.h"

namespace {

std::string CaptureConsole(const std::function<void()>& action) {
    std::string text;
    plat::ConsoleSink previous = plat::SetConsoleSink([&](std::string_view line) { text += line; });
    action();
    plat::SetConsoleSink(std::move(previous));
    return text;
}

}  // namespace

TEST(TextLogRule, PatternThatDoesNotCompileMatchesNothingEvenWithExcept) {
    CTextLogRule rule;
    CaptureConsole([&] { EXPECT_FALSE(rule.SetExpression("(fail", false, true)); });
    EXPECT_FALSE(rule.IsMatch("login failed"));
    EXPECT_FALSE(rule.IsMatch("login ok"));
    // A later good pattern replaces it.
    EXPECT_TRUE(rule.SetExpression("ok", false, false));
    EXPECT_TRUE(rule.IsMatch("login ok"));
}

TEST(TextLogRule, CapitalPatternWithIgnoreCaseAndExceptMatchesLinesWithoutTheWord) {
    CTextLogRule rule;
    ASSERT_TRUE(rule.SetExpression("FAILED", true, false));
    EXPECT_TRUE(rule.IsMatch("su: authentication failed"));
    ASSERT_TRUE(rule.SetExpression("FAILED", true, true));
    EXPECT_FALSE(rule.IsMatch("su: authentication failed"));
    EXPECT_TRUE(rule.IsMatch("su: session opened"));
}

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
    std::string console = CaptureConsole([&] { rule.AddLogGroup("Web"); });
    EXPECT_EQ(console, "NtSyslogRule can only belong to default group\n");
    EXPECT_TRUE(rule.GetLogGroups().empty());
    rule.AddDefaultLogGroup();
    EXPECT_EQ(rule.GetLogGroups(), (std::vector<std::string>{kDefaultLogGroupName}));

    std::unique_ptr<Rule> clone(rule.Clone());
    EXPECT_EQ(dynamic_cast<CNTSyslogRule*>(clone.get()), nullptr);
    EXPECT_NE(dynamic_cast<CTextLogRule*>(clone.get()), nullptr);
}
