// The decoy engine's rules, ports and thread, on free loopback ports.

#include "Decoy/CEngineDecoy.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Common/AlertTypes.h"
#include "Common/FakeSensorCore.h"
#include "Decoy/CDecoyRule.h"
#include "Decoy/InitializeDecoyRules.h"
#include "DecoyTestSupport.h"
#include "hostwarden/IPolicyContainer.h"
#include "support/ConsoleCapture.h"
#include "support/TestUtil.h"

using decoytest::Client;

namespace {

constexpr const char kTable[] = "\\Advanced\\Rules\\Suspicious Port Rules\\";
constexpr const char kUserTable[] = "\\Advanced\\userdefinedsignatures\\Suspicious Port Rules\\";

class DecoyEngineTest : public ::testing::Test {
protected:
    DecoyEngineTest() : m_pPolicy(CreatePluginPolicyContainer()) {
        m_Sensor.m_pPolicy = m_pPolicy;
        CEngineDecoy::SetFirstRunWaitMs(0);
        DecoyDestination::SetRefusalEnd(0);
    }
    ~DecoyEngineTest() override {
        m_pEngine.reset();
        m_Sensor.DeleteRules();
        m_pPolicy->Release();
    }

    // An enabled rule; a port of -2 leaves "Port" out.
    void AddRule(const std::string& strName, int32_t nPort, const char* pszTable = kTable) {
        const std::string strPath = pszTable + strName;
        const bool bEnabled = true;
        m_pPolicy->SetBool(strPath.c_str(), "Enabled", &bEnabled);
        m_pPolicy->SetText(strPath.c_str(), "Alert Type", "LoginEvent");
        if (nPort != -2) {
            m_pPolicy->SetInt(strPath.c_str(), "Port", &nPort);
        }
    }
    void Start() {
        m_pEngine = std::make_unique<CEngineDecoy>();
        ASSERT_EQ(m_pEngine->Oninit(0), 0);
        ASSERT_EQ(m_pEngine->OnStart(0), 0);
    }
    void Stop() {
        m_pEngine->OnStopInit(0);
        m_pEngine->OnStop(0);
    }
    bool WaitForOpenPorts(int32_t nCount) {
        return hwtest::WaitUntil([&] { return m_pEngine->GetOpenPortCount() == nCount; });
    }
    size_t Announcements() {
        const std::string strText = m_Console.Text();
        size_t nCount = 0;
        for (size_t at = strText.find("Now waiting"); at != std::string::npos;
             at = strText.find("Now waiting", at + 1)) {
            ++nCount;
        }
        return nCount;
    }
    bool WaitForReports(size_t nCount) {
        return hwtest::WaitUntil([&] { return m_Sensor.ReportedCount() >= nCount; });
    }

    FakeSensorCore m_Sensor;
    ScopedHostLog m_HostLog;
    hwtest::ConsoleCapture m_Console;
    IPolicyContainer* m_pPolicy;
    std::unique_ptr<CEngineDecoy> m_pEngine;
};

}  // namespace

