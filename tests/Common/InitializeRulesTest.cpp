#include "Common/InitializeRules.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Common/AlertTypes.h"
#include "Common/RuleContainer.h"
#include "Common/RuleScript.h"
#include "Common/SensorSettings.h"
#include "PolicyTest.h"
#include "TestEngine.h"
#include "hostwarden/IPolicyContainer.h"
#include "platform/Console.h"

namespace {

const std::string kTable = "\\Advanced\\Rules\\Test Rules";
const std::string kUserTable = "\\Advanced\\userdefinedsignatures\\Test Rules";

// A policy built in code, and the rules read from it, deleted as the
// sensor deletes them.
class InitializeRulesTest : public PolicyTest {
protected:
    // An enabled rule with nothing else.
    std::string AddRule(const std::string& strTable, const char* pszName) {
        std::string strPath = strTable + "\\" + pszName;
        Set(strPath, "Enabled", true);
        return strPath;
    }
    Rule* Read(InitializeRules& reader, const char* pszName) {
        reader.ReadRules(&m_Rules, m_pPolicy.get());
        return m_Rules.Find(pszName);
    }

    RuleContainer m_Rules;
    TestRuleReader m_Reader;
    TestUserRuleReader m_UserReader;
};

}  // namespace

TEST_F(InitializeRulesTest, RuleWithOnlyEnabledTakesTheDefaultsAndSecCheckIdRenamesAUserRule) {
    EXPECT_EQ(m_Reader.GetRulesSectionPath(), "\\Advanced\\Rules\\Test Rules\\");
    AddRule(kTable, "Bare");
    Set(kTable + "\\Off", "Pattern", "x");
    Rule* pBare = Read(m_Reader, "Bare");
    ASSERT_NE(pBare, nullptr);
    EXPECT_EQ(m_Rules.Count(), 1u);
    EXPECT_EQ(pBare->GetPriority(), 3u);
    EXPECT_EQ(pBare->GetAlertType(), kAlertUserDefinedEvent);
    EXPECT_EQ(pBare->GetOrigin(), kRuleOriginStandard);

    std::string strNamed = AddRule(kUserTable, "Named");
    Set(strNamed, "SecCheckId", "SC-9");
    Set(strNamed, "Alert Type", "SecurityEvent");
    Set(strNamed, "Risk Level", 4);
    Rule* pNamed = Read(m_UserReader, "SC-9");
    ASSERT_NE(pNamed, nullptr);
    EXPECT_EQ(pNamed->GetOrigin(), kRuleOriginSecCheckId);
    EXPECT_EQ(pNamed->GetAlertType(), kAlertSecurityEvent);
    EXPECT_EQ(pNamed->GetRiskLevel(), 4);
    EXPECT_EQ(m_Sensor.m_Rules.Count(), 2u);
}

TEST_F(InitializeRulesTest, UnknownResponseChoicesAreListedAndLogged) {
    ScopedHostLog log;
    std::string strRule = AddRule(kTable, "Scan");
    const char* const responses[][3] = {{"EMAIL", "A", "1"},      {"SNMP", "B", "1"},  {"DISPLAY", "Default", "1"},
                                        {"BLOCK", "", "1"},        {"OPSEC", "C", "0"}};
    for (const auto& response : responses) {
        std::string strPath = strRule + "\\Response\\" + response[0];
        Set(strPath, "Enabled", response[2][0] == '1');
        Set(strPath, "Choice", response[1]);
    }
    m_Sensor.m_Responses = {{"DISPLAY", "Default"}};
    Rule* pRule = Read(m_Reader, "Scan");
    ASSERT_NE(pRule, nullptr);
    // A choice is taken whatever "Enabled" says: one switched off is said,
    // and one that names no definition is as invalid as any other.
    EXPECT_EQ(pRule->GetInvalidResponses(), "A, B, C");
    EXPECT_TRUE(log.Contains("Found invalid response : EMAIL \\ A for rule : Scan"));
    EXPECT_TRUE(log.Contains("Found invalid response : OPSEC \\ C for rule : Scan"));
    EXPECT_TRUE(log.Contains("Please review current policy applied to sensor for valid responses."));
    EXPECT_TRUE(log.Contains("Rule " + strRule + ": the response OPSEC is not enabled but has the choice \"C\", "
                             "and a response with a choice is carried out whatever \"Enabled\" says: remove "
                             "its \"Choice\" to switch it off"));
}

