#include "qorZamSensorLib/qorZamSensorEx.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <fstream>
#include <stdexcept>

#include "FrameParser.h"
#include "RecordingNotify.h"
#include "ZamFrames.h"
#include "ZamStandinDiagnostics.h"
#include "ZamTestPaths.h"
#include "qorCSFLib/FakeHost.h"
#include "qorSensorUtil/DetectorIssueMap.h"
#include "qorZamSensorLib/qorZamCoalescerEx.h"
#include "qorZamSensorLib/qorZamSensorMgr.h"
#include "support/ChildProcess.h"
#include "support/TestUtil.h"

using namespace zamtest;

namespace {

std::string g_strRaised;

void RecordingHandler(const char* message) {
    g_strRaised = message;
}

class qorZamSensorExTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string version;
        m_pManager = qorZamSensorMgr::GetInstance(ModulePath().c_str(), 1.0f, version, &m_Log);
        ASSERT_NE(nullptr, m_pManager);
        ASSERT_TRUE(m_pManager->InitIssuesMap(IssueFile().c_str(), nullptr));
        m_pSensor = MakeSensor(&m_Notify);
        ASSERT_NE(nullptr, m_pSensor);
        m_pfnSymbol = reinterpret_cast<zam::ZamSymbolFn>(
            DynamicLibrary(m_Module).GetProc("zamSymbol"));
    }
    void TearDown() override {
        if (m_pSensor != nullptr) {
            m_pManager->DestroyZamInstance(m_pSensor);
        }
        qorZamSensorMgr::ReleaseInstance();
    }

    IZamSensor* MakeSensor(IZamEventMatchNotify* notify) {
        const uint32_t local[] = {htonl(Ip(192, 0, 2, 10))};  // network byte order
        m_pManager->SetEventMatchNotify(notify);
        return m_pManager->CreateZamInstance(local, 1, 123);
    }

    template <typename F>
    F Diagnostic(uint32_t index) {
        if (m_pfnSymbol == nullptr) {
            m_Module.Load(ModulePath().c_str());
            m_pfnSymbol = GetProcAs<zam::ZamSymbolFn>(m_Module, "zamSymbol");
        }
        return reinterpret_cast<F>(m_pfnSymbol(index));
    }
    zam::ZamHandle Handle() { return static_cast<qorZamSensorEx*>(m_pSensor)->GetEngineHandle(); }
    uint32_t CallbackMask() {
        return Diagnostic<uint32_t (*)(zam::ZamHandle)>(sigmod::kCallbackMaskIndex)(Handle());
    }
    std::string LastParameter() {
        return Diagnostic<const char* (*)(zam::ZamHandle)>(sigmod::kLastParameterIndex)(Handle());
    }
    const sigmod::ModuleCounters& Counters() {
        return *Diagnostic<const sigmod::ModuleCounters* (*)()>(sigmod::kDiagnosticsIndex)();
    }
    int32_t Feed(const FrameSpec& spec, uint32_t seconds = 100) {
        RecordedFrame frame(BuildFrame(spec), seconds);
        uint8_t context[zam::kReceiveContextBytes] = {};
        return m_pSensor->Receive(frame.Record(), context);
    }

    RecordingServices m_Log;
    RecordingNotify m_Notify;
    qorZamSensorMgr* m_pManager = nullptr;
    IZamSensor* m_pSensor = nullptr;
    DynamicLibrary m_Module;
    zam::ZamSymbolFn m_pfnSymbol = nullptr;
};

TEST_F(qorZamSensorExTest, CallbackKeysIgnoreCaseAndAnyValueButEnabledUnregisters) {
    EXPECT_EQ(0u, CallbackMask());
    EXPECT_EQ(0, m_pSensor->SetParameter("ZAM.PARSEDTCPCALLBACK", "Enabled"));
    EXPECT_EQ(sigmod::kCallbackTcp, CallbackMask());
    m_pSensor->SetParameter("zam.MacReportingCallback", "ENABLED");
    EXPECT_EQ(sigmod::kCallbackTcp | sigmod::kCallbackMac, CallbackMask());
    m_pSensor->SetParameter("zam.parsedtcpcallback", "off");
    EXPECT_EQ(sigmod::kCallbackMac, CallbackMask());
    m_pSensor->SetParameter("zam.macreportingcallback", "enabled ");
    EXPECT_EQ(0u, CallbackMask());
    // Callback keys never reach the module's own parameters.
    EXPECT_EQ("", LastParameter());
}

