// Connections on a decoy port as the destination handles them: real
// loopback connections, the decoy clock moved by hand.

#include "Decoy/DecoyDestination.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Common/AlertTypes.h"
#include "Common/FakeSensorCore.h"
#include "Common/InputBounds.h"
#include "Common/SensorSettings.h"
#include "Decoy/CEngineDecoy.h"
#include "Decoy/DecoyedTCPCnxn.h"
#include "DecoyTestSupport.h"
#include "qorCSFLib/FakeHost.h"
#include "platform/Descriptors.h"
#include "support/DescriptorSqueeze.h"
#include "support/ManualReportTime.h"
#include "support/TestUtil.h"

using decoytest::Client;
using decoytest::ManualClock;

namespace {

class DecoyDestinationTest : public ::testing::Test {
protected:
    DecoyDestinationTest() : m_Saved(SensorSettings::Instance()) {
        DecoyDestination::SetRefusalEnd(0);
        m_Destination.SetEngine(&m_Engine);
    }
    ~DecoyDestinationTest() override { SensorSettings::Instance() = m_Saved; }

    // A decoy port on a free loopback port.
    ListeningPort& Listen(const char* pszRule) {
        m_Rules.push_back(decoytest::MakeRule(pszRule, hwtest::FreeLoopbackPort(false)));
        m_Ports.push_back(std::make_unique<ListeningPort>());
        m_Ports.back()->m_pRule = m_Rules.back().get();
        m_Ports.back()->m_wPort = m_Rules.back()->GetPort();
        EXPECT_EQ(m_Ports.back()->Open(), 1);
        return *m_Ports.back();
    }
    // A client of the port, handed on as the engine would.
    std::unique_ptr<Client> Connect(ListeningPort& port, DecoyDestination* pDestination = nullptr) {
        auto pClient = std::make_unique<Client>(port.m_wPort);
        EXPECT_TRUE(pClient->IsConnected());
        EXPECT_EQ((pDestination ? pDestination : &m_Destination)->Accept(&port, ManualClock::Now()), 0);
        return pClient;
    }
    void Limit(int32_t nMaxConnections, int32_t nBlackout) {
        SensorSettings::Instance().m_nMaxConnections = nMaxConnections;
        SensorSettings::Instance().m_nBlackoutPeriod = nBlackout;
    }
    bool WaitFor(Client& client, Client::State state) {
        return hwtest::WaitUntil([&] { return client.Look() == state; });
    }
    size_t Held() { return m_Destination.GetContainer().GetCount(); }

    SensorSettings m_Saved;
    ManualClock m_Clock;
    FakeSensorCore m_Sensor;
    std::vector<std::unique_ptr<CDecoyRule>> m_Rules;
    std::vector<std::unique_ptr<ListeningPort>> m_Ports;
    CEngineDecoy m_Engine;
    DecoyDestination m_Destination;
};

}  // namespace

TEST_F(DecoyDestinationTest, AcceptedConnectionIsHeldSilentAndReportedWithBothEnds) {
    ListeningPort& port = Listen("Telnet decoy");
    auto pClient = Connect(port);
    auto reported = m_Sensor.TakeReported();
    ASSERT_EQ(reported.size(), 1u);
    auto* pEvent = dynamic_cast<DecoyEvent*>(reported[0].get());
    ASSERT_NE(pEvent, nullptr);
    EXPECT_EQ(pEvent->GetRule(), port.m_pRule);
    EXPECT_EQ(pEvent->GetAlertType(), kAlertSuspectPortConnection);
    EXPECT_STREQ(pEvent->GetSourceAddressText(), "127.0.0.1");
    EXPECT_EQ(pEvent->m_nSourcePort, pClient->LocalPort());
    EXPECT_STREQ(pEvent->GetDestinationAddressText(), "127.0.0.1");
    EXPECT_EQ(pEvent->m_nDestinationPort, port.m_wPort);
    EXPECT_TRUE(pEvent->m_bSourceAddressSet && pEvent->m_bDestinationAddressSet &&
                pEvent->m_bIANAProtocolIdSet);
    EXPECT_EQ(pEvent->m_dwIANAProtocolId, 6u);
    EXPECT_EQ(pEvent->m_nAttackSuccessful, 0);
    EXPECT_EQ(pEvent->GetAttackOrigin().value_or(""), "IPAddr: 127.0.0.1");
    DecoyedTCPCnxn* pHeld = m_Destination.FindConnection(pEvent->m_hSocket);
    ASSERT_NE(pHeld, nullptr);
    EXPECT_EQ(pEvent->m_pYieldable, static_cast<YieldableCnxn*>(pHeld));
    EXPECT_EQ(pHeld->TimeLeft(ManualClock::Now()), 60);
    // What the peer sends is never read, and nothing is sent back.
    EXPECT_TRUE(pClient->Send(std::string(10000, 'x')));
    EXPECT_EQ(pClient->Look(), Client::State::kOpen);
}

