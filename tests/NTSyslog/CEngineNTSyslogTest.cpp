#include "NTSyslog/CEngineNTSyslog.h"

#include <gtest/gtest.h>

#include <string>

#include "Common/AgentEventInfo.h"
#include "TextLogs/LogRuleFixture.h"
#include "TextLogs/TextLogRule.h"
#include "platform/Sockets.h"
#include "qorCSFLib/CSFSensor.h"
#include "support/TestUtil.h"

namespace {

uint32_t Address(const char* pszDotted) {
    uint32_t dwAddress = 0;
    plat::ParseIpv4Address(pszDotted, dwAddress);
    return dwAddress;
}

std::string Pair(const AgentEventInfo& record, const char* pszName) {
    std::string strValue = "<absent>";
    record.GetInfoPairValue(pszName, strValue);
    return strValue;
}

class SyslogEngineTest : public ::testing::Test, public LogRuleFixture {
protected:
    SyslogEngineTest() { m_FrameworkSensor.SetSensorAddress("192.0.2.7"); }
    ~SyslogEngineTest() override {
        m_pEngine.reset();
        m_Sensor.DeleteRules();
    }

    // An enabled syslog rule matching `pszPattern`, with information pairs.
    std::string AddSyslogRule(const char* pszName, const char* pszPattern,
                              std::vector<std::pair<const char*, const char*>> pairs = {}) {
        std::string strPath = AddRule(pszName, nullptr, nullptr);
        Set(strPath, "Regular Expression", pszPattern);
        for (const auto& pair : pairs) {
            Set(strPath + "\\Info", pair.first, pair.second);
        }
        return strPath;
    }
    void Start(uint16_t wPort = 0) {
        m_pEngine = std::make_unique<CEngineNTSyslog>();
        m_wPort = wPort != 0 ? wPort : hwtest::FreeLoopbackPort(true);
        m_pEngine->SetListenPort(m_wPort);
        m_Sensor.m_pPolicy = m_pPolicy;
        ASSERT_EQ(m_pEngine->Oninit(0), 0);
    }
    std::vector<std::unique_ptr<AgentEventInfo>> Parse(const char* pszText,
                                                      const char* pszSender = "198.51.100.9") {
        m_pEngine->ParseEntry(Address(pszSender), pszText);
        return m_Sensor.TakeReported();
    }
    bool PortIsFree() {
        plat::SocketHandle probe = plat::OpenUdpSocket();
        plat::Ipv4Endpoint any;
        any.m_wPort = plat::PortField(m_wPort);
        const bool bFree = plat::BindSocket(probe, any);
        plat::CloseSocket(probe);
        return bFree;
    }
    void Send(const std::string& strText) {
        plat::SocketHandle sender = plat::OpenUdpSocket();
        plat::Ipv4Endpoint target{Address("127.0.0.1"), plat::PortField(m_wPort)};
        plat::SendDatagram(sender, strText.data(), strText.size(), target);
        plat::CloseSocket(sender);
    }

    CSFSensor m_FrameworkSensor;
    std::unique_ptr<CEngineNTSyslog> m_pEngine;
    uint16_t m_wPort = 0;
};

}  // namespace

TEST_F(SyslogEngineTest, FieldTemplatesCountRunsOfBlanksAndPercentAsOneSeparator) {
    AddSyslogRule("Fields", "b",
                  {{"Two", "@Field2"}, {"Bare", "@Field"}, {"Letter", "@Fieldx"},
                   {"Negative", "@Field-3"}, {"Missing", "@Field9"}});
    Start();
    auto records = Parse("a  b%c");
    ASSERT_EQ(records.size(), 1u);
    const AgentEventInfo& record = *records[0];
    EXPECT_EQ(Pair(record, "Two"), "c");
    EXPECT_EQ(Pair(record, "Bare"), "a");
    EXPECT_EQ(Pair(record, "Letter"), "a");
    EXPECT_EQ(Pair(record, "Negative"), "a");
    // An absent field still gives its pair, empty.
    EXPECT_EQ(Pair(record, "Missing"), "");
    // The pair every syslog rule carries comes first.
    ASSERT_FALSE(record.GetInfoPairs().empty());
    EXPECT_EQ(record.GetInfoPairs()[0].m_strName, "Log Type");
    EXPECT_EQ(record.GetInfoPairs()[0].m_strValue, "Syslog");
}

TEST_F(SyslogEngineTest, NamedTemplatesGiveTheFixedTextsHostAndSender) {
    AddSyslogRule("Named", "login",
                  {{"File", "@File"}, {"Group", "@Group"}, {"Host", "@Host"}, {"Remote", "@Remote"},
                   {"User", "user {!} from"}, {"Literal", "constant"}});
    Start();
    auto records = Parse("login failed for user alice from host", "203.0.113.44");
    ASSERT_EQ(records.size(), 1u);
    const AgentEventInfo& record = *records[0];
    EXPECT_EQ(Pair(record, "File"), "Syslog Port");
    EXPECT_EQ(Pair(record, "Group"), "_QorDefaultLogGroupName");
    EXPECT_FALSE(Pair(record, "Host").empty());
    EXPECT_EQ(Pair(record, "Remote"), "203.0.113.44");
    EXPECT_EQ(Pair(record, "User"), "alice");
    EXPECT_EQ(Pair(record, "Literal"), "constant");
    // The sensor is the source; the sender is the destination.
    EXPECT_TRUE(record.m_bSourceAddressSet);
    EXPECT_EQ(record.m_dwSourceAddress, Address("192.0.2.7"));
    EXPECT_TRUE(record.m_bDestinationAddressSet);
    EXPECT_EQ(record.m_dwDestinationAddress, Address("203.0.113.44"));
}