TEST_F(qorZamSensorExTest, PrefixedNamesReachTheModuleUnchangedAndOthersAreOnlyTraced) {
    EXPECT_EQ(0, m_pSensor->SetParameter("Zam.Sensor.Type.Hint", "hostwarden-inline"));
    EXPECT_EQ("Zam.Sensor.Type.Hint=hostwarden-inline", LastParameter());
    EXPECT_EQ(0, m_pSensor->SetParameter("sensor.type.hint", "other"));
    EXPECT_EQ("Zam.Sensor.Type.Hint=hostwarden-inline", LastParameter());
    EXPECT_TRUE(m_Log.Logged(
        "sensor.type.hint: Invalid ZAM parameter name; all names must be prefixed with 'zam'."));
}

TEST_F(qorZamSensorExTest, InstanceGetsTheCustomerIdAndTheGivenExceptionHandler) {
    EXPECT_EQ(123u, Counters().m_dwLastCustomerId.load());
    // Without a handler of the engine's own, a module error is an exception.
    EXPECT_THROW(m_pSensor->SetParameter("zam.standin.raise", "default"), std::runtime_error);

    m_pManager->SetExceptionHandler(&RecordingHandler);
    IZamSensor* second = MakeSensor(&m_Notify);
    ASSERT_NE(nullptr, second);
    second->SetParameter("zam.standin.raise", "engine handler");
    EXPECT_EQ("engine handler", g_strRaised);
    m_pManager->DestroyZamInstance(second);
}

struct AttackCase {
    const char* m_pszName;
    FrameSpec m_Spec;
    uint32_t m_dwIssueId;
};

FrameSpec With(void (*change)(FrameSpec&)) {
    FrameSpec spec;
    change(spec);
    return spec;
}

TEST_F(qorZamSensorExTest, CraftedAttackFramesRaiseTheirIssues) {
    const AttackCase cases[] = {
        {"land", With([](FrameSpec& s) {
             s.m_dwSource = s.m_dwDestination;
             s.m_wSourcePort = s.m_wDestinationPort = 139;
         }),
         1001},
        {"syn+fin", With([](FrameSpec& s) { s.m_byTcpFlags = 0x03; }), 1002},
        {"oversized ping fragment", With([](FrameSpec& s) {
             s.m_byProtocol = 1;
             s.m_wFragmentWord = 8100;  // 64,800 + 1,000 bytes
             s.m_strPayload.assign(992, 'x');
         }),
         1003},
        {"payload string", With([](FrameSpec& s) {
             s.m_byTcpFlags = 0x18;
             s.m_strPayload = "GET /scripts/..%c1%9c../winnt/system32/cmd.exe?/c+dir HTTP/1.0\r\n";
         }),
         1006},
    };
    for (const AttackCase& attack : cases) {
        SCOPED_TRACE(attack.m_pszName);
        m_Notify.m_Matches.clear();
        EXPECT_EQ(zam::kVerdictMatched, Feed(attack.m_Spec));
        ASSERT_EQ(1u, m_Notify.m_Matches.size());
        const SeenMatch& match = m_Notify.m_Matches[0];
        EXPECT_EQ(attack.m_dwIssueId, match.m_dwIssueId);
        EXPECT_EQ(m_pManager->GetIssuesMap()->FindIssue(attack.m_dwIssueId), match.m_strName);
        EXPECT_EQ(attack.m_Spec.m_dwSource, match.m_dwIntruder);
        EXPECT_EQ(attack.m_Spec.m_dwDestination, match.m_dwVictim);
    }
    m_Notify.m_Matches.clear();
    EXPECT_EQ(zam::kVerdictPassed, Feed(FrameSpec{}));
    EXPECT_TRUE(m_Notify.m_Matches.empty());
}

