// The IDS slave driven on its own, without a master: set-up from a policy,
// capture of replayed frames through the packet library and signature
// module stand-ins, blocking, resets, the packet and evidence logs, pause
// and resume, and what the master's watchdog sees of it.

#include <gtest/gtest.h>

#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "Common/AgentEventInfo.h"
#include "Common/CatchUps.h"
#include "Common/InputBounds.h"
#include "IDS/CEngineIDSSlave.h"
#include "IDS/IDSEventQueue.h"
#include "IDS/PolicyFixture.h"
#include "IDS/SlaveReadyList.h"
#include "IDS/SlaveRuleMaps.h"
#include "IDS/TestClock.h"
#include "ZamStandinDiagnostics.h"
#include "qorZamSensorLib/ZamFrames.h"
#include "qorZamSensorLib/ZamTestPaths.h"
#include "qorZamSensorLib/qorZamSensorEx.h"
#include "qorZamSensorLib/qorZamSensorMgr.h"
#include "rawpacket/Driver.h"
#include "rawpacket/HostInfo.h"
#include "rawpacket/PacketDll.h"
#include "rawpacket/ReplayFixture.h"
#include "support/EngineEnd.h"
#include "support/ExternalCheck.h"
#include "support/NetworkNamespace.h"
#include "support/TestUtil.h"

using zamtest::FrameSpec;
using zamtest::Ip;

namespace {

constexpr const char kTuning[] = "\\config\\tuning";
constexpr const char kReplay0[] = "\\Device\\replay0";
constexpr const char kReplay1[] = "\\Device\\replay1";
constexpr uint32_t kVictim = Ip(192, 0, 2, 10);
constexpr uint32_t kBarred = Ip(10, 9, 1, 1);  // under the Bastion rules

FrameSpec Land() {
    FrameSpec spec;
    spec.m_dwSource = spec.m_dwDestination = kVictim;
    spec.m_wSourcePort = spec.m_wDestinationPort = 139;
    return spec;
}

FrameSpec SynFin() {
    FrameSpec spec;
    spec.m_byTcpFlags = 0x03;
    return spec;
}

FrameSpec CmdExe() {
    FrameSpec spec;
    spec.m_byTcpFlags = 0x18;
    spec.m_strPayload = "GET /scripts/cmd.exe?/c+dir HTTP/1.0\r\n\r\n";
    return spec;
}

FrameSpec From(uint32_t dwSource, uint8_t byProtocol, uint16_t wPort) {
    FrameSpec spec;
    spec.m_dwSource = dwSource;
    spec.m_byProtocol = byProtocol;
    spec.m_wDestinationPort = wPort;
    return spec;
}

std::string CurrentDirectory() {
    char szPath[4096];
    return ::getcwd(szPath, sizeof szPath) != nullptr ? szPath : ".";
}

std::string Pair(const AgentEventInfo& record, const char* pszName) {
    std::string strValue = "<none>";
    record.GetInfoPairValue(pszName, strValue);
    return strValue;
}

// Lines of `tshark -T fields` over a capture file.
std::vector<std::string> Tshark(const std::string& strFile, const std::string& strFields) {
    std::istringstream output(testing_support::RunCommand(
        "tshark -r " + strFile + " -T fields -E separator=, " + strFields + " 2>/dev/null"));
    std::vector<std::string> lines;
    for (std::string strLine; std::getline(output, strLine);) {
        lines.push_back(strLine);
    }
    return lines;
}

class IDSSlaveTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The packet library is found beside the test program, whose path
        // may be relative to the directory the test started in.
        { rp::PacketDll binding; }
        // The logs go to "Logs" in the working directory.
        ASSERT_EQ(0, ::chdir(m_Scratch.Path().c_str()));
        ::mkdir("Logs", 0755);
        std::string strVersion;
        m_pManager = qorZamSensorMgr::GetInstance(zamtest::ModulePath().c_str(), 1.0f, strVersion,
                                                  &m_Fixture.m_HostLog.m_Services);
        ASSERT_NE(nullptr, m_pManager);
        ASSERT_TRUE(m_pManager->InitIssuesMap(zamtest::IssueFile().c_str(), nullptr));
        m_Queue.SetCapacity(IDSEventQueue::kCapacity);
        // The master's switch, which the configuration follows.
        gIDSEnabled = true;
        m_Fixture.Set(kTuning, "BlockEnabled", true);
        m_Config.SetBlockResponseMap({{"Everyone", {"0.0.0.0", 0}}});
    }

    void TearDown() override {
        for (auto& pSlave : m_Slaves) {
            hwtest::EndEngine(pSlave, hwtest::EngineStop::kWithOnStop);
        }
        m_Slaves.clear();
        if (HasFailure()) {
            for (const std::string& strLine : m_Fixture.m_HostLog.m_Services.Texts()) {
                std::printf("host log: %s\n", strLine.c_str());
            }
        }
        qorZamSensorMgr::ReleaseInstance();
        CEngineIDSSlave::ClearRuleMaps();
        CEngineIDSSlave::DynamicBlockPeriod = -1;
        CFirewall::ResetSharedState();
        gIDSEnabled = false;
        ::chdir(m_strHome.c_str());
    }

    // The frames stamped from `dwSeconds` on, `dwGap` seconds apart.
    void WriteCapture(const std::vector<FrameSpec>& specs, const char* pszFile = "in.pcap",
                      uint32_t dwSeconds = 1700000000u, uint32_t dwGap = 0) {
        std::vector<rptest::TestFrame> frames;
        for (const FrameSpec& spec : specs) {
            frames.push_back({zamtest::BuildFrame(spec), dwSeconds, 0});
            dwSeconds += dwGap;
        }
        hwtest::WriteWholeFile(m_Scratch.File(pszFile), rptest::PcapBytes(frames));
    }
    // The configuration from the policy as it stands, and a slave for the
    // adapter (not started).
    CEngineIDSSlave& MakeSlave(const char* pszAdapter = kReplay0) {
        if (!m_pRules) {
            m_pRules = m_Fixture.ReadAll();
            m_Config.Configure(m_pRules.get());
        }
        m_Table.Fill();
        m_Slaves.push_back(std::make_unique<CEngineIDSSlave>(pszAdapter, 123, 0x4, &m_Queue));
        m_Slaves.back()->SetIDSConfig(&m_Config);
        return *m_Slaves.back();
    }
    // Starts the slave, lets it read `nFrames` frames and stops it, which
    // closes every capture file.
    void Capture(CEngineIDSSlave& slave, uint64_t nFrames) {
        ASSERT_EQ(0, slave.OnStart(0));
        EXPECT_TRUE(hwtest::WaitUntil([&] { return slave.GetFramesRead() >= nFrames; }));
        slave.OnStop(0);
    }
    std::vector<std::string> AlertNames() {
        std::vector<std::string> names;
        while (AgentEventInfo* pRecord = m_Queue.Pop(0)) {
            names.push_back(pRecord->GetRuleName());
            m_Alerts.emplace_back(pRecord);
        }
        return names;
    }
    std::string Out(const char* pszFile) { return m_Scratch.File(pszFile); }
    bool Logged(const std::string& strText) { return m_Fixture.m_HostLog.Contains(strText); }
    bool LoggedStart(const std::string& strText) {
        for (const std::string& strLine : m_Fixture.m_HostLog.m_Services.Texts()) {
            if (strLine.compare(0, strText.size(), strText) == 0) {
                return true;
            }
        }
        return false;
    }

    std::string m_strHome = CurrentDirectory();
    hwtest::ScratchDirectory m_Scratch;
    hwtest::EnvironmentOverride m_Replay{
        "HW_PACKET_REPLAY", (m_Scratch.File("in.pcap") + ";" + m_Scratch.File("in1.pcap")).c_str()};
    hwtest::EnvironmentOverride m_Output{"HW_PACKET_REPLAY_OUT", m_Scratch.Path().c_str()};
    hwtest::EnvironmentOverride m_LockDirectory{"HW_LOCK_DIR", m_Scratch.Path().c_str()};
    PolicyFixture m_Fixture;
    qorZamSensorMgr* m_pManager = nullptr;
    CIDSConfig m_Config;
    std::unique_ptr<RuleContainer> m_pRules;
    rptest::AdapterTable m_Table;
    IDSEventQueue m_Queue;
    std::vector<std::unique_ptr<CEngineIDSSlave>> m_Slaves;
    std::vector<std::unique_ptr<AgentEventInfo>> m_Alerts;
};