TEST_F(SyslogEngineTest, AttackOriginThatFindsNothingIsLeftOutOtherPairsStayEmpty) {
    AddSyslogRule("Origin", "denied", {{"AttackOrigin", "from {!} port"}, {"Who", "by {!};"}});
    Start();
    auto records = Parse("access denied");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(Pair(*records[0], "AttackOrigin"), "<absent>");
    EXPECT_EQ(Pair(*records[0], "Who"), "");
    records = Parse("access denied from 10.1.2.3 port 22");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(Pair(*records[0], "AttackOrigin"), "10.1.2.3");
}

TEST_F(SyslogEngineTest, LongTextIsMatchedWholeButTemplatesSeeItsFirst1023Characters) {
    AddSyslogRule("Tail", "TAILMARK", {{"First", "@Field0"}, {"Second", "@Field1"}});
    Start();
    std::string strText(1500, 'x');
    strText += " TAILMARK";
    strText.resize(2000, 'y');
    auto records = Parse(strText.c_str());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(Pair(*records[0], "First"), std::string(1023, 'x'));
    EXPECT_EQ(Pair(*records[0], "Second"), "");
}

TEST_F(SyslogEngineTest, DatagramMatchingTwoRulesGivesTwoRecordsInRuleOrder) {
    AddSyslogRule("First", "su");
    AddSyslogRule("Second", "FAILED");
    AddSyslogRule("Third", "nomatch");
    Start();
    auto records = Parse("su: FAILED su for root");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]->GetRuleName(), "First");
    EXPECT_EQ(records[1]->GetRuleName(), "Second");
    EXPECT_TRUE(Parse("nothing here").empty());
}

TEST_F(SyslogEngineTest, WithoutAnEnabledRuleNothingListens) {
    std::string strPath = AddSyslogRule("Off", "x");
    Set(strPath, "Enabled", false);
    Start();
    EXPECT_TRUE(m_pEngine->GetActiveRules().empty());
    EXPECT_EQ(m_pEngine->OnStart(0), 0);
    EXPECT_NE(m_strConsole.find("No valid Syslog rules for NT. SyslogListener will not Start\n"),
              std::string::npos);
    EXPECT_TRUE(PortIsFree());
    EXPECT_FALSE(m_pEngine->IsRunning());
    EXPECT_EQ(m_pEngine->OnPauseInit(0), 0);
    EXPECT_EQ(m_pEngine->OnPause(0), 0);
    EXPECT_EQ(m_pEngine->OnResume(0), 0);
    EXPECT_TRUE(PortIsFree());
    EXPECT_EQ(m_pEngine->OnStopInit(0), 0);
    EXPECT_EQ(m_pEngine->OnStop(0), 0);
}

TEST_F(SyslogEngineTest, ReloadWithoutRulesClosesThePortAndTheFirstRuleOpensIt) {
    std::string strPath = AddSyslogRule("Toggle", "ping");
    Start();
    ASSERT_EQ(m_pEngine->OnStart(0), 0);
    ASSERT_FALSE(PortIsFree());

    m_pEngine->OnPauseInit(0);
    m_pEngine->OnPause(0);
    Set(strPath, "Enabled", false);
    m_Sensor.DeleteRules();
    m_pEngine->OnReloadPolicy(0);
    m_pEngine->OnResume(0);
    EXPECT_TRUE(m_pEngine->GetActiveRules().empty());
    EXPECT_TRUE(PortIsFree());
    EXPECT_FALSE(m_pEngine->IsRunning());

    m_pEngine->OnPauseInit(0);
    m_pEngine->OnPause(0);
    Set(strPath, "Enabled", true);
    m_pEngine->OnReloadPolicy(0);
    m_pEngine->OnResume(0);
    Send("ping");
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Sensor.ReportedCount() == 1; }));
}

// The demo's rules, as scripts/run uses them, against what su, sshd and
// login send through logger.
TEST_F(SyslogEngineTest, DemoRulesNameTheUserOfFailedSuAndLogIns) {
    const std::string strDemo = std::string(HW_SOURCE_DIR) + "/examples/demo/Default.policy";
    ASSERT_EQ(m_pPolicy->LoadFile(strDemo.c_str(), "", "", false), 0);
    Start();
    const struct {
        const char* pszText;
        const char* pszRule;
        const char* pszUser;
    } kCases[] = {
        {"<13>Dec  6 18:17:00 vm su: FAILED SU (to root) alice on pts/0", "Failed su", "alice"},
        {"<85>Dec  6 18:17:00 vm su[77]: pam_unix(su:auth): authentication failure; logname=bob "
         "uid=1000 euid=0 tty=pts/1 ruser=bob rhost=  user=root",
         "Failed su", "bob"},
        {"<38>Dec  6 18:17:00 vm sshd[42]: Failed password for invalid user mallory from "
         "203.0.113.5 port 52144 ssh2",
         "Failed log-in", "mallory"},
        {"<38>Dec  6 18:17:00 vm sshd[42]: Failed password for root from 203.0.113.5 port 2 ssh2",
         "Failed log-in", "root"},
        {"<13>Dec  6 18:17:00 vm login[9]: FAILED LOGIN (1) on '/dev/tty1' FOR 'carol', "
         "Authentication failure",
         "Failed log-in", "carol"},
    };
    for (const auto& item : kCases) {
        auto records = Parse(item.pszText);
        ASSERT_EQ(records.size(), 1u) << item.pszText;
        EXPECT_EQ(records[0]->GetRuleName(), item.pszRule);
        EXPECT_EQ(Pair(*records[0], "User"), item.pszUser) << item.pszText;
        EXPECT_EQ(Pair(*records[0], "Log Type"), "Syslog");
    }
    EXPECT_TRUE(Parse("<13>Dec  6 18:17:00 vm su: (to root) alice on pts/0").empty());
}
