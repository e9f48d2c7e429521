#include "IDS/IDSConfig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "IDS/IDSRule.h"
#include "IDS/PolicyFixture.h"
#include "support/TestUtil.h"

namespace {

constexpr const char kTuning[] = "\\config\\tuning";
constexpr const char kTemplate[] = "\\template\\config\\tuning";

class RecordingEngine : public IIDSMasterEngine {
public:
    explicit RecordingEngine(CIDSConfig& config) : m_Config(config) {}
    int32_t Initialize() override {
        m_Calls.push_back("Initialize");
        return m_Config.Configure(m_pRules);
    }
    void Shutdown() override {
        m_Calls.push_back("Shutdown");
        m_Config.Reset();
    }
    CIDSConfig& m_Config;
    RuleContainer* m_pRules = nullptr;
    std::vector<std::string> m_Calls;
};

class IDSConfigTest : public ::testing::Test {
protected:
    IDSConfigTest() { gIDSEnabled = true; }
    ~IDSConfigTest() override { gIDSEnabled = false; }

    void Configure() {
        m_pRules = m_Fixture.ReadAll();
        m_Config.Configure(m_pRules.get());
    }
    std::vector<std::string> Tuning() {
        std::vector<std::string> items;
        const TuningBlock* pBlock = m_Config.GetTuningBlock();
        for (uint32_t i = 0; pBlock != nullptr && i < pBlock->count; ++i) {
            items.push_back(std::string(pBlock->params[i].name) + "=" + pBlock->params[i].value);
        }
        return items;
    }
    const IDSConfigEntry* Entry(const char* pszName) {
        const CIDSConfig::ConfigMap* pMap = m_Config.GetConfigMap(false);
        if (pMap == nullptr) {
            return nullptr;
        }
        auto found = pMap->find(pszName);
        return found != pMap->end() ? found->second : nullptr;
    }