TEST_F(IDSSlaveTest, SettingsAreReadIntoTheirRanges) {
    WriteCapture({SynFin()});
    CEngineIDSSlave& slave = MakeSlave();
    struct Case {
        int32_t nLoopTimeout;
        bool bBlock;
        int32_t nExpectedTimeout;
        int32_t nExpectedPeriod;
        int32_t nHousekeeping;
        uint32_t dwExpectedHousekeeping;
        int32_t nAgeTime;
        uint32_t dwExpectedAgeTime;
    };
    for (const Case& c : {Case{61, true, 60, 30, 0, 1, 3600, 3600},
                          Case{-1, false, 60, 0, 61, 1, 3601, 5},
                          Case{0, true, 0, 45, 60, 60, 1, 1}}) {
        m_Fixture.Set(kTuning, "ZamLoopTimeout", c.nLoopTimeout);
        m_Fixture.Set(kTuning, "BlockEnabled", c.bBlock);
        m_Fixture.Set(kTuning, "advancedeventconsolidation.enabled", true);
        m_Fixture.Set(kTuning, "advancedeventconsolidation.housekeepinginterval", c.nHousekeeping);
        m_Fixture.Set(kTuning, "advancedeventconsolidation.agetime", c.nAgeTime);
        if (c.nExpectedPeriod == 45) {
            m_Fixture.Set("\\config", "DynamicBlockPeriod", 45);
        }
        ASSERT_EQ(0, slave.Initialize(true));
        EXPECT_EQ(c.nExpectedTimeout, CEngineIDSSlave::ZamLoopTimeout.load());
        EXPECT_EQ(c.nExpectedPeriod, CEngineIDSSlave::DynamicBlockPeriod.load());
        EXPECT_EQ(c.dwExpectedHousekeeping, slave.GetHousekeepingInterval());
        EXPECT_EQ(c.dwExpectedAgeTime, slave.GetCoalescerAgeInterval());
        EXPECT_TRUE(slave.IsConsolidationEnabled());
        slave.OnPause(0);
    }
    // The replay adapter's address is no host adapter's: no local address,
    // and a log prefix without a hardware address.
    EXPECT_TRUE(slave.GetLocalAddresses().empty());
    EXPECT_TRUE(Logged("Setting capture buffer size for \\Device\\replay0 to 2m\n"));
    m_Fixture.m_HostLog.m_Services.Forget();
    m_Fixture.Set(kTuning, "pcd.buffersize", "0");
    // An empty evidence prefix stops that log; the packet log is off by default.
    m_Fixture.Set(kTuning, "evidence.fileprefix", "");
    ASSERT_EQ(0, slave.Initialize(true));
    EXPECT_FALSE(Logged("Setting capture buffer size for \\Device\\replay0 to 0\n"));
    EXPECT_FALSE(slave.IsEvidenceLogEnabled());
    EXPECT_FALSE(slave.IsPacketLogEnabled());
    EXPECT_TRUE(Logged(
        "EvidenceLog is Enabled, but evidence.fileprefix is not set.  EvidenceLog will not function."));
    slave.Shutdown();
}

