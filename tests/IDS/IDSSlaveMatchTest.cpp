// The slave's answers to the signature module: header callbacks through the
// firewall, matches to alert records on the master's queue, with the
// blocking the configuration asks for.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Common/AgentEventInfo.h"
#include "Common/InputBounds.h"
#include "IDS/CEngineIDSSlave.h"
#include "IDS/HWEventMatchNotify.h"
#include "IDS/IDSEventQueue.h"
#include "IDS/PolicyFixture.h"
#include "IDS/TestClock.h"
#include "qorZamSensorLib/IZamSensor.h"

namespace {

constexpr const char kMatchTuning[] = "\\config\\tuning";
constexpr uint32_t kInside = 0x0A010205;   // 10.1.2.5, in the listed /24
constexpr uint32_t kOutside = 0x0A080808;  // 10.8.8.8
constexpr uint32_t kBarred = 0x0A090909;   // 10.9.9.9, under the Bastion rules
constexpr uint32_t kVictim = 0xC0A80001;   // 192.168.0.1

// Answers every match with the interpretation the test set.
class TestNotify : public HWEventMatchNotify {
public:
    MatchInterpretation m_Interp;

protected:
    void Interpret(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                   MatchInterpretation& interp) override {
        interp = m_Interp;
    }
};

// Keeps what it is handed, like the module's coalescer, until the test
// plays its consolidated event back.
class TestCoalescer : public IZamCoalescer {
public:
    int32_t Process(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                    uint32_t, uint32_t, uint32_t, const char*, void* pRecord) override {
        if (!m_bTakes) {
            return 0;
        }
        m_Records.push_back(pRecord);
        return 1;
    }
    void Age(uint32_t) override {}
    void Flush() override {}
    IZamEventMatchNotify* GetEventMatchNotify() override { return nullptr; }
    int32_t SetParameter(const char* pszName, const char* pszValue) override {
        m_Parameters.push_back(std::string(pszName) + "=" + pszValue);
        return 0;
    }
    bool m_bTakes = true;
    std::vector<void*> m_Records;
    std::vector<std::string> m_Parameters;
};

std::string Pair(const AgentEventInfo& record, const char* pszName) {
    std::string strValue = "<none>";
    record.GetInfoPairValue(pszName, strValue);
    return strValue;
}

class IDSSlaveMatchTest : public ::testing::Test {
protected:
    IDSSlaveMatchTest() {
        gIDSEnabled = true;
        m_Fixture.Set(kMatchTuning, "BlockEnabled", true);
        m_Fixture.AddIDSRule("Land_Attack", "Allow", true);
        m_Fixture.AddIDSRule("Ping_Flood", "Allow");
        m_Fixture.AddIDSRule("Port_Scan", "Deny");
        m_Fixture.AddIDSRule("Syn_Fin", nullptr);
        const std::string strUser = m_Fixture.AddRule(kUserIDSRulesSection, "Custom_Sig");
        m_Fixture.Set(strUser, "TID", "4242");
        m_Fixture.Set(m_Fixture.AddBastion("TCP Incoming", "NoTcp", "TCP", "10.9.0.0/16"), "Port", 0);
        m_Fixture.Set(m_Fixture.AddBastion("ICMP Incoming", "NoPing", "PNG", "10.9.0.0/16"), "Report Only",
                      true);
        m_Config.SetBlockResponseMap(
            {{"Allow", {"10.1.2.0/24", 1}}, {"Deny", {"10.1.2.0/24", 0}}});
    }
    ~IDSSlaveMatchTest() override {
        CEngineIDSSlave::ClearRuleMaps();
        CEngineIDSSlave::DynamicBlockPeriod = -1;
        CFirewall::ResetSharedState();
        while (AgentEventInfo* pRecord = m_Queue.Pop(0)) {
            delete pRecord;
        }
        gIDSEnabled = false;
    }

