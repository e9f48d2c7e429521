#include "Common/RuleScript.h"

#include <gtest/gtest.h>

#include "FakeSensorCore.h"
#include "TestEngine.h"

TEST(RuleScript, EscapedNewlinesBecomeNewlinesAndAScriptWithoutRuleNameKeepsNoText) {
    std::string text = "a\\nb\\\\n\\ no escapes\\t";
    ReplaceEscapedNewlines(text);
    EXPECT_EQ(text, "a\nb\\\n\\ no escapes\\t");
    RuleScript script("", "proc a {} {}", "set x 1", "return 1");
    EXPECT_EQ(script.GetProcedure(), "");
    EXPECT_EQ(script.GetValidation(), "");
}

namespace {

class RuleScriptHandlerTest : public ::testing::Test {
protected:
    RuleScriptHandlerTest() { m_Sensor.m_pHandler = &m_Handler; }
    FakeSensorCore m_Sensor;
    FakeTclHandler m_Handler;
    TestRule m_Rule;
};

}  // namespace

TEST_F(RuleScriptHandlerTest, RegisterQueuesEachPresentPartInOrder) {
    RuleScript script("Scan", "proc p {} {}", "", "return 1");
    EXPECT_EQ(script.Register(), 0u);
    EXPECT_EQ(m_Handler.m_Scripts, (std::vector<std::string>{"Procedure:proc p {} {}", "Validation:return 1"}));
    EXPECT_EQ(script.RunProcedure(), 1u);
    EXPECT_EQ(script.RunInitial(), 0u);
    EXPECT_EQ(m_Handler.m_Runs, std::vector<std::string>{"Procedure"});
}

TEST_F(RuleScriptHandlerTest, QueuedValidationBindsTheRecordToTheScriptsRule) {
    TestRule other;
    RuleScript none("Scan", "proc p {} {}", "", "");
    none.SetOwningRule(&m_Rule);
    TestRecord kept(&other, 1);
    EXPECT_EQ(none.QueueValidation(&kept), 0u);
    EXPECT_EQ(kept.GetRule(), &other);

    RuleScript script("Scan", "", "", "return 1");
    script.SetOwningRule(&m_Rule);
    EXPECT_EQ(script.QueueValidation(new TestRecord(&other, 1)), 1u);
    ASSERT_EQ(m_Handler.ValidationCount(), 1u);
    EXPECT_EQ(m_Handler.m_Validations[0]->GetRule(), &m_Rule);
}
