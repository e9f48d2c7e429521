// The decoy engine's rules, ports and thread, on free loopback ports.

#include "Decoy/CEngineDecoy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Common/AlertTypes.h"
#include "Common/FakeSensorCore.h"
#include "DecoyTestSupport.h"
#include "hostwarden/IPolicyContainer.h"
#include "platform/DebugOutput.h"
#include "platform/Descriptors.h"
#include "qorCSFLib/CSFLog.h"
#include "support/ConsoleCapture.h"
#include "support/DescriptorSqueeze.h"
#include "support/EngineEnd.h"
#include "support/NamespacedHost.h"

using decoytest::Client;

namespace {

constexpr const char kTable[] = "\\Advanced\\Rules\\Suspicious Port Rules\\";

// Counts the engine's wakes that found a port ready, from its debug trace,
// while in scope.
class WakeCounter {
public:
    WakeCounter() {
        SetDebugLoggingEnabled(true);
        m_Previous = plat::SetDebugOutputSink([this](std::string_view text) {
            if (text.find("connect on port ") != std::string_view::npos) {
                ++m_nWakes;
            }
        });
    }
    ~WakeCounter() {
        SetDebugLoggingEnabled(false);
        plat::SetDebugOutputSink(std::move(m_Previous));
    }
    WakeCounter(const WakeCounter&) = delete;
    WakeCounter& operator=(const WakeCounter&) = delete;
    size_t Wakes() const { return m_nWakes.load(); }

private:
    std::atomic<size_t> m_nWakes{0};
    plat::DebugOutputSink m_Previous;
};

class DecoyEngineTest : public ::testing::Test {
protected:
    DecoyEngineTest() : m_pPolicy(CreatePluginPolicyContainer()) {
        m_Sensor.m_pPolicy = m_pPolicy;
        CEngineDecoy::SetFirstRunWaitMs(0);
        DecoyDestination::SetRefusalEnd(0);
        m_pEngine = std::make_unique<CEngineDecoy>();
    }
    ~DecoyEngineTest() override {
        hwtest::EndEngine(m_pEngine);
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
        ASSERT_EQ(m_pEngine->Oninit(0), 0);
        ASSERT_EQ(m_pEngine->OnStart(0), 0);
    }
    void Pause() {
        m_pEngine->OnPauseInit(0);
        m_pEngine->OnPause(0);
    }
    // A reload's pause, which leaves the ports open, and its resume.
    void PauseForReload() {
        m_pEngine->OnPauseInit(CEngineBase::kReloadArgument);
        m_pEngine->OnPause(CEngineBase::kReloadArgument);
    }
    void ReloadAndResume() {
        ASSERT_EQ(m_pEngine->OnReloadPolicy(CEngineBase::kReloadArgument), 0);
        m_pEngine->OnResume(CEngineBase::kReloadArgument);
    }
    // The engine running with one rule's port open; the port.
    uint16_t StartOnOnePort(const char* pszRule) {
        const uint16_t wPort = hwtest::FreeLoopbackPort(false);
        AddRule(pszRule, wPort);
        Start();
        EXPECT_TRUE(WaitForRun(1));
        return wPort;
    }
    // Each thread run announces the ports it opened.
    bool WaitForRun(size_t nRun) {
        return hwtest::WaitUntil(
            [&] { return hwtest::CountOf(m_Console.Text(), "Now waiting") == nRun; }, 10);
    }
    bool WaitForReports(size_t nCount) {
        return hwtest::WaitUntil([&] { return m_Sensor.ReportedCount() >= nCount; });
    }
    std::vector<std::string> LostAtStop() { return m_HostLog.m_Services.LostAtStop(); }

    FakeSensorCore m_Sensor;
    ScopedHostLog m_HostLog;
    hwtest::ConsoleCapture m_Console;
    IPolicyContainer* m_pPolicy;
    std::unique_ptr<CEngineDecoy> m_pEngine;
};

}  // namespace