    // Configuration, maps and a slave with its callback object.
    void Start(bool bConsolidation = false) {
        m_pRules = m_Fixture.ReadAll();
        m_Config.Configure(m_pRules.get());
        CEngineIDSSlave::InitializeRuleMap(m_Config.GetBastionRules(), m_Config.GetIDSRules());
        CEngineIDSSlave::DynamicBlockPeriod = 30;
        m_Queue.SetCapacity(IDSEventQueue::kCapacity);
        m_pSlave = std::make_unique<CEngineIDSSlave>("eth-test", 123, 0x4, &m_Queue);
        m_pSlave->SetIDSConfig(&m_Config);
        auto pNotify = std::make_unique<TestNotify>();
        m_pNotify = pNotify.get();
        m_pSlave->SetEventMatchNotify(std::move(pNotify));
        m_pSlave->SetConsolidationEnabled(bConsolidation);
        if (bConsolidation) {
            m_pSlave->SetCoalescer(&m_Coalescer);
            m_pNotify->EnableCoalescer(true);
        }
        m_pSlave->ConfigureFirewall();
    }
    // One frame's callbacks and its match, the way the module makes them.
    void Match(const char* pszName, uint32_t dwIntruder, uint32_t dwProtocol = 6,
               const char* pszParams = nullptr) {
        m_pSlave->GetParsedFrameInfo().Reset();
        m_pSlave->GetCurrentFrame().setBlocked(false);
        m_pNotify->OnParsedIp(dwIntruder, kVictim, 0, 0);
        if (dwProtocol == 6) {
            m_pNotify->OnParsedTcp(4000, 80, 0, 0);
        }
        m_pNotify->m_Interp = {0x800, dwProtocol, dwIntruder, kVictim, 4000, 80, 8, 0};
        m_pNotify->OnMatch(0, pszName, 1, 0, kVictim, dwIntruder, 80, 4000, 0, pszParams, nullptr,
                           1);
    }
    std::unique_ptr<AgentEventInfo> Next() { return std::unique_ptr<AgentEventInfo>(m_Queue.Pop(0)); }