TEST_F(IDSSlaveTest, ConsolidationItemsReachTheCoalescerWithoutTheirPrefix) {
    WriteCapture({SynFin()});
    m_Fixture.Set(kTuning, "advancedeventconsolidation.enabled", true);
    m_Fixture.Set(kTuning, "advancedeventconsolidation.combine", "on");
    m_Fixture.Set(kTuning, "advancedeventconsolidation.combineDescription", "skipped");
    m_Fixture.Set(kTuning, "advancedeventconsolidation.agetime", 9);
    CEngineIDSSlave& slave = MakeSlave();
    ASSERT_EQ(0, slave.Initialize(true));
    ASSERT_NE(nullptr, slave.GetCoalescer());
    EXPECT_TRUE(Logged("\\Device\\replay0: advancedeventconsolidation ValueName "
                       "[advancedeventconsolidation.combine] Value [on] applied return[0]"));
    for (const std::string& strLine : m_Fixture.m_HostLog.m_Services.Texts()) {
        EXPECT_EQ(std::string::npos, strLine.find("ValueName [advancedeventconsolidation.agetime]"));
        EXPECT_EQ(std::string::npos, strLine.find("combineDescription"));
    }
    slave.Shutdown();
    EXPECT_EQ(nullptr, slave.GetCoalescer());
}

// The coalescer stamps and ages its groups on the frames' own times, so a
// capture made years ago gives the events the same frames gave when new,
// whatever the engine's clock says.
TEST_F(IDSSlaveTest, ACaptureStampedYearsAgoConsolidatesLikeOneStampedNow) {
    constexpr uint32_t kNow = 1767225600u;
    ScopedTestClock clock(kNow);
    m_Fixture.AddIDSRule("TCP_SynFin", nullptr);
    m_Fixture.Set(kTuning, "advancedeventconsolidation.enabled", true);
    // Twelve segments of one intruder a second apart: the seventh comes
    // more than the five-second interval after the first and ages the
    // first seven out as one event; the stop hands out the other five.
    const std::vector<FrameSpec> frames(12, SynFin());
    const struct {
        const char* pszAdapter;
        const char* pszFile;
        uint32_t dwStart;
    } runs[] = {{kReplay0, "in.pcap", kNow}, {kReplay1, "in1.pcap", kNow - 12 * 365 * 86400u}};
    for (const auto& run : runs) {
        WriteCapture(frames, run.pszFile, run.dwStart, 1);
        Capture(MakeSlave(run.pszAdapter), frames.size());
        EXPECT_EQ(std::vector<std::string>(2, "TCP_SynFin"), AlertNames());
        std::vector<std::string> counts;
        for (const auto& pAlert : m_Alerts) {
            counts.push_back(Pair(*pAlert, "repeat-count"));
        }
        EXPECT_EQ((std::vector<std::string>{"7", "5"}), counts) << run.dwStart;
        m_Alerts.clear();
    }
}

TEST_F(IDSSlaveTest, CallbackKeysFollowTheDiagnosticSwitch) {
    WriteCapture({SynFin()});
    CEngineIDSSlave& slave = MakeSlave();
    DynamicLibrary module;
    ASSERT_EQ(QOR_S_OK, module.Load(zamtest::ModulePath().c_str()));
    auto mask = [&] {
        auto pfnSymbol = GetProcAs<zam::ZamSymbolFn>(module, "zamSymbol");
        auto pfnMask = reinterpret_cast<uint32_t (*)(zam::ZamHandle)>(
            pfnSymbol(sigmod::kCallbackMaskIndex));
        return pfnMask(static_cast<qorZamSensorEx*>(slave.GetZamSensor())->GetEngineHandle());
    };
    ASSERT_EQ(0, slave.Initialize(true));
    EXPECT_EQ(sigmod::kCallbackIp | sigmod::kCallbackIcmp | sigmod::kCallbackTcp |
                  sigmod::kCallbackUdp | sigmod::kCallbackMac,
              mask());
    slave.Shutdown();
    m_Fixture.Set(kTuning, "sensor.diagnostic.callbacks.enable", false);
    ASSERT_EQ(0, slave.Initialize(true));
    EXPECT_EQ(0u, mask());
    slave.Shutdown();
}

