// The names rules alert under, against the policy events the registry hands
// the host: a rule named by its SecCheckId gets its event under that name,
// a rule whose name has no event is an error, and rules sharing a name are
// warned about with every key, the responses kept and the correlation rule
// watching them.

#include "Plugin/RuleNameCheck.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Common/InitializeCorrelationRules.h"
#include "Common/PolicyTest.h"
#include "Common/TestEngine.h"
#include "Plugin/CEventRegistry.h"
#include "qorCSFLib/CSFSvcRequest.h"
#include "qorCSFLib/RecordingEventHandler.h"
#include "qorCSFLib/TestPolicyEvent.h"

namespace {

const std::string kTable = "\\Advanced\\Rules\\Test Rules";
const std::string kUserTable = "\\Advanced\\userdefinedsignatures\\Test Rules";
const std::string kCorrelation = "\\Advanced\\Rules\\Correlation Rules";
const std::string kFirewall = "\\Advanced\\Rules\\Bastion";

class RuleNameCheckTest : public PolicyTest {
protected:
    RuleNameCheckTest() : m_pRequest(new CSFSvcRequest) {
        m_pRequest->SetServices(&m_Services);
        m_pRequest->SetEventHandler(&m_Handler);
    }
    ~RuleNameCheckTest() override { m_pRequest->Release(); }

    std::string AddRule(const std::string& strTable, const char* pszName) {
        std::string strPath = strTable + "\\" + pszName;
        Set(strPath, "Enabled", true);
        return strPath;
    }
    void Register(const std::string& strTable, uint32_t dwLevel) {
        m_Registry.RegisterSection((strTable + "\\").c_str(), &m_Prototype, dwLevel);
    }
    // Registers the events, reads the tables as a load does and checks the
    // names; answers the warnings and errors said.
    std::vector<std::string> Load() {
        PolicyKeyAudit audit(m_pPolicy.get());
        m_Registry.RegisterEvents(m_pPolicy.get());
        m_Reader.ReadRules(&m_Rules, m_pPolicy.get());
        m_UserReader.ReadRules(&m_Rules, m_pPolicy.get());
        m_CorrelationReader.ReadRules(&m_Rules, m_pPolicy.get());
        m_Services.Forget();
        CheckRuleNames(audit.TakenRules(), &m_Registry);
        std::vector<std::string> said;
        for (const LoggedLine& line : m_Services.Lines()) {
            said.push_back(line.text);
        }
        return said;
    }

    RecordingServices m_Services;
    RecordingEventHandler m_Handler;
    CSFSvcRequest* m_pRequest;
    TestPolicyEvent m_Prototype;
    CEventRegistry m_Registry{nullptr};
    RuleContainer m_Rules;
    TestRuleReader m_Reader;
    TestUserRuleReader m_UserReader;
    CInitializeCorrelationRules m_CorrelationReader{nullptr};
};

}  // namespace

TEST_F(RuleNameCheckTest, SecCheckIdNamesTheEventOfATableRuleAndARuleWithoutAnEventIsAnError) {
    Register(kTable, 1);
    Register(kFirewall, 2);
    Set(AddRule(kTable, "Key name"), "SecCheckId", "HW-V4");
    AddRule(kTable, "Plain");
    // The firewall's rules are named by section and key, whatever they hold.
    Set(AddRule(kFirewall + "\\TCP Incoming", "No telnet"), "SecCheckId", "HW-V9");
    // The user table has no section: its rule has no event at all.
    Set(AddRule(kUserTable, "Lonely"), "SecCheckId", "HW-V5");
    AddRule(kUserTable, "Lonelier");

    const std::vector<std::string> said = Load();

    EXPECT_EQ(m_Handler.Names(), (std::vector<std::string>{"TCP Incoming_No telnet", "HW-V4", "Plain"}));
    EXPECT_STREQ(m_Handler.m_Events[1].pEvent->GetName(), "HW-V4");
    const CSFEventRegistry::RegisteredEvents expected = {{"HW-V4", {kTable + "\\Key name"}},
                                                         {"Plain", {kTable + "\\Plain"}},
                                                         {"TCP Incoming_No telnet", {kFirewall + "\\TCP Incoming\\No telnet"}}};
    EXPECT_EQ(m_Registry.GetRegisteredEvents(), expected);
    EXPECT_EQ(said, (std::vector<std::string>{
                        "Rule " + kUserTable + "\\Lonely alerts as \"HW-V5\" (its \"SecCheckId\"), but no policy "
                        "event was registered under that name: its alerts are dropped",
                        "Rule " + kUserTable + "\\Lonelier alerts as \"Lonelier\", but no policy event was "
                        "registered under that name: its alerts are dropped"}));
    EXPECT_EQ(m_Services.Lines()[0].dwLevel, kCSFLogError | kCSFLogConsoleFlag);
}

TEST_F(RuleNameCheckTest, RulesOfOneNameAreWarnedAboutWithTheirKeysTheResponsesKeptAndTheirWatcher) {
    Register(kTable, 1);
    Register(kUserTable, 1);
    Register(kCorrelation, 1);
    AddRule(kTable, "Failed su");
    AddRule(kTable, "Failed log-in");
    AddRule(kUserTable, "Failed su");
    // A SecCheckId that names another rule's name shares it as well.
    Set(AddRule(kUserTable, "Renamed"), "SecCheckId", "Failed log-in");
    const std::string strAttack = AddRule(kCorrelation, "Password attack");
    Set(strAttack, "Type", "CUMULATIVE");
    Set(strAttack + "\\Rules", "Failed su", "2");
    Set(strAttack + "\\Rules", "Failed log-in", "1");

    const std::vector<std::string> said = Load();

    // The host keeps the event handed over last, the user table's; the
    // correlation rule watches the rule read first.
    EXPECT_EQ(said, (std::vector<std::string>{
                        "Rules " + kTable + "\\Failed su and " + kUserTable +
                            "\\Failed su share the name \"Failed su\": the host cannot tell their alerts apart "
                            "and carries out the responses of " +
                            kUserTable + "\\Failed su for all of them; correlation rule " + strAttack +
                            " counts only the alerts of " + kTable + "\\Failed su",
                        "Rules " + kTable + "\\Failed log-in and " + kUserTable +
                            "\\Renamed share the name \"Failed log-in\": the host cannot tell their alerts apart "
                            "and carries out the responses of " +
                            kUserTable + "\\Renamed for all of them; correlation rule " + strAttack +
                            " counts only the alerts of " + kTable + "\\Failed log-in"}));
    EXPECT_EQ(m_Services.Lines()[0].dwLevel, kCSFLogWarning | kCSFLogConsoleFlag);
}
