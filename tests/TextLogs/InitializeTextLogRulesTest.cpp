#include "TextLogs/InitializeTextLogRules.h"

#include <gtest/gtest.h>

#include "TextLogs/LogRuleFixture.h"
#include "TextLogs/TextLogRule.h"

namespace {

class TextLogReaderTest : public ::testing::Test, public LogRuleFixture {
protected:
    TextLogReaderTest() {
        m_Reader.AddLogGroup("Web");
        m_Reader.AddLogGroup("Mail");
    }

    CTextLogRule* ReadOne(const char* pszName) {
        m_pRules = Read(m_Reader);
        return dynamic_cast<CTextLogRule*>(m_pRules->Find(pszName));
    }

    CInitializeTextLogRules m_Reader;
    std::unique_ptr<RuleContainer> m_pRules;
};

}  // namespace

TEST_F(TextLogReaderTest, RuleWithoutAValidGroupIsKeptButDisabled) {
    AddRule("Blank", "TextLog", " Web");
    CTextLogRule* pRule = ReadOne("Blank");
    ASSERT_NE(pRule, nullptr);
    EXPECT_TRUE(pRule->GetLogGroups().empty());
    EXPECT_FALSE(pRule->IsEnabled());
    const std::string strPath = std::string(kTable) + "\\Blank";
    EXPECT_TRUE(m_HostLog.Contains("Rule " + strPath + " uses a Log Group ( Web) that is not defined"));
    EXPECT_TRUE(m_HostLog.Contains("Rule " + strPath + " has no valid LogGroup. Disable"));
    EXPECT_EQ(m_strConsole, "WARNING: Rule " + strPath + " uses a Log Group ( Web) that is not defined" +
                                "WARNING: Rule " + strPath + " has no valid LogGroup. Disable");
}

TEST_F(TextLogReaderTest, GroupNamedTwiceAroundAnEmptyNameIsHeldTwice) {
    AddRule("Twice", "TextLog", "Web,,Web,Mail");
    CTextLogRule* pRule = ReadOne("Twice");
    ASSERT_NE(pRule, nullptr);
    EXPECT_EQ(pRule->GetLogGroups(), (std::vector<std::string>{"Web", "Web", "Mail"}));
    EXPECT_TRUE(m_strConsole.empty()) << m_strConsole;
}

TEST_F(TextLogReaderTest, KeyNamedInfoIsNeverARule) {
    AddRule("Info", "TextLog", "Web");
    EXPECT_EQ(ReadOne("Info"), nullptr);
}

TEST_F(TextLogReaderTest, UnparsablePatternIsReportedAndTheRuleMatchesNothing) {
    std::string strPath = AddRule("Broken", "TextLog", "Web");
    Set(strPath, "Regular Expression", "(fail");
    Set(strPath, "Except", true);
    CTextLogRule* pRule = ReadOne("Broken");
    ASSERT_NE(pRule, nullptr);
    EXPECT_TRUE(m_HostLog.Contains("Unable to parse regular expression ((fail) for Rule " + strPath));
    EXPECT_NE(m_strConsole.find("ERROR: Unable to parse regular expression ((fail) for Rule " + strPath),
              std::string::npos);
    EXPECT_FALSE(pRule->IsMatch("login failed"));
    EXPECT_FALSE(pRule->IsMatch("login ok"));
}

TEST_F(TextLogReaderTest, EmptyPatternMatchesEveryLineWhateverExceptSays) {
    std::string strPath = AddRule("Empty", "TextLog", "Web");
    Set(strPath, "Regular Expression", "");
    Set(strPath, "Except", true);
    CTextLogRule* pRule = ReadOne("Empty");
    ASSERT_NE(pRule, nullptr);
    EXPECT_EQ(pRule->GetExpression(), nullptr);
    EXPECT_TRUE(pRule->IsMatch("anything"));
}

TEST_F(TextLogReaderTest, RulePairsOverrideTheSectionPairsOfTheSameName) {
    std::string strPath = AddRule("Paired", "TextLog", "Mail");
    Set(std::string(kTable) + "\\Info", "Source", "section");
    Set(std::string(kTable) + "\\Info", "Shared", "section");
    Set(strPath + "\\Info", "Shared", "rule");
    CTextLogRule* pRule = ReadOne("Paired");
    ASSERT_NE(pRule, nullptr);
    ASSERT_EQ(pRule->GetInfoPairs().size(), 2u);
    EXPECT_EQ(pRule->GetInfoPairs()[0].m_strValue, "section");
    EXPECT_EQ(pRule->GetInfoPairs()[1].m_strName, "Shared");
    EXPECT_EQ(pRule->GetInfoPairs()[1].m_strValue, "rule");
}
