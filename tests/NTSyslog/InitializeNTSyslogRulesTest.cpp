#include "NTSyslog/InitializeNTSyslogRules.h"

#include <gtest/gtest.h>

#include <set>

#include "TextLogs/LogRuleFixture.h"
#include "TextLogs/TextLogRule.h"

namespace {

class SyslogReaderTest : public ::testing::Test, public LogRuleFixture {};

std::set<std::string> Names(RuleContainer& rules) {
    std::set<std::string> names;
    for (Rule* pRule : rules) {
        names.insert(pRule->GetName());
    }
    return names;
}

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
    CInitializeNTSyslogRules syslogReader;
    std::unique_ptr<RuleContainer> pSyslog = Read(syslogReader);

    EXPECT_EQ(Names(*pSyslog), (std::set<std::string>{"Plain", "SyslogNone", "SyslogEmptyLogs",
                                                      "DefaultAmong", "DefaultAndWeb"}));
    EXPECT_EQ(Names(*pText),
              (std::set<std::string>{"DefaultAmong", "DefaultAndWeb", "OnlyWeb", "TextWeb"}));
    // The default group is never one of the text-log engine's groups.
    auto* pDefaultAmong = dynamic_cast<CTextLogRule*>(pText->Find("DefaultAmong"));
    ASSERT_NE(pDefaultAmong, nullptr);
    EXPECT_TRUE(pDefaultAmong->GetLogGroups().empty());

    const std::string strTable = kTable;
    // A valid text-log rule is no error for the syslog reader; one without
    // groups is of use to neither engine, which the text-log reader says.
    EXPECT_FALSE(m_HostLog.Contains("Invalid rule type (TextLog)"));
    EXPECT_TRUE(m_HostLog.Contains("Rule " + strTable +
                                   "\\TextNoLogs is a text-log rule but names no log group in "
                                   "\"Logs\": it is not used"));
    EXPECT_TRUE(m_HostLog.Contains("No Log Type specified for Rule " + strTable + "\\EmptyType"));
    EXPECT_TRUE(m_HostLog.Contains("Invalid rule type (syslog) for rule " + strTable + "\\SmallS"));
    // No rule has a pattern: each says what it matches, in its engine's words.
    EXPECT_TRUE(m_HostLog.Contains("Rule " + strTable +
                                   "\\Plain has no \"Regular Expression\": it matches every message"));
    EXPECT_TRUE(m_HostLog.Contains("Rule " + strTable +
                                   "\\OnlyWeb has no \"Regular Expression\": it matches every line"));
    // Refusing a rule that names other groups is silent.
    for (const std::string& strLine : m_HostLog.m_Services.Texts()) {
        if (strLine.find("matches every line") == std::string::npos) {
            EXPECT_EQ(strLine.find("OnlyWeb"), std::string::npos) << strLine;
        }
    }
}

TEST_F(SyslogReaderTest, LogTypeSyslogComesFirstUnlessTheRulesInfoSetsIt) {
    Set(AddRule("First", nullptr, nullptr) + "\\Info", "User", "for {!} from");
    Set(AddRule("Second", nullptr, nullptr) + "\\Info", "Log Type", "Remote syslog");
    AddRule("Mine", nullptr, nullptr, kUserTable);
    CInitializeNTSyslogRules reader;
    std::unique_ptr<RuleContainer> pRules = Read(reader);
    ASSERT_EQ(Names(*pRules), (std::set<std::string>{"First", "Second"}));

    const auto& first = pRules->Find("First")->GetInfoPairs();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].m_strName + "=" + first[0].m_strValue, "Log Type=Syslog");
    EXPECT_EQ(first[1].m_strName, "User");
    const auto& second = pRules->Find("Second")->GetInfoPairs();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].m_strValue, "Remote syslog");

    // The user's reader reads the user's table only.
    CInitializeUserNTSyslogRules userReader;
    pRules = Read(userReader);
    EXPECT_EQ(Names(*pRules), std::set<std::string>{"Mine"});
}

// Each engine holds a template to its own markers and input: a table's own
// pair is said by the engine whose rule cannot resolve it, once for the
// table, and a field past the last a datagram holds is said on a syslog
// rule.
TEST_F(SyslogReaderTest, TemplateIsHeldToTheMarkersOfTheEngineOfItsRule) {
    const std::string strTable = kTable;
    Set(strTable + "\\Info", "Sender", "@Remote");
    const std::string strHeard = AddRule("Heard", nullptr, nullptr);
    Set(strHeard + "\\Info", "Local", "@HostIP");
    Set(strHeard + "\\Info", "Last", "@Field32752");
    Set(strHeard + "\\Info", "Far", "@Field32753");
    AddRule("Read", "TextLog", "Web");

    CInitializeNTSyslogRules syslogReader;
    Read(syslogReader);
    const std::string strHead = "Rule " + strHeard + ": information pair ";
    EXPECT_EQ(TemplateFindings(),
              (std::vector<std::string>{
                  strHead + "\"Local\": the template \"@HostIP\" is no marker of a syslog rule, whose markers are "
                            "@Field<n>, @File, @Group, @Host and @Remote: the value is the template as it stands",
                  strHead + "\"Far\": the template \"@Field32753\" names field 32753, past the last one a syslog "
                            "rule can see (field 32752: a message has at most 65505 bytes): the value is always "
                            "empty"}));

    m_HostLog.m_Services.Forget();
    CInitializeTextLogRules textReader;
    textReader.AddLogGroup("Web");
    Read(textReader);
    EXPECT_EQ(TemplateFindings(),
              std::vector<std::string>{"Rules table " + strTable + ": information pair \"Sender\": the template "
                                       "\"@Remote\" is no marker of a text-log rule, whose markers are @Field<n>, "
                                       "@File, @Group, @Host and @HostIP: the value is the template as it stands"});
}
