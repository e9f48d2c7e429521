#include "Common/PolicyKeyAudit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Common/AgentEventInfo.h"
#include "Common/Rule.h"
#include "Common/RuleContainer.h"
#include "FakeSensorCore.h"
#include "TestEngine.h"
#include "hostwarden/IPolicyContainer.h"
#include "support/ConsoleCapture.h"
#include "support/TestUtil.h"

namespace {

const std::string kTable = "\\Advanced\\Rules\\Test Rules";

// A policy file read as the sensor reads one, by two readers of one table
// (as the syslog and text-log engines share theirs), under an audit.
class PolicyKeyAuditTest : public ::testing::Test {
protected:
    // The warnings the load gave, with `marker` in them.
    std::vector<std::string> Load(const std::string& strRules) {
        hwtest::WriteWholeFile(m_dir.File("test.policy"),
                               "Test policy\n[\\config\\];\n" + strRules);
        PolicyPtr pPolicy(CreatePluginPolicyContainer());
        PolicyKeyAudit audit(pPolicy.get());
        EXPECT_EQ(0, pPolicy->LoadFile(m_dir.File("test.policy").c_str(), "", "\\", true));
        m_First.ReadRules(&m_Rules, pPolicy.get());
        m_Second.ReadRules(&m_Rules, pPolicy.get());
        audit.Finish();
        audit.Stop();
        std::vector<std::string> warnings;
        for (const std::string& strLine : m_HostLog.m_Services.Texts()) {
            if (strLine.find(kTable) != std::string::npos) {
                warnings.push_back(strLine);
            }
        }
        return warnings;
    }

    hwtest::ScratchDirectory m_dir;
    FakeSensorCore m_Sensor;
    ScopedHostLog m_HostLog;
    hwtest::ConsoleCapture m_Console;
    RuleContainer m_Rules;
    TestRuleReader m_First;
    TestRuleReader m_Second;
};

}  // namespace

TEST_F(PolicyKeyAuditTest, MisspelledKeyIsSaidOnceWithItsRuleAndValue) {
    std::vector<std::string> warnings = Load(
        "[\\Advanced\\Rules\\Test Rules\\Good\\];\nEnabled\t=B\t1;\nPattern\t=S\tsu;\n"
        "[\\Advanced\\Rules\\Test Rules\\Typo\\];\nEnabled\t=B\t1;\nPatern\t=S\tFAILED SU;\n");
    ASSERT_EQ(1u, warnings.size());
    EXPECT_EQ("Rule " + kTable +
                  "\\Typo: no reader of the \"Test Rules\" rules knows \"Patern\" "
                  "(\"FAILED SU\"); it has no effect",
              warnings[0]);
    const std::string strConsole = m_Console.Text();
    const std::string strSaid = "WARNING: Rule " + kTable + "\\Typo";
    EXPECT_NE(std::string::npos, strConsole.find(strSaid)) << strConsole;
    EXPECT_EQ(strConsole.find(strSaid), strConsole.rfind(strSaid)) << strConsole;
}

TEST_F(PolicyKeyAuditTest, ValueOfAnotherKindOrOutOfRangeIsSaidWithWhatIsUsedInstead) {
    std::vector<std::string> warnings = Load(
        "[\\Advanced\\Rules\\Test Rules\\Kinds\\];\nEnabled\t=B\t1;\nPattern\t=L\t5;\n"
        "Priority\t=L\t0;\nAlert Type\t=S\tLogonEvent;\n");
    const std::string strRule = "Rule " + kTable + "\\Kinds: ";
    EXPECT_EQ(
        (std::vector<std::string>{
            strRule + "\"Priority\" 0 is outside 1 to 3; 1 is used",
            strRule + "\"Alert Type\" \"LogonEvent\" is no alert type; UserDefinedEvent (210) "
                      "is used",
            strRule + "\"Pattern\" is a number (=L), \"5\", but is read as a text (=S); "
                      "the default \"\" is used"}),
        warnings);
    ASSERT_NE(nullptr, m_Rules.Find("Kinds"));
    EXPECT_EQ(1u, m_Rules.Find("Kinds")->GetPriority());
}

// "Enabled" misspelled leaves a rule off, which is said; a rule switched off
// on purpose is not looked into.
TEST_F(PolicyKeyAuditTest, RuleWithoutEnabledIsSaidToBeOffAndARuleSwitchedOffIsNot) {
    std::vector<std::string> warnings = Load(
        "[\\Advanced\\Rules\\Test Rules\\Good\\];\nEnabled\t=B\t1;\nPattern\t=S\tsu;\n"
        "[\\Advanced\\Rules\\Test Rules\\Misspelled\\];\nEnable\t=B\t1;\nPattern\t=S\tsu;\n"
        "[\\Advanced\\Rules\\Test Rules\\Off\\];\nEnabled\t=B\t0;\nWhatever\t=S\tx;\n");
    EXPECT_EQ(std::vector<std::string>{"Rule " + kTable +
                                       "\\Misspelled has no \"Enabled\" value, so it is off"},
              warnings);
}