    PolicyFixture m_Fixture;
    CIDSConfig m_Config;
    std::unique_ptr<RuleContainer> m_pRules;
};

TEST_F(IDSConfigTest, ModuleParametersTakeZamItemsWithSwitchesAsOnOff) {
    m_Fixture.Set(kTemplate, "zam.depth", "4");
    m_Fixture.Set(kTemplate, "zam.depthDescription", "how deep");
    m_Fixture.Set(kTemplate, "ZAM.upper", "1");
    m_Fixture.Set(kTemplate, "zam.trace", true);
    m_Fixture.Set(kTuning, "zam.depth", "8");
    m_Fixture.Set(kTuning, "zam.reassembly", false);
    const std::string strUser = "\\Advanced\\userdefinedsignatures\\Nodekeeper Rules";
    const std::string strRule = m_Fixture.AddRule(strUser, "Custom");
    m_Fixture.Set(strRule, "TID", "7");
    m_Fixture.Set(strRule, "TValue", "window=16");
    Configure();
    EXPECT_EQ((std::vector<std::string>{"zam.depth=4", "zam.trace=on", "zam.depth=8",
                                        "zam.reassembly=off", "zam.window=16"}),
              Tuning());
    ASSERT_NE(nullptr, Entry("Custom"));
    EXPECT_EQ(7u, Entry("Custom")->issueId);
}

TEST_F(IDSConfigTest, ParameterBlockStopsAtOneThousandRecords) {
    for (int i = 0; i < 1000; ++i) {
        m_Fixture.Set(kTuning, ("zam.p" + std::to_string(i)).c_str(), "x");
    }
    const std::string strRule = m_Fixture.AddRule("\\Advanced\\userdefinedsignatures\\Nodekeeper Rules", "Custom");
    m_Fixture.Set(strRule, "TID", "7");
    m_Fixture.Set(strRule, "TValue", "window=16");
    Configure();
    EXPECT_EQ(1000u, m_Config.GetTuningBlock()->count);
    EXPECT_EQ("zam.p999=x", Tuning().back());
    EXPECT_TRUE(m_Fixture.m_HostLog.Contains("ERROR: Tuning parameters more than maximum 1000\n"));
}

TEST_F(IDSConfigTest, BlockResponsesNeedBlockingOnAndAKnownChoice) {
    m_Fixture.AddIDSRule("Land_Attack", "Default", true);
    m_Fixture.AddIDSRule("Ping_Flood", "Default");
    m_Fixture.AddIDSRule("Port_Scan", "Missing");
    m_Fixture.AddIDSRule("Syn_Fin", nullptr);
    m_Config.SetBlockResponseMap({{"Default", {"10.1.2.3/24,0.0.0.0", 1}}});

    Configure();
    const IDSConfigTable* pTable = m_Config.GetConfigTable();
    ASSERT_NE(nullptr, pTable);
    EXPECT_FALSE(pTable->blockEnabled);
    EXPECT_EQ(0u, pTable->dynamicBlockPeriod);
    EXPECT_EQ(4u, pTable->numEntries);
    EXPECT_EQ(0u, Entry("Land_Attack")->response);

    m_Config.Reset();
    m_Fixture.Set(kTuning, "BlockEnabled", true);
    m_Fixture.Set("\\config", "DynamicBlockPeriod", 45);
    Configure();
    pTable = m_Config.GetConfigTable();
    EXPECT_EQ(45u, pTable->dynamicBlockPeriod);
    EXPECT_EQ(4u, m_Config.GetIDSRuleCount());
    EXPECT_EQ(3u, pTable->numEntries);
    EXPECT_EQ(nullptr, Entry("Port_Scan"));
    EXPECT_TRUE(m_Fixture.m_HostLog.Contains("Block Response Choice[Missing] Not Found for Rule: Port_Scan"));
    EXPECT_EQ(0x300u, Entry("Land_Attack")->response);
    EXPECT_EQ(0x100u, Entry("Ping_Flood")->response);
    EXPECT_EQ(0u, Entry("Syn_Fin")->response);
    IDSResponseIP list;
    ASSERT_TRUE(m_Config.GetResponseIP(*Entry("Land_Attack"), list));
    EXPECT_EQ(1u, list.allow);
    ASSERT_EQ(2u, list.num_ips);
    EXPECT_EQ(0x0A010200u, list.ip[0].address);
    EXPECT_EQ(0xFFFFFF00u, list.ip[0].mask);
    EXPECT_EQ(0u, list.ip[1].address);
    EXPECT_EQ(0u, list.ip[1].mask);
}

TEST_F(IDSConfigTest, BadBlockPeriodAndPrefixAreRefused) {
    m_Fixture.AddIDSRule("Land_Attack", "Default");
    m_Config.SetBlockResponseMap({{"Default", {"10.0.0.1/40,10.0.0.2/x,10.0.0.3", 0}}});
    m_Fixture.Set(kTuning, "BlockEnabled", true);
    m_Fixture.Set("\\config", "DynamicBlockPeriod", -1);
    Configure();
    EXPECT_EQ(30u, m_Config.GetConfigTable()->dynamicBlockPeriod);
    IDSResponseIP list;
    ASSERT_TRUE(m_Config.GetResponseIP(*Entry("Land_Attack"), list));
    ASSERT_EQ(1u, list.num_ips);
    EXPECT_EQ(0x0A000003u, list.ip[0].address);
}

TEST_F(IDSConfigTest, FirstBlockMapRebuildsAsideAndLaterOnesRewriteAddressListsInPlace) {
    m_Fixture.AddIDSRule("Land_Attack", "Default");
    m_Fixture.Set(kTuning, "BlockEnabled", true);
    m_Fixture.Set(kTuning, "zam.depth", "4");
    RecordingEngine engine(m_Config);
    m_Config.SetMasterEngine(&engine);
    Configure();
    EXPECT_EQ(nullptr, Entry("Land_Attack"));  // no block map yet: no entry
    const CIDSConfig::ConfigMap* pOldMap = m_Config.GetConfigMap(false);

    // The host hands the map in later, with no policy published: what the
    // configuration read from the policy still holds, and the engine (whose
    // slaves may be capturing) is left alone.
    m_Fixture.m_Sensor.m_pPolicy = nullptr;
    m_Config.SetBlockResponseMap({{"Default", {"10.0.0.1", 1}}});
    m_Fixture.m_Sensor.m_pPolicy = m_Fixture.m_pPolicy;
    EXPECT_TRUE(engine.m_Calls.empty());
    ASSERT_NE(nullptr, Entry("Land_Attack"));
    EXPECT_EQ(0x100u, Entry("Land_Attack")->response);
    EXPECT_EQ((std::vector<std::string>{"zam.depth=4"}), Tuning());
    // The replaced map is still whole for a reader that took it before.
    EXPECT_EQ(0u, pOldMap->count("Land_Attack"));

    m_Config.SetBlockResponseMap({{"Default", {"10.0.0.7,10.0.0.8", 0}}});
    IDSResponseIP list;
    ASSERT_TRUE(m_Config.GetResponseIP(*Entry("Land_Attack"), list));
    EXPECT_EQ(2u, list.num_ips);
    EXPECT_EQ(0x0A000008u, list.ip[1].address);

    m_Config.SetBlockResponseMap({{"Other", {"10.0.0.9", 1}}});
    ASSERT_TRUE(m_Config.GetResponseIP(*Entry("Land_Attack"), list));
    EXPECT_EQ(0x100u, Entry("Land_Attack")->response);
    EXPECT_EQ(0u, list.num_ips);
    EXPECT_EQ(0u, list.allow);
    EXPECT_FALSE(m_Config.IsUpdatingBlockInfo());
    EXPECT_TRUE(engine.m_Calls.empty());
}

TEST_F(IDSConfigTest, BlockMapChangesNeverFreeWhatCapturingSlavesRead) {
    m_Fixture.AddIDSRule("Land_Attack", "Default");
    m_Fixture.AddIDSRule("Syn_Fin", nullptr);
    m_Fixture.Set(kTuning, "BlockEnabled", true);
    Configure();
    // A reader doing what a slave's match handling does, while the host
    // hands in maps: under the sanitizers a freed table or map shows.
    std::atomic<bool> bStop{false};
    std::atomic<uint64_t> nReads{0};
    std::thread slave([&] {
        while (!bStop) {
            for (const char* pszName : {"Land_Attack", "Syn_Fin"}) {
                const CIDSConfig::ConfigMap* pMap = m_Config.GetConfigMap(false);
                auto found = pMap->find(pszName);
                if (found != pMap->end() && found->second->response != 0) {
                    IDSResponseIP list;
                    m_Config.GetResponseIP(*found->second, list);
                }
                ++nReads;
            }
        }
    });
    ASSERT_TRUE(hwtest::WaitUntil([&] { return nReads > 100; }));
    for (int i = 0; i < 50; ++i) {
        m_Config.SetBlockResponseMap({{"Default", {"10.0.0." + std::to_string(i), 1}}});
    }
    const uint64_t nBefore = nReads;
    ASSERT_TRUE(hwtest::WaitUntil([&] { return nReads > nBefore + 100; }));
    bStop = true;
    slave.join();
    ASSERT_NE(nullptr, Entry("Land_Attack"));
    IDSResponseIP list;
    ASSERT_TRUE(m_Config.GetResponseIP(*Entry("Land_Attack"), list));
    EXPECT_EQ(0x0A000031u, list.ip[0].address);
}

TEST_F(IDSConfigTest, BastionRulesFillTheirProtocolTablesOnceUntilReset) {
    m_Fixture.Set(m_Fixture.AddBastion("TCP Incoming", "NoTelnet", "TEL", "0.0.0.0"), "Port", 23);
    const std::string strPing = m_Fixture.AddRule("\\Advanced\\Rules\\Bastion\\ICMP Incoming", "NoPing");
    m_Fixture.Set(strPing, "shrt", "PNG");
    m_Fixture.Set(strPing, "Report Only", true);
    Configure();
    // A rule of an unknown type is counted nowhere.
    CIDSRule odd;
    odd.Enable();
    odd.m_dwRuleKind = kIDSRuleBastion;
    odd.m_dwProtocolType = 4;
    m_pRules->Add(&odd);
    m_Config.Configure(m_pRules.get());  // configured: changes nothing
    const fireconf* pTCP = m_Config.GetFireconf(kFwProtocolTCP);
    ASSERT_NE(nullptr, pTCP);
    ASSERT_EQ(1u, pTCP->num_entries);
    EXPECT_EQ(1000u, pTCP->entries[0].eventID);
    EXPECT_EQ(23u, pTCP->entries[0].dport);
    EXPECT_EQ(1u, pTCP->entries[0].numIPs);
    EXPECT_EQ(0u, pTCP->entries[0].ip[0].mask);
    ASSERT_EQ(1u, m_Config.GetFireconf(kFwProtocolICMP)->num_entries);
    EXPECT_EQ(1u, m_Config.GetFireconf(kFwProtocolICMP)->entries[0].report);
    EXPECT_EQ(0u, m_Config.GetFireconf(kFwProtocolIP)->num_entries);

    m_Config.Reset();
    m_Config.Configure(m_pRules.get());
    EXPECT_EQ(3u, m_Config.GetBastionRules().Count());
    EXPECT_EQ(0u, m_Config.GetFireconf(kFwProtocolIP)->num_entries);
    EXPECT_EQ(1u, m_Config.GetFireconf(kFwProtocolTCP)->num_entries);
}

}  // namespace