TEST_F(IDSSlaveTest, AttacksOfEnabledIssuesBecomeAlertsAndTheirFramesEvidence) {
    m_Fixture.AddIDSRule("Land_Attack", nullptr);
    m_Fixture.AddIDSRule("TCP_SynFin", nullptr);
    m_Fixture.AddIDSRule("Not_An_Issue", nullptr);
    m_Fixture.Set(kTuning, "packetLog.logging", true);
    m_Fixture.Set(kTuning, "packetLog.filesuffix", ".tcp");
    m_Fixture.Set(kTuning, "evidence.filesuffix", ".tcp");
    // Payload_Cmd_Exe has no rule, so its issue stays disabled.
    WriteCapture({Land(), From(Ip(198, 51, 100, 7), 6, 80), SynFin(), CmdExe()});
    CEngineIDSSlave& slave = MakeSlave();
    Capture(slave, 4);
    ASSERT_EQ((std::vector<std::string>{"Land_Attack", "TCP_SynFin"}), AlertNames());
    EXPECT_TRUE(Logged("Failed to find Issue Id for policy file EventName Not_An_Issue"));
    EXPECT_EQ("<none>", Pair(*m_Alerts[0], "VulnStatus")) << "no block response, no block";
    EXPECT_EQ("1001", Pair(*m_Alerts[0], "algorithm-id"));
    EXPECT_EQ(101, m_Alerts[1]->GetAlertType());
    // Every frame in the packet log, the two matched ones in the evidence
    // log, both readable by an independent reader.
    if (!hwtest::FindProgram("tshark").empty()) {
        EXPECT_EQ((std::vector<std::string>{"192.0.2.10", "198.51.100.7", "198.51.100.7",
                                            "198.51.100.7"}),
                  Tshark(Out("Logs/pkt_replay0_000.tcp"), "-e ip.src"));
        EXPECT_EQ((std::vector<std::string>{"0x0002", "0x0003"}),
                  Tshark(Out("Logs/evd_replay0_000.tcp"), "-e tcp.flags"));
    }
}

TEST_F(IDSSlaveTest, BlockedUdpIsDroppedAndBlockedTcpIsResetThenDropped) {
    m_Fixture.AddIDSRule("Land_Attack", "Everyone", true);
    m_Fixture.Set(m_Fixture.AddBastion("TCP Incoming", "NoTelnet", "BAR", "10.9.0.0/16"), "Port", 23);
    m_Fixture.Set(m_Fixture.AddBastion("UDP Incoming", "NoDns", "BAR", "10.9.0.0/16"), "Port", 53);
    WriteCapture({From(kBarred, 17, 53), From(kBarred, 6, 23), From(Ip(198, 51, 100, 7), 6, 23),
                  Land()});
    CEngineIDSSlave& slave = MakeSlave();
    Capture(slave, 4);
    const std::vector<std::string> alerts = AlertNames();
    ASSERT_EQ(3u, alerts.size());
    EXPECT_EQ("UDP Incoming_NoDns", alerts[0]);
    EXPECT_EQ("TCP Incoming_NoTelnet", alerts[1]);
    EXPECT_EQ("Land_Attack", alerts[2]);
    EXPECT_EQ("10", Pair(*m_Alerts[0], "VulnStatus"));
    EXPECT_EQ("Bastion TCP Inbound", Pair(*m_Alerts[1], "Detail"));
    EXPECT_EQ("49", Pair(*m_Alerts[2], "VulnStatus")) << "a dynamic block";
    if (hwtest::FindProgram("tshark").empty()) {
        GTEST_SKIP() << "tshark is not installed";
    }
    EXPECT_EQ((std::vector<std::string>{"17,10.9.1.1", "6,10.9.1.1", "6,192.0.2.10"}),
              Tshark(Out("replay0.drop.pcap"), "-e ip.proto -e ip.src"));
    EXPECT_EQ((std::vector<std::string>{"198.51.100.7"}),
              Tshark(Out("replay0.pass.pcap"), "-e ip.src"));
    // One reset per blocked TCP frame, in the frame's own direction (into
    // the local stack), none for the UDP one.
    EXPECT_EQ((std::vector<std::string>{"10.9.1.1,192.0.2.10,23,1", "192.0.2.10,192.0.2.10,139,1"}),
              Tshark(Out("replay0.inject.pcap"),
                     "-e ip.src -e ip.dst -e tcp.dstport -e tcp.flags.reset"));
}

TEST_F(IDSSlaveTest, ScanMarkOfOneFrameDoesNotHoldBackTheResetsOfTheNext) {
    m_Fixture.AddIDSRule("TCP_PortScan", nullptr);
    m_Fixture.Set(m_Fixture.AddBastion("TCP Incoming", "NoTelnet", "BAR", "10.9.0.0/16"), "Port", 23);
    std::vector<FrameSpec> frames;
    for (uint16_t wPort = 1; wPort <= 10; ++wPort) {
        frames.push_back(From(Ip(198, 51, 100, 7), 6, wPort));
    }
    frames.push_back(From(kBarred, 6, 23));
    WriteCapture(frames);
    CEngineIDSSlave& slave = MakeSlave();
    Capture(slave, frames.size());
    EXPECT_EQ((std::vector<std::string>{"TCP_PortScan", "TCP Incoming_NoTelnet"}), AlertNames());
    if (!hwtest::FindProgram("tshark").empty()) {
        EXPECT_EQ((std::vector<std::string>{"10.9.1.1,1"}),
                  Tshark(Out("replay0.inject.pcap"), "-e ip.src -e tcp.flags.reset"));
    }
}