TEST_F(DecoyDestinationTest, FullCapResetsEveryPortForTheBlackoutAndExpiredHoldsCloseOnTheNextConnection) {
    Limit(2, 30);
    ListeningPort& port = Listen("Capped");
    ListeningPort& other = Listen("Other");
    auto pOne = Connect(port);
    auto pTwo = Connect(port);
    EXPECT_TRUE(WaitFor(*Connect(port), Client::State::kReset));
    // The blackout runs from the connection that found the cap full, on
    // every decoy port.
    ManualClock::Advance(29);
    EXPECT_TRUE(WaitFor(*Connect(other), Client::State::kReset));
    EXPECT_EQ(Held(), 2u);
    EXPECT_EQ(m_Sensor.TakeReported().size(), 2u);
    // Holds and blackout over: only the next connection prunes both, and it
    // is taken.
    ManualClock::Advance(32);
    EXPECT_EQ(m_Destination.GetTimeoutMs(), 0);
    EXPECT_EQ(pOne->Look(), Client::State::kOpen);
    auto pFive = Connect(other);
    EXPECT_TRUE(WaitFor(*pOne, Client::State::kClosed));
    EXPECT_EQ(Held(), 1u);
    EXPECT_EQ(m_Sensor.TakeReported().size(), 1u);
    EXPECT_EQ(pFive->Look(), Client::State::kOpen);
}

TEST_F(DecoyDestinationTest, ZeroBlackoutNeverRefusesAndZeroCapRefusesEverything) {
    Limit(1, 0);
    ListeningPort& port = Listen("Open door");
    auto pHolding = std::make_unique<DecoyDestination>();
    pHolding->SetEngine(&m_Engine);
    std::vector<std::unique_ptr<Client>> clients;
    for (int n = 0; n < 3; ++n) {
        clients.push_back(Connect(port, pHolding.get()));
    }
    EXPECT_EQ(pHolding->GetContainer().GetCount(), 3u);
    Limit(0, 60);
    EXPECT_TRUE(WaitFor(*Connect(port), Client::State::kReset));
    EXPECT_EQ(m_Sensor.TakeReported().size(), 3u);
}

// The engine takes what waits on a port until none is left, so finding
// none is how every turn ends: it is told apart from a failure, and said
// nowhere.
TEST_F(DecoyDestinationTest, RefusedConnectionIsResetAndNotReportedAndNoneLeftIsNoFailure) {
    ScopedHostLog log;
    ListeningPort& port = Listen("Paused");
    Client client(port.m_wPort);
    ASSERT_EQ(m_Destination.Reject(&port, ManualClock::Now()), 0);
    EXPECT_TRUE(WaitFor(client, Client::State::kReset));
    EXPECT_EQ(m_Destination.Reject(&port, ManualClock::Now()), DecoyDestination::kNoneWaiting);
    EXPECT_EQ(m_Destination.Accept(&port, ManualClock::Now()), DecoyDestination::kNoneWaiting);
    EXPECT_EQ(Held(), 0u);
    EXPECT_TRUE(m_Sensor.TakeReported().empty());
    EXPECT_TRUE(log.m_Services.Texts().empty()) << ::testing::PrintToString(log.m_Services.Texts());
}