TEST_F(qorZamSensorExTest, PortScanIsRaisedOnceAsNotTheFramesOwnAttack) {
    FrameSpec probe;
    for (uint16_t port = 20; port < 40; ++port) {
        probe.m_wDestinationPort = port;
        Feed(probe, 500);
    }
    ASSERT_EQ(1u, m_Notify.m_Matches.size());
    EXPECT_EQ(1005u, m_Notify.m_Matches[0].m_dwIssueId);
    EXPECT_EQ(zam::kMatchNonSequitur, m_Notify.m_Matches[0].m_dwFlags);
    EXPECT_EQ("ports=10,window=5", m_Notify.m_Matches[0].m_strParams);
}

TEST_F(qorZamSensorExTest, DisabledIssuesRaiseNothing) {
    m_pSensor->IssueDisableAll();
    m_pSensor->IssueEnable(1002);
    FrameSpec landSynFin;
    landSynFin.m_dwSource = landSynFin.m_dwDestination;
    landSynFin.m_wSourcePort = landSynFin.m_wDestinationPort;
    landSynFin.m_byTcpFlags = 0x03;
    Feed(landSynFin);
    ASSERT_EQ(1u, m_Notify.m_Matches.size());
    EXPECT_EQ(1002u, m_Notify.m_Matches[0].m_dwIssueId);
}

TEST_F(qorZamSensorExTest, ParsedCallbacksSeeTheHeadersAndABlockStopsTheSignatures) {
    for (const char* key : {"zam.parsedipcallback", "zam.parsedtcpcallback",
                            "zam.parsedudpcallback", "zam.parsedicmpcallback",
                            "zam.macreportingcallback"}) {
        m_pSensor->SetParameter(key, "enabled");
    }
    FrameSpec icmp;
    icmp.m_byProtocol = 1;
    Feed(icmp);
    EXPECT_EQ((std::vector<std::string>{"mac 7", "ip", "icmp 8/0"}), m_Notify.m_Parsed);

    FrameSpec synFin;
    synFin.m_byTcpFlags = 0x03;
    m_Notify.m_Parsed.clear();
    m_Notify.m_nTcpAnswer = 0;
    EXPECT_EQ(zam::kVerdictBlockedByCallback, Feed(synFin));
    EXPECT_EQ((std::vector<std::string>{"mac 7", "ip", "tcp 40000>80"}), m_Notify.m_Parsed);
    EXPECT_TRUE(m_Notify.m_Matches.empty());
}

// Every prefix of a frame is handed in as a buffer of exactly that size, so
// the sanitizers see any read past the captured bytes.
TEST_F(qorZamSensorExTest, TruncatedFramesAreReadOnlyWithinTheirCapturedBytes) {
    m_pSensor->SetParameter("zam.parsedtcpcallback", "enabled");
    FrameSpec spec;
    spec.m_byTcpFlags = 0x03;
    spec.m_strPayload = "cmd.exe";
    std::vector<uint8_t> whole = BuildFrame(spec);
    for (size_t length = 0; length < whole.size(); ++length) {
        RecordedFrame frame(std::vector<uint8_t>(whole.begin(), whole.begin() + length));
        m_pSensor->Receive(frame.Record(), nullptr);
        const void* start = nullptr;
        uint32_t resetLength = 0;
        void* reset = m_pSensor->ResetFrameCreate(frame.Record(), nullptr, nullptr, 0, nullptr, 0,
                                                  false, &start, &resetLength, true);
        m_pSensor->ResetFrameDestroy(reset);
    }
    EXPECT_LT(0u, Counters().m_dwMalformedFrames.load());
    // Only a whole TCP header counts as TCP; the payload match needs the
    // whole payload, which no prefix holds.
    EXPECT_EQ(spec.m_strPayload.size(), m_Notify.m_Matches.size());
    for (const SeenMatch& match : m_Notify.m_Matches) {
        EXPECT_EQ(1002u, match.m_dwIssueId);
    }
}