TEST_F(InitializeRulesTest, RefusedRuleIsCountedAndRuleThatCannotBeCreatedEndsTheWalk) {
    Set(AddRule(kTable, "Bad"), "Pattern", "reject");
    for (const char* pszName : {"r1", "r2", "r3", "r4"}) {
        AddRule(kTable, pszName);
    }
    m_Reader.m_nCreateBeforeFailure = 3;
    m_Reader.ReadRules(&m_Rules, m_pPolicy.get());
    EXPECT_EQ(m_Reader.GetRefusedCount(), 1u);
    EXPECT_EQ(m_Rules.Count(), 2u);
    EXPECT_NE(m_Rules.Find("r2"), nullptr);
    EXPECT_EQ(m_Rules.Find("r3"), nullptr);
    EXPECT_EQ(m_Sensor.m_Rules.Count(), 2u);
}

TEST_F(InitializeRulesTest, ScriptsThatCannotRunKeepOrDropTheRuleAsItNeedsThem) {
    std::string strScripted = AddRule(kTable, "Scripted") + "\\Script";
    Set(strScripted, "Enabled", true);
    Set(strScripted, "ScriptType", "tcl");
    Set(strScripted, "Validation", "set a 1\\nreturn $a");
    std::string strOther = AddRule(kTable, "Other") + "\\Script";
    Set(strOther, "Enabled", true);
    Set(strOther, "ScriptType", "Perl");
    Set(strOther, "Validation", "1;");
    std::string strEmpty = AddRule(kTable, "Empty") + "\\Script";
    Set(strEmpty, "Enabled", true);
    Set(strEmpty, "ScriptType", "TCL");
    Set(AddRule(kTable, "Needy"), "NeedTcl", true);
    std::string strNeedy = AddRule(kTable, "Needier");
    Set(strNeedy, "NeedTcl", true);
    Set(strNeedy + "\\Script", "Enabled", true);
    Set(strNeedy + "\\Script", "ScriptType", "TCL");

    ScopedHostLog log;
    m_Reader.ReadRules(&m_Rules, m_pPolicy.get());
    Rule* pScripted = m_Rules.Find("Scripted");
    ASSERT_NE(pScripted, nullptr);
    ASSERT_NE(pScripted->GetScript(), nullptr);
    EXPECT_EQ(pScripted->GetScript()->GetValidation(), "set a 1\nreturn $a");
    EXPECT_EQ(pScripted->GetScript()->GetOwningRule(), pScripted);
    ASSERT_NE(m_Rules.Find("Other"), nullptr);
    EXPECT_EQ(m_Rules.Find("Other")->GetScript(), nullptr);
    ASSERT_NE(m_Rules.Find("Empty"), nullptr);
    EXPECT_EQ(m_Rules.Find("Empty")->GetScript(), nullptr);
    EXPECT_EQ(m_Rules.Find("Needy"), nullptr);
    EXPECT_EQ(m_Rules.Find("Needier"), nullptr);
    EXPECT_EQ(m_strConsole,
              "Rule \"Empty\" has TCL enabled, but there is no TCL script; the rule will be processed without "
              "TCL\n"
              "Rule \"Needy\" requires TCL, but TCL is not enabled; this rule will be ignored.\n"
              "Rule \"Needier\" has TCL enabled, but there is no TCL script; the rule will be ignored (because TCL "
              "is required for this rule\n");
    // The log says which rules were left out, with their keys, as errors:
    // every alert of such a rule would be lost.
    for (const char* pszRule : {"Needy", "Needier"}) {
        const std::string strText =
            "Rule " + kTable + "\\" + pszRule + " has \"NeedTcl\" on but no script to run: it is left out";
        EXPECT_TRUE(log.Contains(strText)) << pszRule;
        for (const LoggedLine& line : log.m_Services.Lines()) {
            if (line.text == strText) {
                EXPECT_EQ(static_cast<uint32_t>(kCSFLogError), line.dwLevel) << pszRule;
            }
        }
    }
}