TEST_F(DecoyEngineTest, RuleWithoutAPortOrWithANonTcpPortIsDropped) {
    AddRule("Good", 2323);
    AddRule("User", 4444, "\\Advanced\\userdefinedsignatures\\Suspicious Port Rules\\");
    const std::pair<int32_t, const char*> kRefused[] = {
        {-2, "no port number defined for rule Port -2"},
        {-1, "no port number defined for rule Port -1"},
        {0, "invalid port number (0) defined for rule Port 0"},
        {70000, "invalid port number (70000) defined for rule Port 70000"},
        {-5, "invalid port number (-5) defined for rule Port -5"}};
    for (const auto& [nPort, pszMessage] : kRefused) {
        AddRule("Port " + std::to_string(nPort), nPort);
    }
    ASSERT_EQ(m_pEngine->OnReloadPolicy(0), 0);
    std::vector<std::string> names;
    for (Rule* pRule : *m_pEngine->GetRuleContainer()) {
        names.push_back(pRule->GetName());
        EXPECT_EQ(pRule->GetAlertType(), kAlertSuspectPortConnection);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Good", "User"}));
    for (const auto& [nPort, pszMessage] : kRefused) {
        EXPECT_TRUE(m_HostLog.Contains(pszMessage)) << pszMessage;
    }
}

TEST_F(DecoyEngineTest, EveryPortIsWatchedBeyondSixtyFourAndASecondRuleOnAPortRaisesNothing) {
    std::set<uint16_t> ports;
    while (ports.size() < 70) {
        ports.insert(hwtest::FreeLoopbackPort(false));
    }
    const std::string strFirst = std::to_string(*ports.begin());
    for (uint16_t wPort : ports) {
        AddRule("Decoy " + std::to_string(wPort), wPort);
        if (wPort == *ports.begin()) {
            AddRule("Again", wPort);
        }
    }
    Start();
    ASSERT_TRUE(WaitForRun(1));
    EXPECT_EQ(m_pEngine->GetOpenPortCount(), 70);
    EXPECT_TRUE(m_Console.Contains("Now waiting for connections on ports: " + strFirst + ", " +
                                   std::to_string(*std::next(ports.begin())) + ", "));
    EXPECT_TRUE(m_HostLog.Contains("Port " + strFirst + " already in use on system.\n"));
    // The ports ready in a pass are served in table order: a connection left
    // by probing the first port would be reported before this one.
    const uint16_t wLast = *ports.rbegin();
    Client client(wLast);
    ASSERT_TRUE(WaitForReports(1));
    auto reported = m_Sensor.TakeReported();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0]->m_nDestinationPort, wLast);
}

TEST_F(DecoyEngineTest, PauseCutsTheFirstWaitShortAndReloadClosesHeldConnections) {
    const uint16_t wPort = hwtest::FreeLoopbackPort(false);
    AddRule("Held", wPort);
    // The first run of the process waits before it opens any port; a pause
    // cuts the wait short, and the resumed run opens the ports at once.
    CEngineDecoy::ResetFirstRun();
    CEngineDecoy::SetFirstRunWaitMs(CEngineDecoy::kFirstRunWaitMs);
    Start();
    ASSERT_TRUE(hwtest::WaitUntil([] { return !CEngineDecoy::IsFirstRunPending(); }));
    Pause();
    EXPECT_EQ(m_pEngine->GetOpenPortCount(), 0);
    m_pEngine->OnResume(0);
    ASSERT_TRUE(WaitForRun(1));

    auto pHeld = std::make_unique<Client>(wPort);
    ASSERT_TRUE(WaitForReports(1));
    Pause();
    EXPECT_EQ(pHeld->Look(), Client::State::kOpen);
    // A reload drops the held connections with the destination.
    ASSERT_EQ(m_pEngine->OnReloadPolicy(0), 0);
    EXPECT_TRUE(hwtest::WaitUntil([&] { return pHeld->Look() == Client::State::kClosed; }));
    m_pEngine->OnResume(0);
    ASSERT_TRUE(WaitForRun(2));
    pHeld = std::make_unique<Client>(wPort);
    EXPECT_TRUE(WaitForReports(2));
}