// A host looping connects decides how often an accept fails (here: on a
// socket that does not listen).  Every connection taken is still reported,
// but the failures log so many lines a minute, and the next line after the
// minute counts those left out.
TEST_F(DecoyDestinationTest, FailedAcceptsAreLoggedSoManyAMinuteWhileEveryConnectionIsReported) {
    ScopedHostLog log;
    hwtest::ManualReportTime time;
    Limit(1000, 60);
    ListeningPort& port = Listen("Looped");
    ListeningPort broken;
    broken.m_pRule = port.m_pRule;
    broken.m_wPort = port.m_wPort;
    broken.m_hSocket = plat::OpenTcpSocket();
    std::vector<std::unique_ptr<Client>> clients;
    constexpr unsigned kRounds = 50;
    for (unsigned n = 0; n < kRounds; ++n) {
        clients.push_back(Connect(port));
        EXPECT_EQ(m_Destination.Accept(&broken, ManualClock::Now()), -1);
    }
    EXPECT_EQ(m_Sensor.TakeReported().size(), kRounds);
    const unsigned kLimit = DecoyedTCPCnxn::kFailureReportsPerMinute;
    EXPECT_EQ(log.m_Services.CountStartingWith("Error("), kLimit);
    EXPECT_EQ(log.m_Services.CountStartingWith("failed to accept connection"), kLimit);

    hwtest::ManualReportTime::Advance(60);
    EXPECT_EQ(m_Destination.Accept(&broken, ManualClock::Now()), -1);
    const std::string strLast = log.m_Services.Texts().at(log.m_Services.Texts().size() - 2);
    // The error's words come after its number, then the count.
    EXPECT_EQ(strLast.rfind("Error(", 0), 0u) << strLast;
    EXPECT_NE(strLast.find(") accepting connection ("), std::string::npos) << strLast;
    EXPECT_NE(strLast.find(") (" + std::to_string(kRounds - kLimit) +
                           " failed accepts were not reported before it)"),
              std::string::npos)
        << strLast;
    EXPECT_EQ(log.m_Services.Texts().back(), "failed to accept connection");
}

// Whoever connects decides how many connections the engine would hold, each
// with a descriptor: past what the process keeps free, a connection is
// still reported, then reset rather than held.  With no descriptor left at
// all, the engine's spare takes the connection; without a spare either, the
// line names the shortage and the connection waits, to be taken once a
// descriptor is free.  Nothing connects unreported.
TEST_F(DecoyDestinationTest, ShortOfDescriptorsAConnectionIsReportedAndResetOrNamedAndWaits) {
    ScopedHostLog log;
    InputBounds::Instance().ForgetForTest();
    plat::RaiseDescriptorLimit();
    Limit(1000, 60);
    ListeningPort& port = Listen("Short");
    std::vector<std::unique_ptr<Client>> clients;
    for (int n = 0; n < 6; ++n) {
        clients.push_back(std::make_unique<Client>(port.m_wPort));
    }
    ASSERT_TRUE(m_Engine.GetSpare().Take());
    const auto Reported = [&] { return m_Sensor.TakeReported().size(); };
    const auto Accept = [&] { return m_Destination.Accept(&port, ManualClock::Now()); };

    hwtest::DescriptorSqueeze squeeze(plat::DescriptorFloorFor(0));
    ASSERT_TRUE(squeeze.IsLowered());
    ASSERT_EQ(plat::GetDescriptorBudget().Spare(), 0u);
    EXPECT_EQ(Accept(), 0);
    EXPECT_EQ(Reported(), 1u);
    EXPECT_EQ(Held(), 0u) << "the floor is kept for what must not fail";
    EXPECT_TRUE(WaitFor(*clients[0], Client::State::kReset));

    squeeze.TakeAll();
    EXPECT_EQ(Accept(), 0);
    EXPECT_EQ(Accept(), 0);
    EXPECT_EQ(Reported(), 2u) << "each on the spare, taken again after";
    EXPECT_TRUE(m_Engine.GetSpare().IsHeld());
    EXPECT_TRUE(WaitFor(*clients[2], Client::State::kReset));
    EXPECT_EQ(log.m_Services.CountStartingWith("Error("), 0u);

    m_Engine.GetSpare().Release();
    squeeze.TakeAll();
    EXPECT_EQ(Accept(), -1);
    EXPECT_EQ(Reported(), 0u);
    EXPECT_TRUE(
        log.Contains("Error(10024) accepting connection: the process has no descriptor "
                     "left (Too many open files), so a connection waits on decoy port " +
                     std::to_string(port.m_wPort) + " until one is free"));
    EXPECT_EQ(clients[3]->Look(), Client::State::kOpen);

    // A port closing meets the same shortage: the spare resets what waits.
    squeeze.GiveBack();
    ASSERT_TRUE(m_Engine.GetSpare().Take());
    squeeze.TakeAll();
    EXPECT_EQ(port.ResetAllWaiting(10, &m_Engine.GetSpare()), 3u);
    EXPECT_TRUE(WaitFor(*clients[5], Client::State::kReset));
    EXPECT_TRUE(m_Engine.GetSpare().IsHeld());
    EXPECT_EQ(InputBounds::Instance().Describe(),
              std::vector<std::string>{
                  "Bound reached: decoy ports: at most 256 connections held, none into the "
                  "descriptors kept free; past that a connection is reported and reset at once; 3 "
                  "connections not held left out"});

    // With descriptors to spare again an accept needs no spare: the
    // shortage said is taken back from the host's findings.
    squeeze.GiveBack();
    clients.push_back(std::make_unique<Client>(port.m_wPort));
    EXPECT_TRUE(hwtest::WaitUntil([&] { return Accept() == 0; }));
    const std::vector<std::string> notices = log.m_Services.Notices();
    EXPECT_EQ(1, std::count(notices.begin(), notices.end(),
                            "3:Error(10024) accepting connection: the process has no descriptor left (Too many "
                            "open files), so a connection waits on decoy port " +
                                std::to_string(port.m_wPort) + " until one is free"))
        << ::testing::PrintToString(notices);
}

