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
    const std::string strUndefined =
        "Rule " + strPath + " uses a Log Group ( Web) that is not defined";
    const std::string strDisabled = "Rule " + strPath + " has no valid LogGroup. Disable";
    EXPECT_TRUE(m_HostLog.Contains(strUndefined));
    EXPECT_TRUE(m_HostLog.Contains(strDisabled));
    EXPECT_EQ(m_Console.Text(), "WARNING: " + strUndefined + "\nWARNING: " + strDisabled + "\n");
}

TEST_F(TextLogReaderTest, GroupNamedTwiceAroundAnEmptyNameIsHeldTwice) {
    std::string strPath = AddRule("Twice", "TextLog", "Web,,Web,Mail");
    Set(strPath, "Regular Expression", "x");
    AddRule("Info", "TextLog", "Web");
    CTextLogRule* pRule = ReadOne("Twice");
    ASSERT_NE(pRule, nullptr);
    EXPECT_EQ(pRule->GetLogGroups(), (std::vector<std::string>{"Web", "Web", "Mail"}));
    EXPECT_EQ(m_Console.Text(), "");
    // A key named "Info" holds pairs, never a rule.
    EXPECT_EQ(m_pRules->Find("Info"), nullptr);
}

TEST_F(TextLogReaderTest, PatternFlagsDecideWhichLinesMatch) {
    const struct {
        const char* pszPattern;
        bool bIgnoreCase;
        bool bExcept;
        const char* pszLine;
        bool bMatch;
    } kCases[] = {
        // A pattern that does not compile matches nothing, even with Except.
        {"(fail", false, true, "login failed", false},
        {"(fail", false, true, "login ok", false},
        // No pattern matches every line whatever Except says.
        {"", false, true, "anything", true},
        {"FAILED", true, false, "su: authentication failed", true},
        {"FAILED", true, true, "su: authentication failed", false},
        {"FAILED", true, true, "su: session opened", true},
        {"FAILED", false, false, "su: authentication failed", false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.pszPattern) + " / " + c.pszLine);
        std::string strPath = AddRule("Flags", "TextLog", "Web");
        Set(strPath, "Regular Expression", c.pszPattern);
        Set(strPath, "Ignore Case", c.bIgnoreCase);
        Set(strPath, "Except", c.bExcept);
        CTextLogRule* pRule = ReadOne("Flags");
        ASSERT_NE(pRule, nullptr);
        EXPECT_EQ(pRule->IsMatch(c.pszLine), c.bMatch);
    }
    const std::string strError =
        "Unable to parse regular expression ((fail) for Rule " + std::string(kTable) +
        "\\Flags: unmatched (); the rule matches nothing";
    EXPECT_TRUE(m_HostLog.Contains(strError));
    EXPECT_TRUE(m_Console.Contains("ERROR: " + strError));
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

// A template that cannot mean what it says on a text-log rule is said at
// the load, naming the rule, the pair and the template: a misspelt marker
// or another engine's (each alert carries the template's own text), a field
// past the last a line piece holds, a number read as another, and "{!}"
// written so that it is no marker or alternatives never tried.  The
// engine's markers and templates that mean what they say are not.
TEST_F(TextLogReaderTest, TemplateThatCannotMeanWhatItSaysIsSaidAtTheLoad) {
    const std::string strPath = AddRule("Marked", "TextLog", "Web");
    int nPair = 0;
    for (const char* pszGood :
         {"@Field3", "@Field32767", "@File", "@Group", "@Host", "@HostIP", "for {!} from", "user={!} |", "web",
          "ops@example.org", "{!}", "invalid user {!} from|for {!} from", "user=*,{!},", "for {!}|none"}) {
        Set(strPath + "\\Info", ("Good " + std::to_string(++nPair)).c_str(), pszGood);
    }
    const std::string strMarkers = "is no marker of a text-log rule, whose markers are @Field<n>, @File, @Group, "
                                   "@Host and @HostIP: the value is the template as it stands";
    const std::pair<const char*, std::string> kSaid[] = {
        {"@Fild4", strMarkers},
        {"@Remote", strMarkers},
        {"@String0", strMarkers},
        {"@Field32768", "names field 32768, past the last one a text-log rule can see (field 32767: a line is "
                        "read in pieces of at most 65536 bytes): the value is always empty"},
        {"@Field3x", "is read as \"@Field3\": the text after the number (\"x\") is not read"},
        {"@Field", "has no number after \"@Field\": it is read as \"@Field0\""},
        {"@Field-3", "is read as \"@Field0\": a field number below 0 gives the first field"},
        {"user={!", "has \"{!\" without its closing \"}\", which is then no marker: the value is the template "
                    "as it stands"},
        {"a={!} b={!}", "has a second \"{!}\": only the first is a marker, so the value runs on to the end of "
                        "the text unless the text holds \" b={!}\" as it stands"},
        {"user=*{!}", "has \"*\" just before \"{!}\": the \"*\" skips up to the first \"{\" of the text, not "
                      "up to the value"},
        {"for {!} from|none|by {!}", "never tries \"by {!}\": the alternative \"none\" before it has no \"{!}\" "
                                     "and is the value whenever those before it find nothing"},
        {"for {!} from|@File", "has the alternative \"@File\", which is no marker but text: a marker is read "
                               "only as the whole template"},
    };
    nPair = 0;
    for (const auto& [pszTemplate, strSaid] : kSaid) {
        Set(strPath + "\\Info", ("Said " + std::to_string(++nPair)).c_str(), pszTemplate);
    }
    ASSERT_NE(ReadOne("Marked"), nullptr);
    std::vector<std::string> expected;
    nPair = 0;
    for (const auto& [pszTemplate, strSaid] : kSaid) {
        expected.push_back("Rule " + strPath + ": information pair \"Said " + std::to_string(++nPair) +
                           "\": the template \"" + pszTemplate + "\" " + strSaid);
    }
    EXPECT_EQ(TemplateFindings(), expected);
    EXPECT_TRUE(m_Console.Contains("WARNING: " + expected[0] + "\n")) << m_Console.Text();
}