TEST_F(IDSSlaveTest, DropVerdictOfTheModuleDropsTheFrame) {
    m_Fixture.Set(kTuning, "zam.standin.drop", "on");
    WriteCapture({SynFin(), CmdExe()});
    CEngineIDSSlave& slave = MakeSlave();
    Capture(slave, 2);
    EXPECT_EQ(hwtest::ReadWholeFile(m_Scratch.File("in.pcap")),
              hwtest::ReadWholeFile(Out("replay0.drop.pcap")));
}

// Logs that cannot be written (their folder replaced by a file) stay on:
// the slave says the failure of each once, not at every frame, and the
// logs count the frames they could not take and say them at the stop.
TEST_F(IDSSlaveTest, PacketAndEvidenceLogsThatCannotBeWrittenStayOnAndCountTheirFrames) {
    m_Fixture.AddIDSRule("Land_Attack", nullptr);
    m_Fixture.Set(kTuning, "packetLog.logging", true);
    ASSERT_EQ(0, ::rmdir("Logs"));
    hwtest::WriteWholeFile("Logs", "in the way\n");
    WriteCapture({Land(), SynFin(), Land()});
    CEngineIDSSlave& slave = MakeSlave();
    ASSERT_EQ(0, slave.OnStart(0));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return slave.GetFramesRead() >= 3; }));
    EXPECT_TRUE(slave.IsPacketLogEnabled());
    EXPECT_TRUE(slave.IsEvidenceLogEnabled());
    slave.OnStop(0);
    std::vector<std::string> failed;
    for (const std::string& strLine : m_Fixture.m_HostLog.m_Services.Texts()) {
        if (strLine.find(": Failed to write frame to ") != std::string::npos ||
            strLine.rfind("packet log ", 0) == 0) {
            failed.push_back(strLine);
        }
    }
    const std::string strUntil = " until it can be written again: it is tried once a second, and goes on in the same file";
    const std::string strPacket = "Logs/pkt_replay0_000.enc";
    const std::string strEvidence = "Logs/evd_replay0_000.enc";
    EXPECT_EQ((std::vector<std::string>{
                  "packet log " + strPacket + " cannot be written: it cannot be opened: Not a directory; 1 frame not logged",
                  "\\Device\\replay0: Failed to write frame to packet log -- disabling packet logging" + strUntil,
                  "packet log " + strEvidence +
                      " cannot be written: it cannot be opened: Not a directory; 1 frame not logged",
                  "\\Device\\replay0: Failed to write frame to evidence log -- disabling evidence logging" + strUntil,
                  "packet log " + strPacket +
                      " cannot be written: it cannot be opened: Not a directory; 3 frames not logged, and it is closed so",
                  "packet log " + strEvidence +
                      " cannot be written: it cannot be opened: Not a directory; 2 frames not logged, and it is closed so"}),
              failed);
}

TEST_F(IDSSlaveTest, WithoutPacketAnalysisFramesAreLoggedAndPassedUnseen) {
    m_Fixture.AddIDSRule("Land_Attack", "Everyone", true);
    m_Fixture.Set(m_Fixture.AddBastion("TCP Incoming", "NoTelnet", "BAR", "10.9.0.0/16"), "Port", 23);
    m_Fixture.Set(kTuning, "sensor.diagnostic.p.enable", false);
    m_Fixture.Set(kTuning, "packetLog.logging", true);
    WriteCapture({From(kBarred, 6, 23), Land()});
    CEngineIDSSlave& slave = MakeSlave();
    Capture(slave, 2);
    EXPECT_TRUE(AlertNames().empty());
    EXPECT_EQ(hwtest::ReadWholeFile(m_Scratch.File("in.pcap")),
              hwtest::ReadWholeFile(Out("replay0.pass.pcap")));
    // The default Sniffer form: both frames behind the 41-byte header.
    const std::string strLog = hwtest::ReadWholeFile(Out("Logs/pkt_replay0_000.enc"));
    EXPECT_EQ(0u, strLog.find("TRSNIFF data    "));
    EXPECT_EQ(41u + 2 * (20 + zamtest::BuildFrame(Land()).size()), strLog.size());
}