    PolicyFixture m_Fixture;
    CIDSConfig m_Config;
    std::unique_ptr<RuleContainer> m_pRules;
    IDSEventQueue m_Queue;
    TestCoalescer m_Coalescer;
    std::unique_ptr<CEngineIDSSlave> m_pSlave;
    TestNotify* m_pNotify = nullptr;
};

TEST(HWEventMatchNotifyTest, ParameterTextSkipsItemsWithoutNameAndValue) {
    auto pBlock = HWEventMatchNotify::BuildEventParameters(7, "depth=4,bare,key==x,=v,e=", kVictim,
                                                           kInside, 80, 0, 3);
    std::vector<std::string> entries;
    for (size_t i = 0; pBlock[i].name[0] != '\0' || pBlock[i].value[0] != '\0'; ++i) {
        entries.push_back(std::string(pBlock[i].name) + ":" + pBlock[i].value);
    }
    EXPECT_EQ((std::vector<std::string>{"depth:4", "key:=x", "victim-ip-addr:192.168.0.1",
                                        "victim-port:80", "intruder-ip-addr:10.1.2.5",
                                        "algorithm-id:7", "repeat-count:3"}),
              entries);
    std::string strLong(2000, 'v');
    pBlock = HWEventMatchNotify::BuildEventParameters(1, ("n=" + strLong).c_str(), 0, 0, 0, 0, 1);
    EXPECT_EQ(1023u, std::strlen(pBlock[0].value));
}

TEST(HWEventMatchNotifyTest, TextOfManyItemsLeavesRoomForTheFixedEntriesAndIsCounted) {
    InputBounds::Instance().ForgetForTest();
    std::string strText;
    for (int i = 0; i < 100; ++i) {
        strText += (i == 0 ? "" : ",") + std::string("p") + std::to_string(i) + "=" + std::to_string(i);
    }
    auto pBlock = HWEventMatchNotify::BuildEventParameters(7, strText.c_str(), kVictim, kInside, 80, 4000, 2);
    std::vector<std::string> names;
    for (size_t i = 0; pBlock[i].name[0] != '\0'; ++i) {
        names.emplace_back(pBlock[i].name);
    }
    // All that an alert takes (50 entries), the fixed entries among them.
    ASSERT_EQ(CEngineIDSSlave::kMaxEventParameters, names.size());
    EXPECT_EQ("p43", names[43]);
    EXPECT_EQ((std::vector<std::string>{"victim-ip-addr", "victim-port", "intruder-ip-addr", "intruder-port",
                                        "algorithm-id", "repeat-count"}),
              std::vector<std::string>(names.begin() + 44, names.end()));
    EXPECT_EQ((std::vector<std::string>{"Bound reached: the signature module's matches: 44 parameters of a match; "
                                        "56 parameters left out"}),
              InputBounds::Instance().Describe());
}

TEST(HWEventMatchNotifyTest, ReportTypesHideTheSourceAndArpBecomes255) {
    const MatchInterpretation tcp{0x800, 6, kInside, kVictim, 4000, 80, 0, 0};
    ParsedFrameInfo frame;
    HWEventMatchNotify::CopyInterpretation(frame, tcp, 4);
    EXPECT_EQ(0u, frame.srcAddress);
    EXPECT_EQ(0u, frame.srcPort);
    EXPECT_EQ(80u, frame.dstPort);
    HWEventMatchNotify::CopyInterpretation(frame, tcp, 7);
    EXPECT_EQ(kInside, frame.srcAddress);
    EXPECT_EQ(0u, frame.srcPort);
    HWEventMatchNotify::CopyInterpretation(frame, {0x806, 0, 0, 0, 0, 0, 0, 0}, 1);
    EXPECT_EQ(255u, frame.protocol);
    HWEventMatchNotify::CopyInterpretation(frame, {0x86DD, 58, 0, 0, 0, 0, 0, 0}, 1);
    EXPECT_EQ(255u, frame.protocol);
}

TEST_F(IDSSlaveMatchTest, IcmpMatchCarriesNoPortsAndKeepsTheParsedProtocolAndAddresses) {
    Start();
    m_pSlave->GetParsedFrameInfo().Reset();
    const uint8_t source[6] = {0x02, 0x00, 0x5E, 0xA0, 0x0B, 0xFF};
    const uint8_t destination[6] = {0, 0, 0, 0, 0, 0x0A};
    m_pNotify->OnMacReporting(source, destination);
    EXPECT_STREQ("02-00-5E-A0-0B-FF", m_pSlave->GetParsedFrameInfo().szSrcMac);
    EXPECT_STREQ("00-00-00-00-00-0A", m_pSlave->GetParsedFrameInfo().szDstMac);
    m_pNotify->OnParsedIp(kInside, kVictim, 0, 0);
    m_pNotify->OnParsedIcmp(8, 0, 0, 0);
    m_pNotify->m_Interp = {0x800, 1, kInside, kVictim, 0, 0, 8, 0};
    m_pNotify->OnMatch(0, "Syn_Fin", 1, 0x1000, kVictim, kInside, 80, 4000, 0, "a=b", nullptr, 1);
    auto pRecord = Next();
    ASSERT_NE(nullptr, pRecord);
    EXPECT_EQ("<none>", Pair(*pRecord, "victim-port"));
    EXPECT_EQ("<none>", Pair(*pRecord, "intruder-port"));
    EXPECT_EQ("b", Pair(*pRecord, "a"));
    EXPECT_EQ(1u, pRecord->m_dwIANAProtocolId);
    EXPECT_EQ(103, pRecord->GetAlertType());
    EXPECT_EQ(0x0100A8C0u, pRecord->m_dwDestinationAddress);  // network order
    EXPECT_EQ("<none>", Pair(*pRecord, "VulnStatus"));
}

TEST_F(IDSSlaveMatchTest, AllowAndDenyListsBlockTheRightIntruders) {
    Start();
    struct Case {
        const char* pszRule;
        uint32_t dwIntruder;
        const char* pszVuln;
    };
    // Allow lists pass their addresses and block the rest; deny lists the
    // other way round.
    for (const Case& c : {Case{"Ping_Flood", kInside, "<none>"}, Case{"Ping_Flood", kOutside, "10"},
                          Case{"Port_Scan", kInside, "10"}, Case{"Port_Scan", kOutside, "<none>"}}) {
        Match(c.pszRule, c.dwIntruder);
        auto pRecord = Next();
        ASSERT_NE(nullptr, pRecord) << c.pszRule;
        EXPECT_EQ(c.pszVuln, Pair(*pRecord, "VulnStatus")) << c.pszRule << " " << c.dwIntruder;
        EXPECT_EQ(std::string(c.pszVuln) == "10", m_pSlave->GetCurrentFrame().blocked());
    }
}

TEST_F(IDSSlaveMatchTest, DynamicBlockGives49AndStopsTheIntrudersLaterPackets) {
    ScopedTestClock clock;
    Start();
    Match("Land_Attack", kInside);  // listed as allowed: the dynamic block wins
    auto pRecord = Next();
    ASSERT_NE(nullptr, pRecord);
    EXPECT_EQ("49", Pair(*pRecord, "VulnStatus"));
    m_pSlave->GetParsedFrameInfo().Reset();
    EXPECT_EQ(0, m_pNotify->OnParsedIp(kInside, kVictim, 0, 0));
    EXPECT_EQ(nullptr, Next());  // no alert for a dynamically blocked packet
    m_pSlave->SetDirection(CEngineIDSSlave::kOutbound);
    EXPECT_EQ(1, m_pNotify->OnParsedIp(kInside, kVictim, 0, 0));
    m_pSlave->SetDirection(CEngineIDSSlave::kInbound);
    clock.Advance(31);
    EXPECT_EQ(1, m_pNotify->OnParsedIp(kInside, kVictim, 0, 0));
}

TEST_F(IDSSlaveMatchTest, UnknownEventsAndEmptyNamesFallBackOnTheIssueMap) {
    Start();
    m_pNotify->OnMatch(4242, "", 1, 0, kVictim, kOutside, 80, 4000, 0, nullptr, nullptr, 1);
    auto pRecord = Next();
    ASSERT_NE(nullptr, pRecord);
    EXPECT_EQ("Custom_Sig", pRecord->GetRuleName());
    EXPECT_EQ(4242u, pRecord->m_dwEventId);
    m_pNotify->OnMatch(999, "", 1, 0, kVictim, kOutside, 80, 4000, 0, nullptr, nullptr, 1);
    m_pNotify->OnMatch(0, "Not_Configured", 1, 0, kVictim, kOutside, 80, 4000, 0, nullptr, nullptr,
                       1);
    EXPECT_EQ(nullptr, Next());
}

TEST_F(IDSSlaveMatchTest, ParametersBeyondFiftyAreNotTaken) {
    Start();
    std::vector<EventParameter> block(60);
    for (size_t i = 0; i < block.size(); ++i) {
        std::snprintf(block[i].name, sizeof(block[i].name), "p%zu", i);
        std::snprintf(block[i].value, sizeof(block[i].value), "%zu", i);
    }
    m_pSlave->SetConsolidationEnabled(false);
    m_pSlave->OnMatch(0, "Syn_Fin", kVictim, kOutside, 80, 4000, 0, 0, 6, block.data());
    auto pRecord = Next();
    ASSERT_NE(nullptr, pRecord);
    EXPECT_EQ(50u, pRecord->GetInfoPairs().size());
}

TEST_F(IDSSlaveMatchTest, ConsolidatedMatchBlocksAtOnceAndAlertsOnceOnItsCallback) {
    Start(true);
    EXPECT_TRUE(m_pNotify->IsCoalescerEnabled());
    EXPECT_EQ(std::vector<std::string>{"combine=on"}, m_Coalescer.m_Parameters);
    Match("Ping_Flood", kOutside, 0);
    EXPECT_TRUE(m_pSlave->GetCurrentFrame().blocked());
    Match("Syn_Fin", kOutside, 0);
    EXPECT_EQ(nullptr, Next());
    ASSERT_EQ(2u, m_Coalescer.m_Records.size());
    // The event names an issue none of the records has: the last record
    // speaks for it, interpreted (as ARP here) before its protocol is taken.
    m_pNotify->m_Interp = {0x806, 0, 0, 0, 0, 0, 0, 0};
    m_pNotify->OnCoalescerCallback(1, 2, 77, 2, 0, kVictim, 0, kOutside, 80, 4000, 1, 0, "x=y",
                                   2, m_Coalescer.m_Records.data());
    EXPECT_EQ(nullptr, m_Coalescer.m_Records[0]);
    auto pRecord = Next();
    ASSERT_NE(nullptr, pRecord);
    EXPECT_EQ("Syn_Fin", pRecord->GetRuleName());
    EXPECT_EQ(255u, pRecord->m_dwIANAProtocolId);
    EXPECT_EQ("2", Pair(*pRecord, "repeat-count"));
    EXPECT_EQ(nullptr, Next());
}

TEST_F(IDSSlaveMatchTest, CoalescerRefusalSwitchesConsolidationOffAndReportsDirectly) {
    Start(true);
    m_Coalescer.m_bTakes = false;
    Match("Syn_Fin", kOutside);
    EXPECT_FALSE(m_pNotify->IsCoalescerEnabled());
    EXPECT_FALSE(m_pSlave->IsConsolidationEnabled());
    EXPECT_TRUE(m_Fixture.m_HostLog.Contains(
        "Failed to pass event to Advanced Event Consolidation. The Advanced Event Consolidation "
        "feature has now been disabled, which means detected events will not be merged and which "
        "can result in high number of events being generated."));
    auto pRecord = Next();
    ASSERT_NE(nullptr, pRecord);
    EXPECT_EQ(6u, pRecord->m_dwIANAProtocolId);
    Match("Syn_Fin", kInside);
    EXPECT_NE(nullptr, Next());
}

TEST_F(IDSSlaveMatchTest, FullQueueFailsAfterItsRetriesAndIsReportedAndCounted) {
    ScopedTestClock clock;
    InputBounds::Instance().ForgetForTest();
    Start();
    m_Queue.SetCapacity(1);
    Match("Syn_Fin", kOutside);
    Match("Syn_Fin", kInside);  // refused 100 times, deleted by the slave
    // Said at once, not only in the minute's line, which may never come.
    EXPECT_EQ(1u, m_Fixture.m_HostLog.m_Services.CountStartingWith(
                      "Bound reached: adapter eth-test: alert queue of 1; 1 alert left out"));
    clock.Advance(60);
    Match("Syn_Fin", kOutside);
    EXPECT_TRUE(m_Fixture.m_HostLog.Contains(
        "IDSSlave eth-test: 0 Success (0 Delay) and 2 Failure to Q events in last minute"));
    EXPECT_EQ(1u, m_Queue.Size());
    EXPECT_EQ(2u, m_pSlave->GetQueueFailures());
    // Counted for the summaries of every load and of the stop.
    EXPECT_EQ((std::vector<std::string>{"Bound reached: adapter eth-test: alert queue of 1; 2 alerts left out"}),
              InputBounds::Instance().Describe());
}

TEST_F(IDSSlaveMatchTest, AStoppingSlaveQueuesItsLastRecordsPastAFullQueueWithoutWaiting) {
    Start();
    m_Queue.SetCapacity(1);
    Match("Syn_Fin", kOutside);
    // The master's thread has ended before its slaves: it takes these once
    // they have, so the slave neither waits for room nor leaves them out.
    m_pSlave->OnStopInit(0);
    Match("Syn_Fin", kInside);
    Match("Ping_Flood", kInside);
    EXPECT_EQ(3u, m_Queue.Size());
    EXPECT_EQ(0u, m_pSlave->GetQueueFailures());
}

TEST_F(IDSSlaveMatchTest, BastionRulesBlockOrReportAndAcksToHighPortsPass) {
    m_Fixture.Set(kMatchTuning, "AllowAllAcknowledgementPackets", true);
    Start();
    // ICMP rule is report-only: the packet passes, its alert is raised.
    m_pSlave->GetParsedFrameInfo().Reset();
    m_pNotify->OnParsedIp(kBarred, kVictim, 0, 0);
    EXPECT_EQ(1, m_pNotify->OnParsedIcmp(8, 0, 0, 0));
    auto pRecord = Next();
    ASSERT_NE(nullptr, pRecord);
    EXPECT_EQ("Bastion ICMP Inbound", Pair(*pRecord, "Detail"));
    EXPECT_EQ("<none>", Pair(*pRecord, "VulnStatus"));

    // A TCP frame: Ethernet, IPv4 (IHL 5), TCP with the control bits set
    // per case.  Frames too short to read count as openings.
    uint8_t frame[54] = {};
    frame[12] = 0x08;
    frame[14] = 0x45;
    rp::PacketRecord& packet = m_pSlave->GetCurrentFrame().packet();
    packet.m_pData = frame;
    packet.m_dwCapturedLength = sizeof(frame);
    struct Case {
        uint8_t bControl;
        uint32_t dwPort;
        uint32_t dwLength;
        int32_t nVerdict;
    };
    for (const Case& c : {Case{0x10, 1024, 54, 1}, Case{0x10, 1023, 54, 0}, Case{0x02, 1024, 54, 0},
                          Case{0x10, 1024, 40, 0}}) {
        frame[14 + 20 + 13] = c.bControl;
        packet.m_dwCapturedLength = c.dwLength;
        m_pSlave->GetParsedFrameInfo().Reset();
        m_pSlave->GetCurrentFrame().setBlocked(false);
        m_pNotify->OnParsedIp(kBarred, kVictim, 0, 0);
        EXPECT_EQ(c.nVerdict, m_pNotify->OnParsedTcp(4000, c.dwPort, 0, 0)) << c.dwPort;
        pRecord = Next();
        EXPECT_EQ(c.nVerdict == 0, pRecord != nullptr);
        if (pRecord) {
            EXPECT_EQ("10", Pair(*pRecord, "VulnStatus"));
        }
    }
    packet.m_pData = nullptr;
}

}  // namespace