TEST_F(DecoyDestinationTest, ConnectionsPastTheHoldBoundAreReportedAndResetWhateverTheCap) {
    InputBounds::Instance().ForgetForTest();
    Limit(100000, 60);
    ListeningPort& port = Listen("Many");
    std::vector<std::unique_ptr<Client>> clients;
    for (uint32_t n = 0; n < DecoyDestination::kMaxHeld + 2; ++n) {
        clients.push_back(Connect(port));
    }
    EXPECT_EQ(Held(), DecoyDestination::kMaxHeld);
    EXPECT_EQ(m_Sensor.TakeReported().size(), DecoyDestination::kMaxHeld + 2);
    EXPECT_TRUE(WaitFor(*clients.back(), Client::State::kReset));
    EXPECT_EQ(clients.front()->Look(), Client::State::kOpen);
    ASSERT_EQ(InputBounds::Instance().Describe().size(), 1u);
    EXPECT_NE(InputBounds::Instance().Describe()[0].find("; 2 connections not held left out"),
              std::string::npos);

    // A load that changes the cap keeps the hold bound; one that leaves no
    // decoy port ends it.
    Limit(99999, 60);
    DecoyDestination::EndStaleBounds(true);
    EXPECT_EQ(InputBounds::Instance().Describe().size(), 1u);
    DecoyDestination::EndStaleBounds(false);
    EXPECT_TRUE(InputBounds::Instance().Describe().empty());
}

// The cap and its refusal period are a bound too: the refusals, which raise
// no alert, are said and counted.
TEST_F(DecoyDestinationTest, RefusalsOfTheCapAreSaidAndCounted) {
    ScopedHostLog log;
    InputBounds::Instance().ForgetForTest();
    Limit(1, 30);
    ListeningPort& port = Listen("Capped");
    auto pHeld = Connect(port);
    auto pRefused = Connect(port);
    auto pAlsoRefused = Connect(port);
    EXPECT_EQ(m_Sensor.TakeReported().size(), 1u);
    EXPECT_EQ(log.m_Services.CountStartingWith(InputBound::kPrefix), 1u);
    EXPECT_EQ(InputBounds::Instance().Describe(),
              std::vector<std::string>{
                  "Bound reached: decoy ports: at most 1 connections held (\"Max Connections\"), "
                  "then every connection refused without an alert for 30 s (\"BlackoutPeriod\"); 2 "
                  "connections refused left out"});

    // A load that keeps the cap and the period keeps their bound; one that
    // changes either ends it, and the finding it made.
    DecoyDestination::EndStaleBounds(true);
    EXPECT_EQ(InputBounds::Instance().Describe().size(), 1u);
    Limit(1, 31);
    DecoyDestination::EndStaleBounds(true);
    EXPECT_TRUE(InputBounds::Instance().Describe().empty());
    EXPECT_EQ(log.m_Services.Notices().back().rfind("3:Bound reached: decoy ports: at most 1 connections held", 0), 0u)
        << log.m_Services.Notices().back();
}