TEST_F(IDSSlaveTest, PauseAndResumeRebuildTheRuleMapsOnceForAllSlaves) {
    m_Fixture.AddIDSRule("TCP_SynFin", nullptr);
    WriteCapture({SynFin()});
    WriteCapture({SynFin()}, "in1.pcap");
    CEngineIDSSlave& first = MakeSlave(kReplay0);
    CEngineIDSSlave& second = MakeSlave(kReplay1);
    const uint32_t dwRound = SlaveReadyList::Instance().BeginRound();
    ASSERT_EQ(0, first.OnStart(0));
    ASSERT_EQ(0, second.OnStart(0));
    EXPECT_TRUE(SlaveReadyList::Instance().WaitAllReady(2, 30000));
    EXPECT_NE(first.GetSlaveNumber(), second.GetSlaveNumber());
    first.OnPauseInit(0);
    second.OnPauseInit(0);
    first.OnPause(0);
    second.OnPause(0);
    // A new round: the reports of the first start no longer count.
    EXPECT_EQ(dwRound + 1, SlaveReadyList::Instance().BeginRound());
    EXPECT_FALSE(SlaveReadyList::Instance().AllReady(1));
    SlaveRuleMaps& maps = SlaveRuleMaps::Get();
    maps.issueNames[-7] = "stale";
    ASSERT_EQ(0, first.OnResume(0));
    EXPECT_EQ(0u, maps.issueNames.count(-7)) << "the first slave back rebuilds the maps";
    EXPECT_EQ(1u, maps.idsRules.count("TCP_SynFin"));
    maps.issueNames[-7] = "kept";
    ASSERT_EQ(0, second.OnResume(0));
    EXPECT_EQ(1u, maps.issueNames.count(-7)) << "the second one leaves them";
    EXPECT_TRUE(SlaveReadyList::Instance().WaitAllReady(2, 30000));
    EXPECT_TRUE(hwtest::WaitUntil([&] { return first.GetFramesRead() + second.GetFramesRead() >= 2; }));
    maps.issueNames.erase(-7);
    // An adapter going away leaves the others blocking as before.
    EXPECT_EQ(30, CEngineIDSSlave::DynamicBlockPeriod.load());
    second.OnStop(0);
    EXPECT_EQ(30, CEngineIDSSlave::DynamicBlockPeriod.load());
    EXPECT_EQ(1u, maps.idsRules.count("TCP_SynFin"));
}

// A reload's pause ends the capture thread and lets the module instance
// go, but keeps the adapter's capture open for the resume, which reads on
// from it; a resume that asks for another capture buffer sets the capture
// up anew, and the operator's pause closes it.
TEST_F(IDSSlaveTest, AReloadsPauseKeepsTheCaptureOpenUnlessItsBufferChanges) {
    m_Fixture.AddIDSRule("TCP_SynFin", nullptr);
    WriteCapture({SynFin(), SynFin(), SynFin()}, "in.pcap", 1700000000u, 1);
    hwtest::EnvironmentOverride paced("HW_PACKET_REPLAY_PACE", "1");
    CEngineIDSSlave& slave = MakeSlave();
    ASSERT_EQ(0, slave.OnStart(0));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return slave.GetFramesRead() >= 1; }));
    const rp::AdapterInfo& info = slave.GetPacketDriver()->adapterInfo();
    for (int nReload = 1; nReload <= 2; ++nReload) {
        SCOPED_TRACE(nReload);
        slave.OnPauseInit(CEngineBase::kReloadArgument);
        slave.OnPause(CEngineBase::kReloadArgument);
        EXPECT_FALSE(slave.IsInitialized());
        EXPECT_FALSE(slave.IsZamLoaded());
        EXPECT_TRUE(info.m_bReceiveCreated);
        m_Fixture.m_HostLog.m_Services.Forget();
        if (nReload == 2) {
            m_Fixture.Set(kTuning, "pcd.buffersize", "4m");
        }
        ASSERT_EQ(0, slave.OnResume(CEngineBase::kReloadArgument));
        EXPECT_EQ(nReload == 1, Logged("Packet Driver \\Device\\replay0 kept its capture through the reload"));
        EXPECT_EQ(nReload == 2, Logged("Starting Packet Driver \\Device\\replay0..."));
        EXPECT_TRUE(slave.IsInitialized());
    }
    EXPECT_EQ(4u * 1048576u, info.m_dwCaptureBufferSize);
    // Each frame of the capture once, the last a second after the others
    // at the replay's pace.
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        AlertNames();
        return m_Alerts.size() >= 3;
    }));
    slave.OnPauseInit(0);
    slave.OnPause(0);
    EXPECT_FALSE(info.m_bReceiveCreated);
    EXPECT_FALSE(info.m_bOpened);
    EXPECT_EQ(3u, slave.GetFramesRead());
    AlertNames();
    EXPECT_EQ(3u, m_Alerts.size());
}

