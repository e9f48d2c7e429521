#include "NTSyslog/InitializeNTSyslogRules.h"

#include <gtest/gtest.h>

#include "TextLogs/LogRuleFixture.h"
#include "TextLogs/TextLogRule.h"

namespace {

class SyslogReaderTest : public ::testing::Test, public LogRuleFixture {
protected:
    CNTSyslogRule* ReadOne(const char* pszName) {
        m_pRules = Read(m_Reader);
        return dynamic_cast<CNTSyslogRule*>(m_pRules->Find(pszName));
    }

    CInitializeNTSyslogRules m_Reader;
    std::unique_ptr<RuleContainer> m_pRules;
};

}  // namespace

// Both engines read the same table; "Log Type" and "Logs" decide which of
// them keeps a rule.
TEST_F(SyslogReaderTest, EachRuleOfTheSharedTableGoesToTheRightEngine) {
    AddRule("Plain", nullptr, nullptr);
    AddRule("SyslogNone", "Syslog", "NONE_DEFINED");
    AddRule("SyslogEmptyLogs", "Syslog", "");
    AddRule("DefaultAmong", nullptr, "x,_QorDefaultLogGroupName");
    AddRule("DefaultAndWeb", "Syslog", "Web,_QorDefaultLogGroupName");
    AddRule("OnlyWeb", nullptr, "Web");
    AddRule("TextNoLogs", "TextLog", nullptr);
    AddRule("TextWeb", "TextLog", "Web");
    AddRule("EmptyType", "", "Web");
    AddRule("SmallS", "syslog", nullptr);

    CInitializeTextLogRules textReader;
    textReader.AddLogGroup("Web");
    std::unique_ptr<RuleContainer> pText = Read(textReader);
    std::unique_ptr<RuleContainer> pSyslog = Read(m_Reader);

    auto names = [](RuleContainer& rules) {
        std::set<std::string> result;
        for (Rule* pRule : rules) {
            result.insert(pRule->GetName());
        }
        return result;
    };
    EXPECT_EQ(names(*pSyslog), (std::set<std::string>{"Plain", "SyslogNone", "SyslogEmptyLogs",
                                                      "DefaultAmong", "DefaultAndWeb"}));
    EXPECT_EQ(names(*pText),
              (std::set<std::string>{"DefaultAmong", "DefaultAndWeb", "OnlyWeb", "TextWeb"}));
    // The default group is never one of the text-log engine's groups.
    auto* pDefaultAmong = dynamic_cast<CTextLogRule*>(pText->Find("DefaultAmong"));
    ASSERT_NE(pDefaultAmong, nullptr);
    EXPECT_TRUE(pDefaultAmong->GetLogGroups().empty());

    const std::string strTable = kTable;
    EXPECT_TRUE(m_HostLog.Contains("Invalid rule type (TextLog) for rule " + strTable + "\\TextWeb"));
    EXPECT_TRUE(m_HostLog.Contains("Invalid rule type (TextLog) for rule " + strTable + "\\TextNoLogs"));
    EXPECT_TRUE(m_HostLog.Contains("No Log Type specified for Rule " + strTable + "\\EmptyType"));
    EXPECT_TRUE(m_HostLog.Contains("Invalid rule type (syslog) for rule " + strTable + "\\SmallS"));
    // Refusing a rule that names other groups is silent.
    for (const std::string& strLine : m_HostLog.m_Services.Texts()) {
        EXPECT_EQ(strLine.find("OnlyWeb"), std::string::npos) << strLine;
    }
}

TEST_F(SyslogReaderTest, EveryRuleCarriesLogTypeSyslogUnlessItsInfoSaysOtherwise) {
    std::string strFirst = AddRule("First", nullptr, nullptr);
    std::string strSecond = AddRule("Second", nullptr, nullptr);
    Set(strFirst + "\\Info", "User", "for {!} from");
    Set(strSecond + "\\Info", "Log Type", "Remote syslog");
    m_pRules = Read(m_Reader);

    Rule* pFirst = m_pRules->Find("First");
    ASSERT_NE(pFirst, nullptr);
    ASSERT_EQ(pFirst->GetInfoPairs().size(), 2u);
    EXPECT_EQ(pFirst->GetInfoPairs()[0].m_strName, "Log Type");
    EXPECT_EQ(pFirst->GetInfoPairs()[0].m_strValue, "Syslog");
    EXPECT_EQ(pFirst->GetInfoPairs()[1].m_strName, "User");

    Rule* pSecond = m_pRules->Find("Second");
    ASSERT_NE(pSecond, nullptr);
    ASSERT_EQ(pSecond->GetInfoPairs().size(), 1u);
    EXPECT_EQ(pSecond->GetInfoPairs()[0].m_strValue, "Remote syslog");
}

TEST_F(SyslogReaderTest, ExpressionFlagsAreReadOnlyWithAPattern) {
    std::string strPath = AddRule("Su", nullptr, nullptr);
    Set(strPath, "Regular Expression", "AUTHENTICATION FAILURE");
    Set(strPath, "Ignore Case", true);
    CNTSyslogRule* pRule = ReadOne("Su");
    ASSERT_NE(pRule, nullptr);
    EXPECT_TRUE(pRule->IsMatch("su: pam_unix(su:auth): authentication failure"));
    EXPECT_FALSE(pRule->IsMatch("su: session opened"));
    EXPECT_TRUE(pRule->GetLogGroups().empty());
}

TEST_F(SyslogReaderTest, UserReaderReadsTheUserTableOnly) {
    AddRule("Standard", nullptr, nullptr);
    AddRule("Mine", nullptr, nullptr, kUserTable);
    CInitializeUserNTSyslogRules userReader;
    EXPECT_EQ(userReader.GetRulesSectionPath(), std::string(kUserTable) + "\\");
    std::unique_ptr<RuleContainer> pRules = Read(userReader);
    ASSERT_EQ(pRules->Count(), 1u);
    EXPECT_NE(pRules->Find("Mine"), nullptr);
}