TEST_F(qorZamSensorExTest, ResetFramesAnswerTheSegmentWithValidChecksums) {
    FrameSpec data;
    data.m_byTcpFlags = 0x18;
    data.m_dwSequence = 5000;
    data.m_dwAcknowledgement = 9000;
    data.m_strPayload = "hello";
    RecordedFrame frame(BuildFrame(data));
    const uint8_t newSource[6] = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};

    const void* start = nullptr;
    uint32_t length = 0;
    void* back = m_pSensor->ResetFrameCreate(frame.Record(), nullptr, newSource, 6, nullptr, 0,
                                             false, &start, &length, true);
    ASSERT_TRUE(m_pSensor->ResetFrameIsValid(back));
    ASSERT_EQ(54u, length);
    std::vector<uint8_t> reverse(static_cast<const uint8_t*>(start),
                                 static_cast<const uint8_t*>(start) + length);
    m_pSensor->ResetFrameDestroy(back);
    EXPECT_TRUE(ChecksumsVerify(reverse.data(), length));
    EXPECT_EQ(0, std::memcmp(reverse.data() + 6, newSource, 6));
    EXPECT_EQ(0, std::memcmp(reverse.data(), frame.m_Bytes.data() + 6, 6));
    sigmod::ParsedFrame parsed = sigmod::ParseFrame(reverse.data(), length);
    EXPECT_EQ(data.m_dwDestination, parsed.m_dwSource);
    EXPECT_EQ(80, parsed.m_wSourcePort);
    EXPECT_EQ(9000u, parsed.m_dwSequence);
    EXPECT_EQ(5005u, parsed.m_dwAcknowledgement);
    EXPECT_EQ(0x14, parsed.m_byTcpFlags);

    void* forward = m_pSensor->ResetFrameCreate(frame.Record(), nullptr, nullptr, 0, nullptr, 0,
                                                false, &start, &length, false);
    ASSERT_TRUE(m_pSensor->ResetFrameIsValid(forward));
    EXPECT_TRUE(ChecksumsVerify(static_cast<const uint8_t*>(start), length));
    parsed = sigmod::ParseFrame(static_cast<const uint8_t*>(start), length);
    EXPECT_EQ(data.m_dwSource, parsed.m_dwSource);
    EXPECT_EQ(5005u, parsed.m_dwSequence);
    std::vector<uint8_t> own(static_cast<const uint8_t*>(start),
                             static_cast<const uint8_t*>(start) + length);
    m_pSensor->ResetFrameDestroy(forward);

    std::string tshark = hwtest::FindProgram("tshark");
    if (tshark.empty()) {
        return;
    }
    hwtest::ScratchDirectory dir;
    std::string capture = dir.File("resets.pcap");
    {
        std::ofstream out(capture, std::ios::binary);
        const uint32_t header[6] = {0xA1B2C3D4, 0x00040002, 0, 0, 65535, 1};
        out.write(reinterpret_cast<const char*>(header), sizeof header);
        for (const std::vector<uint8_t>* bytes : {&reverse, &own}) {
            const uint32_t record[4] = {1, 0, uint32_t(bytes->size()), uint32_t(bytes->size())};
            out.write(reinterpret_cast<const char*>(record), sizeof record);
            out.write(reinterpret_cast<const char*>(bytes->data()), bytes->size());
        }
    }
    std::string output = dir.File("fields.txt");
    hwtest::ChildProcess run;
    run.SetErrorFile(dir.File("errors.txt"));
    ASSERT_TRUE(run.Start({tshark, "-r", capture, "-o", "ip.check_checksum:TRUE", "-o",
                           "tcp.check_checksum:TRUE", "-T", "fields", "-e", "tcp.flags.reset",
                           "-e", "ip.checksum.status", "-e", "tcp.checksum.status"},
                          output));
    int exitCode = -1;
    ASSERT_TRUE(run.Wait(120, exitCode));
    EXPECT_EQ(0, exitCode);
    EXPECT_EQ("1\t1\t1\n1\t1\t1\n", hwtest::ReadWholeFile(output));
}