// A live adapter's frames go on coming while a reload keeps the rules from
// them: the reload's pause keeps them in memory until the resume, which
// analyses each once, however few the capture buffer holds (here 64 KiB,
// some 150 small frames, of 2,000 frames, every tenth an attack).  What
// comes while the resumed engine analyses them is kept too, and the engine
// takes the capture over once it has caught up: each frame of both is
// analysed once, and the reload's catch-up ends.
TEST_F(IDSSlaveTest, AReloadsPauseKeepsALiveAdaptersFramesForTheResume) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "live capture needs root";
    }
    if (const int error = hwtest::EnterNewNetworkNamespace(); error != 0) {
        GTEST_SKIP() << "no private network namespace: " << std::strerror(error);
    }
    ASSERT_EQ(0, std::system("ip link add hwk0 type veth peer name hwk1"));
    for (const char* pszEnd : {"hwk0", "hwk1"}) {
        hwtest::WriteWholeFile(std::string("/proc/sys/net/ipv6/conf/") + pszEnd + "/disable_ipv6", "1");
        ASSERT_EQ(0, std::system((std::string("ip link set ") + pszEnd + " up").c_str()));
    }
    m_Fixture.AddIDSRule("TCP_SynFin", nullptr);
    m_Fixture.Set(kTuning, "pcd.buffersize", "64k");
    CEngineIDSSlave& slave = MakeSlave("\\Device\\hwk0");
    ASSERT_EQ(0, slave.OnStart(0));
    ASSERT_TRUE(slave.IsInitialized());
    EXPECT_FALSE(slave.IsRecordedInput());
    slave.OnPauseInit(CEngineBase::kReloadArgument);
    slave.OnPause(CEngineBase::kReloadArgument);

    const int sender = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    ASSERT_GE(sender, 0);
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(::if_nametoindex("hwk1"));
    to.sll_halen = 6;
    constexpr uint32_t kFrames = 2000;
    // Two thousand a second, as a busy adapter brings them, from frame
    // `first` on, every `attackEvery`th an attack (the master's queue,
    // which nothing empties here, takes 256 alerts).
    const auto send = [&](uint32_t first, uint32_t attackEvery) {
        const auto start = std::chrono::steady_clock::now();
        for (uint32_t n = first; n < first + kFrames; ++n) {
            FrameSpec spec = n % attackEvery == 0 ? SynFin() : From(Ip(198, 51, 100, 7), 6, 80);
            spec.m_dwSource = Ip(203, 0, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n));
            const std::vector<uint8_t> frame = zamtest::BuildFrame(spec);
            if (::sendto(sender, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
                static_cast<ssize_t>(frame.size())) {
                return false;
            }
            std::this_thread::sleep_until(start + std::chrono::microseconds(500 * (n - first + 1)));
        }
        return true;
    };
    ASSERT_TRUE(send(0, 10));
    ASSERT_EQ(0, slave.OnResume(CEngineBase::kReloadArgument));
    ASSERT_TRUE(send(kFrames, 50));
    ::close(sender);
    // A machine so loaded that the engine gets no turn while the capture
    // buffer fills (75 ms of these frames) may have its capture drop some:
    // they are counted, as the adapter's bound.
    const auto counted = [] {
        uint64_t qwCounted = 0;
        for (const std::string& line : InputBounds::Instance().Describe()) {
            if (line.starts_with("Bound reached: adapter \\Device\\hwk0:")) {
                const size_t end = line.rfind(" frames left out");
                const size_t begin = line.rfind(' ', end - 1) + 1;
                qwCounted += std::stoull(line.substr(begin, end - begin));
            }
        }
        return qwCounted;
    };
    EXPECT_TRUE(hwtest::WaitUntil([&] { return slave.GetFramesRead() + counted() >= 2 * kFrames; }))
        << slave.GetFramesRead() << " read, " << counted() << " counted";
    EXPECT_TRUE(hwtest::WaitUntil([&] { return CatchUps::Instance().Pending() == 0; }));
    slave.OnStopInit(0);
    slave.OnStop(0);
    const uint64_t qwCounted = counted();
    EXPECT_EQ(2 * kFrames, slave.GetFramesRead() + qwCounted) << qwCounted << " counted";
    if (qwCounted == 0) {
        EXPECT_EQ(kFrames / 10 + kFrames / 50, AlertNames().size());
        EXPECT_FALSE(Logged("Bound reached")) << "nothing dropped";
    } else {
        EXPECT_LE(AlertNames().size(), kFrames / 10 + kFrames / 50);
        std::printf("the capture dropped %llu frames, counted\n", static_cast<unsigned long long>(qwCounted));
    }
}

// A capture file waits for its reader: a replay whose alerts find the
// master's queue full waits for room for as long as it takes (no time of
// it counted as the module's), leaves nothing out, and still stops at once.
TEST_F(IDSSlaveTest, AReplayWaitsForRoomInTheQueueAndStillStopsAtOnce) {
    ScopedTestClock clock;
    m_Fixture.AddIDSRule("TCP_SynFin", nullptr);
    constexpr uint32_t kAttacks = 300;
    std::vector<FrameSpec> frames;
    for (uint32_t i = 0; i < kAttacks; ++i) {
        FrameSpec spec = SynFin();
        spec.m_dwSource = Ip(203, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i));
        frames.push_back(spec);
    }
    WriteCapture(frames);
    CEngineIDSSlave& slave = MakeSlave();
    ASSERT_EQ(0, slave.OnStart(0));
    EXPECT_TRUE(slave.IsRecordedInput());
    // Nobody takes the alerts: the queue fills with the alerts of the first
    // frames, and the slave holds the next one, waiting for room (the clock
    // is put forward only then: a frame still inside the module has its
    // time counted, as it should).
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return m_Queue.Size() == IDSEventQueue::kCapacity && slave.IsWaitingForRoom();
    }));
    EXPECT_EQ(IDSEventQueue::kCapacity, slave.GetFramesRead());
    // Held twice as long as a live adapter's retries last, and for two
    // minutes of the engine's clock, more than the module is given.
    clock.Advance(120);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_FALSE(slave.isTimedOut(clock.Get())) << "waiting for the queue is not the module's time";
    EXPECT_EQ(IDSEventQueue::kCapacity, slave.GetFramesRead());
    EXPECT_EQ(0u, slave.GetQueueFailures());

    // A stop does not wait for room: the record in hand goes past the
    // capacity, for the master to take once its slaves have ended.
    slave.OnStopInit(0);
    slave.OnStop(0);
    EXPECT_EQ(IDSEventQueue::kCapacity + 1, m_Queue.Size());
    // Started again, the replay goes on from where it stopped; every attack
    // gives its one alert.
    size_t nAlerts = AlertNames().size();
    ASSERT_EQ(0, slave.OnStart(0));
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        nAlerts += AlertNames().size();
        return nAlerts >= kAttacks;
    }));
    slave.OnStop(0);
    nAlerts += AlertNames().size();
    std::printf("%zu alerts of %u attacks, %" PRIu64 " left out\n", nAlerts, kAttacks, slave.GetQueueFailures());
    EXPECT_EQ(kAttacks, nAlerts);
    EXPECT_EQ(0u, slave.GetQueueFailures());
}