// Connections still waiting on a port when it closes (made while the engine
// was paused, or not yet taken at a stop) are reset without an alert, and
// the log counts them rather than letting them go without a word.
TEST_F(DecoyEngineTest, ConnectionsWaitingOnAClosingPortAreResetAndCounted) {
    const uint16_t wPort = hwtest::FreeLoopbackPort(false);
    AddRule("Waiting", wPort);
    Start();
    ASSERT_TRUE(WaitForRun(1));
    std::vector<std::unique_ptr<Client>> clients;
    const auto ConnectWhilePaused = [&](size_t nCount) {
        Pause();
        clients.clear();
        for (size_t n = 0; n < nCount; ++n) {
            clients.push_back(std::make_unique<Client>(wPort));
            ASSERT_TRUE(clients.back()->IsConnected());
        }
    };
    const auto ExpectAllReset = [&] {
        for (const auto& pClient : clients) {
            EXPECT_TRUE(
                hwtest::WaitUntil([&] { return pClient->Look() == Client::State::kReset; }));
        }
    };

    ASSERT_NO_FATAL_FAILURE(ConnectWhilePaused(3));
    m_pEngine->OnResume(0);
    ASSERT_TRUE(WaitForRun(2));
    EXPECT_TRUE(m_HostLog.Contains(
        "Decoy Engine reset 3 connections waiting on its ports after a pause, without an alert"));
    ExpectAllReset();

    // Stopped while paused: what came during the pause is refused as at a
    // resume, and the stop's tally counts it.
    ASSERT_NO_FATAL_FAILURE(ConnectWhilePaused(2));
    m_pEngine->OnStopInit(0);
    m_pEngine->OnStop(0);
    EXPECT_TRUE(m_HostLog.Contains(
        "Decoy Engine reset 2 connections waiting on its ports at a stop, without an alert"));
    EXPECT_EQ(LostAtStop(), (std::vector<std::string>{"Lost at the stop: 2 decoy connections left in the backlog"}));
    ExpectAllReset();
    EXPECT_EQ(m_Sensor.ReportedCount(), 0u);
}

// Connections made before the stop, or before the host's pause, that the
// thread had not taken when it ended are still in the port's backlog: the
// stop and the pause take each one, an alert each, rather than resetting
// them without one.  What the stop's share leaves is reset and counted in
// the stop's tally.
TEST_F(DecoyEngineTest, ConnectionsInTheBacklogAtTheStopOrThePauseAreEachAnAlert) {
    const uint16_t wPort = StartOnOnePort("Backlog");
    const auto ConnectAfterTheThreadWasTold = [&](size_t nCount) {
        std::vector<std::unique_ptr<Client>> clients = Client::Burst(wPort, nCount);
        for (const auto& pClient : clients) {
            EXPECT_TRUE(pClient->IsConnected());
        }
        return clients;
    };

    // Told to pause, the thread takes nothing more: what comes meanwhile is
    // the pause's to take.
    m_pEngine->OnPauseInit(0);
    auto clients = ConnectAfterTheThreadWasTold(5);
    m_pEngine->OnPause(0);
    EXPECT_EQ(m_Sensor.ReportedCount(), 5u);
    m_pEngine->OnResume(0);
    ASSERT_TRUE(WaitForRun(2));
    EXPECT_FALSE(m_HostLog.Contains(
        "Decoy Engine reset 5 connections waiting on its ports after a pause, without an alert"));

    m_pEngine->OnStopInit(0);
    clients = ConnectAfterTheThreadWasTold(20);
    m_pEngine->OnStop(0);
    EXPECT_EQ(m_Sensor.ReportedCount(), 25u);
    EXPECT_TRUE(LostAtStop().empty());
    for (const auto& pReported : m_Sensor.TakeReported()) {
        EXPECT_EQ(pReported->m_nDestinationPort, wPort);
    }
}