TEST_F(qorZamSensorExTest, ResetOfANonTcpFrameIsInvalidWithNoStartOrLength) {
    FrameSpec udp;
    udp.m_byProtocol = 17;
    RecordedFrame frame(BuildFrame(udp));
    const uint8_t mac[6] = {2, 2, 2, 2, 2, 2};
    const void* start = &mac;
    uint32_t length = 99;
    void* reset = m_pSensor->ResetFrameCreate(frame.Record(), nullptr, mac, 6, mac, 6, true, &start,
                                              &length, false);
    EXPECT_FALSE(m_pSensor->ResetFrameIsValid(reset));
    EXPECT_EQ(nullptr, start);
    EXPECT_EQ(0u, length);
    m_pSensor->ResetFrameDestroy(reset);
}

TEST_F(qorZamSensorExTest, CoalescerSubsystemStartsWithTheFirstAndEndsWithTheLast) {
    uint32_t initialised = Counters().m_dwCoalescerInitializeCalls.load();
    uint32_t finalised = Counters().m_dwCoalescerFinalizeCalls.load();
    IZamCoalescer* first = m_pManager->CreateZamCoalescer(m_pSensor);
    IZamCoalescer* second = m_pManager->CreateZamCoalescer(m_pSensor);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(initialised + 1, Counters().m_dwCoalescerInitializeCalls.load());
    m_pManager->DestroyZamCoalescer(first);
    EXPECT_EQ(finalised, Counters().m_dwCoalescerFinalizeCalls.load());
    m_pManager->DestroyZamCoalescer(second);
    EXPECT_EQ(finalised + 1, Counters().m_dwCoalescerFinalizeCalls.load());
    EXPECT_EQ(0u, qorZamCoalescerEx::LiveCount());
}

TEST_F(qorZamSensorExTest, CoalescerOnAnInstanceWithoutEngineIsRefused) {
    qorZamSensorEx bare(m_Module);
    EXPECT_EQ(nullptr, m_pManager->CreateZamCoalescer(&bare));
    EXPECT_EQ(nullptr, m_pManager->CreateZamCoalescer(nullptr));
    EXPECT_EQ(0u, qorZamCoalescerEx::LiveCount());
}

TEST_F(qorZamSensorExTest, ConsolidatedMatchesHandEveryRecordBack) {
    RecordingNotify consolidated;
    m_pManager->SetEventMatchNotify(&consolidated);
    IZamCoalescer* coalescer = m_pManager->CreateZamCoalescer(m_pSensor);
    ASSERT_NE(nullptr, coalescer);
    int records[4] = {};
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(0, coalescer->Process(100 + i, 1001, 1, 0, 1, 2, 80, 81, 0, 0, nullptr, &records[i]));
    }
    coalescer->Process(101, 1002, 1, 0, 1, 2, 80, 81, 0, 0, "a=b", &records[3]);
    coalescer->Age(104);
    EXPECT_TRUE(consolidated.m_Consolidated.empty());
    coalescer->Age(105);
    ASSERT_EQ(1u, consolidated.m_Consolidated.size());
    EXPECT_EQ(1001u, consolidated.m_Consolidated[0].m_dwIssueId);
    EXPECT_EQ(3u, consolidated.m_Consolidated[0].m_dwCount);
    EXPECT_EQ((std::vector<void*>{&records[0], &records[1], &records[2]}),
              consolidated.m_Consolidated[0].m_Records);
    // Destroying the coalescer gives back what it still held.
    m_pManager->DestroyZamCoalescer(coalescer);
    ASSERT_EQ(2u, consolidated.m_Consolidated.size());
    EXPECT_EQ((std::vector<void*>{&records[3]}), consolidated.m_Consolidated[1].m_Records);
}

}  // namespace