// Values the readers list (information pairs) and keys whose names the
// readers list (response kinds) are the policy's own; another key is not.
TEST_F(PolicyKeyAuditTest, ListedValuesAndResponseKindsAreKnownAndAStrayKeyIsSaid) {
    std::vector<std::string> warnings = Load(
        "[\\Advanced\\Rules\\Test Rules\\Info\\];\nSensor\t=S\t@Host;\n"
        "[\\Advanced\\Rules\\Test Rules\\Full\\];\nEnabled\t=B\t1;\nPattern\t=S\tsu;\n"
        "Patern\t=S\tx;\n"
        "[\\Advanced\\Rules\\Test Rules\\Full\\Info\\];\nAnything\t=S\t{!} from;\n"
        "[\\Advanced\\Rules\\Test Rules\\Full\\Response\\MAIL\\];\nEnabled\t=B\t1;\n"
        "Choice\t=S\tAdmins;\n"
        "[\\Advanced\\Rules\\Test Rules\\Full\\Inof\\];\nUser\t=S\t{!} from;\n");
    EXPECT_EQ((std::vector<std::string>{
                  "Rule " + kTable +
                      "\\Full: no reader of the \"Test Rules\" rules knows \"Patern\" (\"x\"); "
                      "it has no effect",
                  "Rule " + kTable +
                      "\\Full: no reader of the \"Test Rules\" rules knows the key \"Inof\"; what "
                      "it holds has no effect"}),
              warnings);
}

// A policy text does not keep the blanks around it, and a template may
// match by them: one that loses them is said at the load, naming the rule
// (or the table, once) and the template as written; blanks inside it, and
// blanks kept by an ending "|", are no loss.
TEST_F(PolicyKeyAuditTest, TemplateWhoseBlanksThePolicyTextDropsIsSaid) {
    std::vector<std::string> warnings = Load(
        "[\\Advanced\\Rules\\Test Rules\\Info\\];\nHost\t=S\thost={!} ;\n"
        "[\\Advanced\\Rules\\Test Rules\\Blanks\\];\nEnabled\t=B\t1;\nPattern\t=S\tsu;\n"
        "[\\Advanced\\Rules\\Test Rules\\Blanks\\Info\\];\nUser\t=S\tuser={!} ;\nFrom\t=S\tfor {!} from ;\n"
        "Lead\t=S\t  for {!};\nKept\t=S\tuser={!} |;\nPlain\t=S\t web ;\nInner\t=S\tuser={!} |x={!};\n");
    const std::string strPair = "Rule " + kTable + "\\Blanks: information pair ";
    const std::string strEnd = "which a policy text does not keep: ";
    EXPECT_EQ((std::vector<std::string>{
                  "Rules table " + kTable + ": information pair \"Host\": the template \"host={!} \" ends in blanks "
                                            "after its marker, " + strEnd + "the value runs to the end of the text "
                                            "instead of ending before them; end the template with \"|\" to keep "
                                            "them (\"host={!} |\")",
                  strPair + "\"User\": the template \"user={!} \" ends in blanks after its marker, " + strEnd +
                      "the value runs to the end of the text instead of ending before them; end the template with "
                      "\"|\" to keep them (\"user={!} |\")",
                  strPair + "\"From\": the template \"for {!} from \" ends in blanks, " + strEnd +
                      "the value ends before the first \" from\" without them; end the template with \"|\" to "
                      "keep them (\"for {!} from |\")",
                  strPair + "\"Lead\": the template \"  for {!}\" begins with blanks, " + strEnd +
                      "the text is matched from \"for \" without them"}),
              warnings);

    const Rule* pRule = m_Rules.Find("Blanks");
    ASSERT_NE(nullptr, pRule);
    std::string strValue;
    for (const InfoPair& pair : pRule->GetInfoPairs()) {
        if (pair.m_strName == "Kept") {
            AgentEventInfo::ResolveInfoTemplate(pair.m_strValue, "user=alice logged in", strValue);
        }
    }
    EXPECT_EQ("alice", strValue);
    AgentEventInfo::ResolveInfoTemplate("user={!} |", "nobody here", strValue);
    EXPECT_EQ("", strValue) << "an ending \"|\" matches nothing as the template without it";
}