TEST_F(DecoyEngineTest, WhatTheStopsShareLeavesInTheBacklogIsResetAndCounted) {
    const uint16_t wPort = StartOnOnePort("Backlog");
    m_pEngine->SetTakeAtEnd(std::chrono::milliseconds(0));
    m_pEngine->OnStopInit(0);
    std::vector<std::unique_ptr<Client>> clients = Client::Burst(wPort, 7);
    m_pEngine->OnStop(0);
    EXPECT_EQ(m_Sensor.ReportedCount(), 0u);
    EXPECT_TRUE(m_HostLog.Contains(
        "Decoy Engine reset 7 connections waiting on its ports at a stop, without an alert"));
    EXPECT_EQ(LostAtStop(), (std::vector<std::string>{"Lost at the stop: 7 decoy connections left in the backlog"}));
}

// A stop that comes after a reload read its policy and before the resume
// finds the ports without their rules: what waits on them has no rule to
// be an alert of, and is reset and counted, never taken in silence.
TEST_F(DecoyEngineTest, StopBeforeAReloadsResumeCountsWhatWaitsOnThePorts) {
    const uint16_t wPort = StartOnOnePort("Reloaded");
    PauseForReload();
    std::vector<std::unique_ptr<Client>> clients = Client::Burst(wPort, 4);
    ASSERT_EQ(m_pEngine->OnReloadPolicy(CEngineBase::kReloadArgument), 0);
    m_pEngine->OnStopInit(0);
    m_pEngine->OnStop(0);
    EXPECT_EQ(m_Sensor.ReportedCount(), 0u);
    EXPECT_EQ(LostAtStop(), (std::vector<std::string>{"Lost at the stop: 4 decoy connections left in the backlog"}));
    for (const auto& pClient : clients) {
        EXPECT_TRUE(hwtest::WaitUntil([&] { return pClient->Look() == Client::State::kReset; }));
    }
}

// A reload keeps listening on the ports its rules still name: a connection
// made while the policy is read waits on its port and is an alert of the
// new rule after it, none is refused.  A port the new rules no longer name
// closes, and what waited on it is reset and counted, having no rule left
// to be reported with.
TEST_F(DecoyEngineTest, ReloadKeepsThePortsItsRulesStillNameAndTakesWhatWaitsOnThem) {
    const uint16_t wKept = hwtest::FreeLoopbackPort(false);
    const uint16_t wGone = hwtest::FreeLoopbackPort(false);
    AddRule("Kept", wKept);
    AddRule("Gone", wGone);
    Start();
    ASSERT_TRUE(WaitForRun(1));
    PauseForReload();
    Client during(wKept);
    Client removed(wGone);
    ASSERT_TRUE(during.IsConnected() && removed.IsConnected());
    const std::string strTable(kTable, sizeof kTable - 2);
    ASSERT_TRUE(m_pPolicy->DeleteSubKey(strTable.c_str(), "Gone"));
    AddRule("Renamed", wKept);
    const std::string strKept = std::string(kTable) + "Kept";
    const bool bOff = false;
    m_pPolicy->SetBool(strKept.c_str(), "Enabled", &bOff);
    ASSERT_NO_FATAL_FAILURE(ReloadAndResume());
    ASSERT_TRUE(WaitForRun(2));
    ASSERT_TRUE(WaitForReports(1));
    auto reported = m_Sensor.TakeReported();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0]->GetRule()->GetName(), "Renamed");
    EXPECT_EQ(reported[0]->m_nDestinationPort, wKept);
    EXPECT_EQ(during.Look(), Client::State::kOpen);
    EXPECT_TRUE(hwtest::WaitUntil([&] { return removed.Look() == Client::State::kReset; }));
    EXPECT_TRUE(m_HostLog.Contains(
        "Decoy Engine reset 1 connection waiting on its ports that the reload closed, without an alert"));
    EXPECT_EQ(m_pEngine->GetOpenPortCount(), 1);
    // The port went on listening: the next connection is the new rule's.
    Client after(wKept);
    ASSERT_TRUE(WaitForReports(1));
    EXPECT_EQ(m_Sensor.TakeReported().at(0)->GetRule()->GetName(), "Renamed");
}