TEST_F(IDSSlaveTest, OnlyTimeInsideTheModuleCountsTowardsTheLoopTimeout) {
    ScopedTestClock clock;
    // The module holds the first frame for a few seconds.
    m_Fixture.Set(kTuning, "zam.standin.stall", "3");
    WriteCapture({SynFin()});
    CEngineIDSSlave& slave = MakeSlave();
    EXPECT_FALSE(slave.isTimedOut(clock.Get() + 3600)) << "not inside the module";
    ASSERT_EQ(0, slave.OnStart(0));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return slave.isTimedOut(clock.Get() + 61); }, 10));
    slave.LogCrash(nullptr);
    EXPECT_FALSE(slave.isTimedOut(clock.Get() + 60));
    CEngineIDSSlave::ZamLoopTimeout = 0;
    EXPECT_FALSE(slave.isTimedOut(clock.Get() + 3600)) << "0 switches the check off";
    CEngineIDSSlave::ZamLoopTimeout = 60;
    EXPECT_TRUE(Logged("CEngineIDSSlave::isTimedOut: Interface \\Device\\replay0 has timed out. "
                       "Time elapsed: 61"));
    // The crash record carries the frame the module holds.
    EXPECT_TRUE(LoggedStart("Frame 1: 54 of 54 bytes: 02 00 00 00 00 0a"));
    EXPECT_TRUE(hwtest::WaitUntil([&] { return slave.GetFramesRead() == 1; }));
    EXPECT_FALSE(slave.isTimedOut(clock.Get() + 3600)) << "waiting for frames is no time-out";
}

TEST_F(IDSSlaveTest, FaultInsideTheModuleEndsTheProcessWithExitCodeOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    m_Fixture.Set(kTuning, "zam.standin.fault", "on");
    WriteCapture({SynFin()});
    CEngineIDSSlave& slave = MakeSlave();
    EXPECT_EXIT(
        {
            slave.OnStart(0);
            hwtest::WaitUntil([] { return false; }, 30);
        },
        ::testing::ExitedWithCode(1), "");
}

TEST_F(IDSSlaveTest, FailedSetUpLeavesTheAdapterUnmonitored) {
    CEngineIDSSlave& slave = MakeSlave("\\Device\\no-such-adapter");
    EXPECT_EQ(1, slave.Initialize(true));
    EXPECT_FALSE(slave.IsInitialized());
    ASSERT_EQ(0, slave.OnStart(0));
    EXPECT_TRUE(slave.WaitForExit(30000));
    EXPECT_EQ(1u, slave.ExitCode());
    EXPECT_TRUE(Logged("Network Monitoring for interface \\Device\\no-such-adapter is DISABLED. "
                       "PacketDriver not initialized.\n"));
}

// Adapters without a hardware address (replay adapters, tunnels) keep
// their logs apart by their names, made fit for a file name.
TEST(IDSSlaveLogNameTest, AnAdapterWithoutAHardwareAddressIsNamedByItsAdapterName) {
    EXPECT_EQ("02-00-5E-00-00-01", CEngineIDSSlave::LogFileTag(kReplay0, "02-00-5E-00-00-01"));
    EXPECT_EQ("replay0_", CEngineIDSSlave::LogFileTag(kReplay0, ""));
    EXPECT_EQ("tun0_", CEngineIDSSlave::LogFileTag("\\Device\\tun0", ""));
    EXPECT_EQ("vpn_x_y.100_", CEngineIDSSlave::LogFileTag("\\Device\\vpn/x y.100", ""));
    EXPECT_EQ("_Dev_ppp0_", CEngineIDSSlave::LogFileTag("\\Dev\\ppp0", ""));
}

TEST(IDSSlaveAddressTest, LocalAddressesComeFromTheDescriptionWithTheDriversAddress) {
    const uint8_t mac[6] = {0x02, 0x00, 0x5e, 0x00, 0x00, 0x01};
    rp::AdaptersArray adapters;
    auto add = [&](const char* pszMac, const char* pszIp, bool bTcpip) {
        rp::AdapterDescription description("\\Device\\x");
        description.m_strMacAddress = pszMac;
        description.m_strIpAddress = pszIp;
        description.m_bTcpipKnown = bTcpip;
        adapters.add(description);
    };
    add("02-00-5E-00-00-02", "192.0.2.9", true);
    add("02-00-5E-00-00-01", "192.0.2.10 192.0.2.11", true);  // multi-homed: none
    add("02-00-5E-00-00-01", "0.0.0.0", true);
    add("02-00-5E-00-00-01", "192.0.2.12", false);
    add("not a mac", "192.0.2.13", true);
    add("02-00-5E-00-00-01", "198.51.100.1", true);
    std::string strMac;
    EXPECT_EQ((std::vector<uint32_t>{Ip(198, 51, 100, 1)}),
              CEngineIDSSlave::LocalAddressesOf(mac, 6, adapters, strMac));
    EXPECT_EQ("02-00-5E-00-00-01", strMac);
}

}  // namespace