// A rule that requires its script whose alerts could never meet it (scripting
// off in the policy, a script of another type, a script without a Validation
// part) is left out and said, instead of dropping each alert it raises.
TEST_F(InitializeRulesTest, RuleThatRequiresAScriptThatCanNeverValidateIsLeftOutAndSaid) {
    auto scripted = [&](const char* pszName, const char* pszType, const char* pszPart) {
        const std::string strRule = AddRule(kTable, pszName);
        Set(strRule, "NeedTcl", true);
        Set(strRule + "\\Script", "Enabled", true);
        Set(strRule + "\\Script", "ScriptType", pszType);
        Set(strRule + "\\Script", pszPart, "return 1");
        return strRule;
    };
    const std::string strPerl = scripted("Perl", "Perl", "Validation");
    const std::string strNoValidation = scripted("Setup only", "TCL", "Initial");
    scripted("Checked", "TCL", "Validation");
    ScopedHostLog log;
    m_Reader.ReadRules(&m_Rules, m_pPolicy.get());
    EXPECT_EQ(nullptr, m_Rules.Find("Perl"));
    EXPECT_EQ(nullptr, m_Rules.Find("Setup only"));
    ASSERT_NE(nullptr, m_Rules.Find("Checked"));
    EXPECT_TRUE(log.Contains("Rule " + strPerl + " has \"NeedTcl\" on but its script's \"ScriptType\" is "
                             "\"Perl\", not TCL, so no script of it runs: it is left out"));
    EXPECT_TRUE(log.Contains("Rule " + strNoValidation + " has \"NeedTcl\" on but its script has no "
                             "\"Validation\" part, so none of its alerts could be validated: it is left out"));
    EXPECT_EQ("", m_strConsole);

    // With scripting off the scripted rule goes too, and every rule that
    // requires its script says the line its reader is known by.
    m_Rules.Clear();
    SensorSettings::Instance().m_bScriptEnabled = false;
    m_Reader.ReadRules(&m_Rules, m_pPolicy.get());
    SensorSettings::Instance().m_bScriptEnabled = true;
    EXPECT_EQ(nullptr, m_Rules.Find("Checked"));
    EXPECT_EQ("Rule \"Setup only\" requires TCL, but TCL is not enabled; this rule will be ignored.\n"
              "Rule \"Checked\" requires TCL, but TCL is not enabled; this rule will be ignored.\n",
              m_strConsole);
    const std::string strText = "Rule " + kTable +
                                "\\Checked has \"NeedTcl\" on but scripting is off in this policy "
                                "(\"ScriptEnabled\" 0 in \\config): it is left out";
    EXPECT_TRUE(log.Contains(strText));
    for (const LoggedLine& line : log.m_Services.Lines()) {
        EXPECT_EQ(static_cast<uint32_t>(kCSFLogError), line.dwLevel) << line.text;
    }
}

TEST_F(InitializeRulesTest, InfoPairsOfKnownNamesTakeTheLaterValue) {
    Set(kTable + "\\Info", "Sensor", "section");
    std::string strRule = AddRule(kTable, "Scan");
    Set(strRule + "\\Info", "Sensor", "rule");
    Set(strRule + "\\Info", "Host", "web1");
    Rule* pRule = Read(m_Reader, "Scan");
    ASSERT_NE(pRule, nullptr);
    ASSERT_EQ(pRule->GetInfoPairs().size(), 2u);
    EXPECT_EQ(pRule->GetInfoPairs()[0].m_strName, "Sensor");
    EXPECT_EQ(pRule->GetInfoPairs()[0].m_strValue, "rule");
}