// The summary names as watched only the ports the engine opened: before the
// first opening it says when they open, while paused that they open at the
// resume, and once they are opened it names each port it could not open
// (another program's, or a second rule's) with the reason.  Each such port
// is said once per opening, as an error, however often the summary is made.
TEST_F(DecoyEngineTest, SummaryNamesOnlyOpenedPortsAndEachPortNotOpenedOnce) {
    const uint16_t wHeld = hwtest::FreeLoopbackPort(false);
    decoytest::Listener other(wHeld);
    ASSERT_TRUE(other.IsListening());
    const uint16_t wFree = hwtest::FreeLoopbackPort(false);
    const std::string strHeld = std::to_string(wHeld);
    const std::string strFree = std::to_string(wFree);
    AddRule("Held", wHeld);
    AddRule("Free", wFree);
    AddRule("Again", wFree);
    CEngineDecoy::ResetFirstRun();
    CEngineDecoy::SetFirstRunWaitMs(CEngineDecoy::kFirstRunWaitMs);
    Start();
    std::string strInput;
    EXPECT_TRUE(m_pEngine->DescribeInput(strInput));
    EXPECT_EQ(strInput, "TCP ports " + strHeld + ", " + strFree +
                            ", not open yet: they open 20 s after start-up");
    Pause();
    EXPECT_TRUE(m_pEngine->DescribeInput(strInput));
    EXPECT_EQ(strInput,
              "TCP ports " + strHeld + ", " + strFree + ", opened when the engine resumes");

    m_pEngine->OnResume(0);
    EXPECT_TRUE(m_pEngine->DescribeInput(strInput));
    EXPECT_EQ(0u, strInput.find("TCP port " + strFree + "; not opened: " + strHeld +
                                " (rule Held: in use by "))
        << strInput;
    EXPECT_NE(std::string::npos,
              strInput.find("; rule Again not watched: port " + strFree + " is rule Free's"))
        << strInput;
    EXPECT_TRUE(m_pEngine->DescribeInput(strInput));
    const std::string strHeldSaid =
        "Decoy rule Held: TCP port " + strHeld + " is not watched: it is in use by ";
    const std::string strAgainSaid = "Decoy rule Again: TCP port " + strFree +
                                     " is not watched: rule Free listens on it";
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), "ERROR: " + strHeldSaid)) << m_Console.Text();
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), "ERROR: " + strAgainSaid)) << m_Console.Text();
    EXPECT_EQ(1u, m_HostLog.m_Services.CountStartingWith(strHeldSaid));
    // A connection to the shared port is the first rule's.
    Client client(wFree);
    ASSERT_TRUE(WaitForReports(1));
    auto reported = m_Sensor.TakeReported();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0]->GetRule()->GetName(), "Free");

    // Left with only the port another program holds, the engine has no
    // input; the next opening says so again.
    Pause();
    const std::string strTable(kTable, sizeof kTable - 2);
    ASSERT_TRUE(m_pPolicy->DeleteSubKey(strTable.c_str(), "Free"));
    ASSERT_TRUE(m_pPolicy->DeleteSubKey(strTable.c_str(), "Again"));
    ASSERT_EQ(m_pEngine->OnReloadPolicy(0), 0);
    m_pEngine->OnResume(0);
    EXPECT_FALSE(m_pEngine->DescribeInput(strInput));
    EXPECT_EQ(0u, strInput.find("TCP port not opened: " + strHeld + " (rule Held: in use by "))
        << strInput;
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] { return hwtest::CountOf(m_Console.Text(), "ERROR: " + strHeldSaid) == 2; }))
        << m_Console.Text();
}

// A scanner's burst: the port's backlog holds it while the engine is busy
// elsewhere (here: a reload), and the wake that finds the port ready takes
// every connection waiting on it, each one alert.
TEST_F(DecoyEngineTest, BurstWaitingOnAPortIsTakenAtOneWakeEachOneAlert) {
    constexpr size_t kBurst = 50;
    const uint16_t wPort = StartOnOnePort("Burst");
    PauseForReload();
    const auto clients = Client::Burst(wPort, kBurst);
    std::set<uint16_t> peers;
    for (const auto& pClient : clients) {
        if (pClient->IsConnected()) {
            peers.insert(pClient->LocalPort());
        }
    }
    EXPECT_EQ(peers.size(), kBurst) << "handshakes completed";
    WakeCounter wakes;
    ASSERT_NO_FATAL_FAILURE(ReloadAndResume());
    ASSERT_TRUE(WaitForReports(peers.size())) << m_Sensor.ReportedCount();
    for (const auto& pReported : m_Sensor.TakeReported()) {
        EXPECT_EQ(peers.erase(static_cast<uint16_t>(pReported->m_nSourcePort)), 1u)
            << pReported->m_nSourcePort;
    }
    EXPECT_TRUE(peers.empty());
    EXPECT_EQ(wakes.Wakes(), 1u);
}