TEST_F(DecoyEngineTest, RuleWithoutAPortOrWithANonTcpPortIsDropped) {
    AddRule("Good", 2323);
    AddRule("No port", -2);
    AddRule("Minus one", -1);
    AddRule("Zero", 0);
    AddRule("Too big", 70000);
    AddRule("Negative", -5);
    AddRule("User", 4444, kUserTable);
    m_pEngine = std::make_unique<CEngineDecoy>();
    ASSERT_EQ(m_pEngine->OnReloadPolicy(0), 0);
    std::vector<std::string> names;
    for (Rule* pRule : *m_pEngine->GetRuleContainer()) {
        names.push_back(pRule->GetName());
        // Whatever the policy says.
        EXPECT_EQ(pRule->GetAlertType(), kAlertSuspectPortConnection);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Good", "User"}));
    EXPECT_TRUE(m_HostLog.Contains("no port number defined for rule No port"));
    EXPECT_TRUE(m_HostLog.Contains("no port number defined for rule Minus one"));
    for (const char* pszName : {"(0) defined for rule Zero", "(70000) defined for rule Too big",
                                "(-5) defined for rule Negative"}) {
        EXPECT_TRUE(m_HostLog.Contains(std::string("invalid port number ") + pszName)) << pszName;
    }
}

TEST_F(DecoyEngineTest, SecondRuleOnAPortListensOnceAndRaisesNoAlertOfItsOwn) {
    const uint16_t wShared = hwtest::FreeLoopbackPort(false);
    uint16_t wOther = hwtest::FreeLoopbackPort(false);
    while (wOther == wShared) {
        wOther = hwtest::FreeLoopbackPort(false);
    }
    AddRule("First", wShared);
    AddRule("Second", wShared);
    AddRule("Other", wOther);
    Start();
    ASSERT_TRUE(WaitForOpenPorts(2));
    EXPECT_TRUE(m_HostLog.Contains("Port " + std::to_string(wShared) + " already in use on system.\n"));
    EXPECT_TRUE(m_Console.Contains("Now waiting for connections on ports: " +
                                   std::to_string(wShared) + ", " + std::to_string(wOther) + "\n"));
    // Every port ready in a pass is served in table order, so a connection
    // left by probing the shared port would be reported before this one.
    Client client(wOther);
    ASSERT_TRUE(WaitForReports(1));
    auto reported = m_Sensor.TakeReported();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0]->GetRuleName(), "Other");
    Stop();
}

TEST_F(DecoyEngineTest, EveryOpenPortIsWatchedBeyondSixtyFour) {
    std::set<uint16_t> ports;
    while (ports.size() < 70) {
        ports.insert(hwtest::FreeLoopbackPort(false));
    }
    int n = 0;
    for (uint16_t wPort : ports) {
        AddRule("Decoy " + std::to_string(n++), wPort);
    }
    Start();
    ASSERT_TRUE(WaitForOpenPorts(70));
    const uint16_t wLast = m_pEngine->GetPort(69)->m_wPort;
    Client client(wLast);
    ASSERT_TRUE(WaitForReports(1));
    EXPECT_EQ(m_Sensor.TakeReported().at(0)->m_nDestinationPort, wLast);
    Stop();
}

TEST_F(DecoyEngineTest, PauseReloadAndStopNeverWaitAndCloseWhatTheyMust) {
    const uint16_t wPort = hwtest::FreeLoopbackPort(false);
    AddRule("Held", wPort);
    // The first run of the process waits before opening any port; a pause
    // cuts the wait short, and the resumed run opens the ports at once.
    CEngineDecoy::ResetFirstRun();
    CEngineDecoy::SetFirstRunWaitMs(CEngineDecoy::kFirstRunWaitMs);
    Start();
    ASSERT_TRUE(hwtest::WaitUntil([] { return !CEngineDecoy::IsFirstRunPending(); }));
    m_pEngine->OnPauseInit(0);
    m_pEngine->OnPause(0);
    EXPECT_EQ(m_pEngine->GetOpenPortCount(), 0);
    m_pEngine->OnResume(0);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Announcements() == 1; }, 10));

    auto pHeld = std::make_unique<Client>(wPort);
    ASSERT_TRUE(WaitForReports(1));
    m_pEngine->OnPauseInit(0);
    m_pEngine->OnPause(0);
    EXPECT_EQ(pHeld->Look(), Client::State::kOpen);
    // A reload drops the held connections with the destination.
    ASSERT_EQ(m_pEngine->OnReloadPolicy(0), 0);
    EXPECT_TRUE(hwtest::WaitUntil([&] { return pHeld->Look() == Client::State::kClosed; }));
    m_pEngine->OnResume(0);

    // Connections held at a stop are closed, and so is the port.  The
    // resumed run opens its ports afresh: a client must wait for that.
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Announcements() == 2; }));
    pHeld = std::make_unique<Client>(wPort);
    ASSERT_TRUE(WaitForReports(2));
    Stop();
    EXPECT_TRUE(hwtest::WaitUntil([&] { return pHeld->Look() != Client::State::kOpen; }));
    EXPECT_FALSE(Client(wPort).IsConnected());
    EXPECT_EQ(m_pEngine->GetDestination(), nullptr);
}