// A connection that cannot be taken (no descriptor left, not even the
// engine's spare) stays waiting on its port, which stays ready: the engine
// looks at it again after a pass instead of at once, over and over, and
// takes it, one alert, once a descriptor is free.
TEST_F(DecoyEngineTest, ConnectionThatCannotBeTakenIsTriedAgainEachPassNotInALoop) {
    plat::RaiseDescriptorLimit();
    const uint16_t wPort = StartOnOnePort("Short");
    // The spare is the engine thread's: it is let go while the thread is
    // not running, and the resumed thread finds no descriptor to take again.
    PauseForReload();
    m_pEngine->GetSpare().Release();
    auto pClient = Client::Unconnected(wPort);
    WakeCounter wakes;
    {
        hwtest::DescriptorSqueeze squeeze(8);
        ASSERT_TRUE(squeeze.IsLowered());
        squeeze.TakeAll();
        pClient->Connect();
        ASSERT_NO_FATAL_FAILURE(ReloadAndResume());
        ASSERT_TRUE(hwtest::WaitUntil([&] { return wakes.Wakes() >= 1; }));
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LE(wakes.Wakes(), static_cast<size_t>(seconds) + 2) << "over " << seconds << " s";
        EXPECT_EQ(m_Sensor.ReportedCount(), 0u);
    }
    EXPECT_TRUE(WaitForReports(1));
    EXPECT_EQ(pClient->Look(), Client::State::kOpen);
}

// A stop whose thread is still taking connections past its bound (a slow
// hand-over of the alerts, a starved machine) leaves the ports and the
// destination to that thread: the engine is said to be left running, and
// nothing it still uses is closed or freed under it.  The thread goes on
// with every connection it took, and ends in its own time.
TEST_F(DecoyEngineTest, StopThatLeavesTheThreadRunningLeavesItsPortsToIt) {
    const uint16_t wFirst = hwtest::FreeLoopbackPort(false);
    const uint16_t wSecond = hwtest::FreeLoopbackPort(false);
    AddRule("Slow one", wFirst);
    AddRule("Slow two", wSecond);
    Start();
    ASSERT_TRUE(WaitForRun(1));
    m_Sensor.m_nDeliveryMicros = 600000;
    // Both ports ready at one wake: the thread hands the first port's alert
    // over while the stop gives up on it, and then goes to the second port.
    // The reload's pause has the usual bound (its thread, with nothing to
    // hand over, ends at once, however loaded the machine); only the stop's
    // is short.
    PauseForReload();
    ASSERT_FALSE(m_pEngine->IsRunning());
    const auto first = Client::Burst(wFirst, 2);
    const auto second = Client::Burst(wSecond, 2);
    WakeCounter wakes;
    ASSERT_NO_FATAL_FAILURE(ReloadAndResume());
    ASSERT_TRUE(hwtest::WaitUntil([&] { return wakes.Wakes() >= 1; }));
    m_pEngine->SetStopBound(100);
    m_pEngine->OnStopInit(0);
    EXPECT_NE(m_pEngine->OnStop(0), 0);
    EXPECT_TRUE(m_Console.Contains("did not end within 100 ms of its stop"));
    // What the thread reads after its hand-over is still there.
    const ListeningPort* pPort = m_pEngine->GetPort(1);
    ASSERT_NE(pPort, nullptr);
    EXPECT_TRUE(pPort->IsOpen());
    ASSERT_TRUE(hwtest::AwaitEngineEnd(*m_pEngine));
    EXPECT_GE(m_Sensor.ReportedCount(), 1u);
    EXPECT_TRUE(LostAtStop().empty());
}
