#include "IDS/CEngineIDS.h"

#include <dlfcn.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Common/AgentEventInfoDefault.h"
#include "Common/SensorSettings.h"
#include "IDS/CEngineIDSSlave.h"
#include "IDS/IDSClock.h"
#include "IDS/IDSConfig.h"
#include "IDS/PolicyFixture.h"
#include "hostwarden/ICSFClassFactory.h"
#include "qorZamSensorLib/ZamFrames.h"
#include "rawpacket/PacketDll.h"
#include "rawpacket/ReplayFixture.h"
#include "ShimDiagnostics.h"
#include "support/EngineEnd.h"
#include "support/NetworkNamespace.h"
#include "support/TestUtil.h"

namespace {

constexpr const char kTuning[] = "\\config\\tuning";
constexpr const char kReplay0[] = "\\Device\\replay0";
constexpr const char kReplay1[] = "\\Device\\replay1";

// Hands out the process's IDS configuration, as the sensor's factory does.
class ConfigFactory : public ICSFClassFactory {
public:
    CSFResult CreateInstance(const CSFIdentifier& iid, void** ppObject) override {
        if (iid != CLSID_IDSConfig) {
            return CSF_E_NO_INTERFACE;
        }
        *ppObject = static_cast<IIDSConfig*>(CIDSConfig::GetInstance());
        return CSF_S_OK;
    }
    uint32_t Release() override { return 0; }
};

std::atomic<int> g_nNotifications{0};
void CountNotification() { ++g_nNotifications; }

// A slave whose thread never reports that it runs: it only waits to be
// stopped, and sets nothing up.
class SilentSlave : public CEngineIDSSlave {
public:
    using CEngineIDSSlave::CEngineIDSSlave;
    // The thread runs this class's _doWork: its end is awaited before this
    // part of the slave goes, however long a loaded machine takes.
    ~SilentSlave() override {
        hwtest::EndHeldEngine(*this);
        StopAndWait();
    }
    int32_t Oninit(uint32_t) override { return 0; }
    int32_t OnStart(uint32_t) override { return StartThread(); }
    int32_t OnResume(uint32_t) override { return StartThread(); }
    int32_t OnPause(uint32_t) override { return StopAndWait(); }
    int32_t OnStop(uint32_t) override { return StopAndWait(); }

protected:
    uint32_t _doWork() override {
        while (StopRequested() == 0) {
            Sleep(1000);
        }
        return 0;
    }
};

class SilentSlaveEngine : public CEngineIDS {
public:
    using CEngineIDS::CEngineIDS;

protected:
    CEngineIDSSlave* CreateSlave(const std::string& strAdapter, uint32_t dwFlags) override {
        return new SilentSlave(strAdapter.c_str(), kCustomerId, dwFlags, &GetEventQueue());
    }
};

// A land attack (source and destination the same address and port) from
// 192.0.2.`byHost`, and a SYN+FIN segment from another host.
zamtest::FrameSpec LandAttack(uint8_t byHost = 10) {
    zamtest::FrameSpec spec;
    spec.m_dwSource = spec.m_dwDestination = zamtest::Ip(192, 0, 2, byHost);
    spec.m_wSourcePort = spec.m_wDestinationPort = 139;
    return spec;
}

zamtest::FrameSpec SynFin() {
    zamtest::FrameSpec spec;
    spec.m_byTcpFlags = 0x03;
    return spec;
}

std::string CaptureOf(const std::vector<zamtest::FrameSpec>& specs) {
    std::vector<rptest::TestFrame> frames;
    for (const zamtest::FrameSpec& spec : specs) {
        frames.push_back({zamtest::BuildFrame(spec), 1767225600u, 0});
    }
    return rptest::PcapBytes(frames);
}

class CEngineIDSTest : public ::testing::Test {
protected:
    CEngineIDSTest() {
        std::filesystem::create_directories(m_Root.File("Duskwall"));
        std::filesystem::copy_file(std::string(HW_SOURCE_DIR) + "/examples/demo/Duskwall/issues.csv",
                                   m_Root.File("Duskwall/issues.csv"));
        hwtest::WriteWholeFile(m_Root.File("attack.pcap"), CaptureOf({LandAttack()}));
        hwtest::WriteWholeFile(m_Root.File("quiet.pcap"), CaptureOf({}));
        SensorSettings::Instance().m_bNodekeeper = true;
        m_Fixture.Set("\\Advanced\\Rules\\Nodekeeper Rules\\Land_Attack", "Enabled", true);
        CEngineIDS::SetSlaveReadyWait(30000);
        g_nNotifications = 0;
    }
    ~CEngineIDSTest() override { hwtest::EndEngine(m_pEngine, hwtest::EngineStop::kWithOnStop); }

    template <typename EngineType = CEngineIDS>
    CEngineIDS& Engine() {
        if (!m_pEngine) {
            CEngineIDS::Site site;
            site.pFactory = &m_Factory;
            site.pfnAdapterNotify = &CountNotification;
            site.sensorDirectory = [this] { return m_Root.Path() + "/"; };
            m_pEngine = std::make_unique<EngineType>(std::move(site));
        }
        return *m_pEngine;
    }
    // Starts the engine, then waits until the process ends.
    void RunUntilTheProcessEnds() {
        if (Engine().Oninit(0) == 0 && Engine().OnStart(0) == 0) {
            hwtest::WaitUntil([] { return false; }, 60.0);
        }
        std::exit(0);
    }
    void Replay(const std::string& strFiles) {
        m_ReplayFiles.reset();
        m_ReplayFiles = std::make_unique<hwtest::EnvironmentOverride>("HW_PACKET_REPLAY", strFiles.c_str());
    }
    // A replay paced, with its second frame an hour after the first: still
    // playing when the engine is asked.
    void ReplayLasting() {
        std::vector<rptest::TestFrame> frames = {{zamtest::BuildFrame(LandAttack()), 1767225600u, 0},
                                                 {zamtest::BuildFrame(LandAttack()), 1767229200u, 0}};
        hwtest::WriteWholeFile(m_Root.File("lasting.pcap"), rptest::PcapBytes(frames));
        Replay(m_Root.File("lasting.pcap"));
        m_Paced = std::make_unique<hwtest::EnvironmentOverride>("HW_PACKET_REPLAY_PACE", "1");
    }

    // What the packet library was last told of a parameter, or null.
    static const char* LibraryParameter(const char* pszName) {
        void* pLibrary = dlopen(plat::MapLibraryName("DUSKDLL.DLL").c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (pLibrary == nullptr) {
            return nullptr;
        }
        auto pfnParameter = reinterpret_cast<shim::ShimParameterFn>(dlsym(pLibrary, shim::kShimParameterName));
        const char* pszValue = pfnParameter != nullptr ? pfnParameter(pszName) : nullptr;
        dlclose(pLibrary);
        return pszValue;
    }

    hwtest::ScratchDirectory m_Root;
    hwtest::EnvironmentOverride m_Monitor{"HW_PACKET_MONITOR", "\\Device\\replay0,\\Device\\replay1"};
    hwtest::EnvironmentOverride m_Out{"HW_PACKET_REPLAY_OUT", m_Root.Path().c_str()};
    hwtest::EnvironmentOverride m_ListError{"HW_PACKET_LIST_ERROR", nullptr};
    std::unique_ptr<hwtest::EnvironmentOverride> m_ReplayFiles;
    std::unique_ptr<hwtest::EnvironmentOverride> m_Paced;
    PolicyFixture m_Fixture;
    ConfigFactory m_Factory;
    std::unique_ptr<CEngineIDS> m_pEngine;
};

}  // namespace

TEST_F(CEngineIDSTest, NodekeeperOffLoadsNoLibraryAndTheThreadEndsAtOnce) {
    SensorSettings::Instance().m_bNodekeeper = false;
    Replay(m_Root.File("attack.pcap"));
    ASSERT_EQ(0, Engine().Oninit(0));
    EXPECT_FALSE(Engine().IsPacketLibraryLoaded());
    EXPECT_TRUE(Engine().GetSlaveNames().empty());
    EXPECT_EQ(0, Engine().OnStart(0));
    EXPECT_TRUE(m_Fixture.m_HostLog.Contains("Network Monitoring Component of Host Warden is DISABLED."));
    ASSERT_TRUE(Engine().WaitForExit(10000));
    EXPECT_EQ(1u, Engine().ExitCode());
}

TEST_F(CEngineIDSTest, EveryMonitoredAdapterGetsASlaveWithTheInlineFlagsAndAQueueOf256) {
    Replay(m_Root.File("quiet.pcap"));
    ASSERT_EQ(0, Engine().Oninit(0));
    EXPECT_TRUE(Engine().IsPacketLibraryLoaded());
    EXPECT_TRUE(Engine().IsZamInitialized());
    EXPECT_EQ((std::vector<std::string>{kReplay0}), Engine().GetSlaveNames());
    EXPECT_TRUE(Engine().IsInlineReceive());
    EXPECT_FALSE(Engine().IsInlineTransmit());
    EXPECT_STREQ("180", LibraryParameter("packet.PassthruWatchdog"));
    EXPECT_TRUE(std::filesystem::exists(m_Root.File("Logs/ZamLog.txt")));

    IDSEventQueue& queue = Engine().GetEventQueue();
    EXPECT_EQ(256u, queue.GetCapacity());
    std::vector<std::unique_ptr<AgentEventInfo>> refused;
    for (int i = 0; i < 257; ++i) {
        auto* pRecord = new AgentEventInfoDefault(nullptr, 0);
        if (!queue.Push(pRecord)) {
            refused.emplace_back(pRecord);
        }
    }
    EXPECT_EQ(1u, refused.size());
}

TEST_F(CEngineIDSTest, PolicyPacketParametersReachTheLibraryExceptDescriptions) {
    Replay(m_Root.File("quiet.pcap"));
    m_Fixture.Set(kTuning, "packet.InlineTransmit", true);
    m_Fixture.Set(kTuning, "packet.InlineTransmitDescription", "sends resets onto the wire");
    m_Fixture.Set(kTuning, "packet.ring.size", "4m");
    m_Fixture.Set(kTuning, "packet.fastpath", false);
    ASSERT_EQ(0, Engine().Oninit(0));
    EXPECT_TRUE(Engine().IsInlineTransmit());
    EXPECT_STREQ("on", LibraryParameter("packet.InlineTransmit"));
    EXPECT_EQ(nullptr, LibraryParameter("packet.InlineTransmitDescription"));
    EXPECT_STREQ("4m", LibraryParameter("packet.ring.size"));
    EXPECT_STREQ("off", LibraryParameter("packet.fastpath"));
}

TEST_F(CEngineIDSTest, ALibraryAlreadyInitialisedByTheCaptureLibraryCounts) {
    Replay(m_Root.File("quiet.pcap"));
    // The capture library's binding initialises the packet library first,
    // so the engine's own initialisation answers "already initialised".
    rp::PacketDll binding;
    ASSERT_EQ(0, Engine().Oninit(0));
    EXPECT_TRUE(Engine().IsPacketLibraryLoaded());
    EXPECT_TRUE(m_Fixture.m_HostLog.Contains("Successfully loaded the Duskwall driver"));
}

TEST_F(CEngineIDSTest, MemoryFactorTakesPercentagesFrom25To900) {
    Replay(m_Root.File("quiet.pcap"));
    const struct {
        int32_t nPercent;
        float fFactor;
    } cases[] = {{24, 0.75f}, {901, 0.75f}, {25, 0.25f}, {900, 9.0f}};
    for (const auto& c : cases) {
        m_pEngine.reset();
        m_Fixture.Set(kTuning, "sensor.zammaxmemoryusagefactor", c.nPercent);
        EXPECT_EQ(0, Engine().InitializeZAM(m_Fixture.m_pPolicy)) << c.nPercent;
        EXPECT_FLOAT_EQ(c.fFactor, Engine().GetMaxMemoryFactor()) << c.nPercent;
        Engine().ReleaseZam();
    }
    m_pEngine.reset();
    m_Fixture.m_pPolicy->ClearSection("\\config");
    EXPECT_EQ(0, Engine().InitializeZAM(m_Fixture.m_pPolicy));
    EXPECT_FLOAT_EQ(0.75f, Engine().GetMaxMemoryFactor());
    const int32_t nNone = 0;
    EXPECT_EQ(75, m_Fixture.m_pPolicy->GetInt(kTuning, "sensor.zammaxmemoryusagefactor", &nNone));
    EXPECT_STREQ("max memory usage factor not specified in the policy file. Default will be used.",
                 m_Fixture.m_pPolicy->GetText(kTuning, "sensor.zammaxmemoryusagefactorDescription", ""));
    EXPECT_STREQ("qor-zam1.dll", m_Fixture.m_pPolicy->GetText("\\config", "sensor.zamplugin", ""));
}

TEST_F(CEngineIDSTest, AnUpdateAddsEachNewAdapterOnceAndAListErrorKeepsLibraryAndSlaves) {
    Replay(m_Root.File("quiet.pcap"));
    ASSERT_EQ(0, Engine().Oninit(0));
    ASSERT_EQ(0, Engine().OnStart(0));
    EXPECT_TRUE(Engine().AllSlavesReady());

    // The library reports the adapter on-line at every update.
    EXPECT_EQ(0u, Engine().UpdateAdapterList());
    EXPECT_EQ((std::vector<std::string>{kReplay0}), Engine().GetSlaveNames());
    Replay(m_Root.File("quiet.pcap") + ";" + m_Root.File("quiet.pcap"));
    EXPECT_EQ(0u, Engine().UpdateAdapterList());
    EXPECT_EQ(0u, Engine().UpdateAdapterList());
    EXPECT_EQ((std::vector<std::string>{kReplay0, kReplay1}), Engine().GetSlaveNames());

    hwtest::EnvironmentOverride failing("HW_PACKET_LIST_ERROR", "0xE0001001");
    EXPECT_EQ(0xE0001001u, Engine().UpdateAdapterList());
    EXPECT_TRUE(m_Fixture.m_HostLog.Contains("PacketGetAdapterList failed with error=-536866815\n"));
    EXPECT_TRUE(Engine().IsPacketLibraryLoaded());
    EXPECT_EQ((std::vector<std::string>{kReplay0, kReplay1}), Engine().GetSlaveNames());
}

// An adapter that comes on-line after the start is said on the console:
// at once while the engines run, and by the resume that starts its engine
// when it came while a reload had them paused.
TEST_F(CEngineIDSTest, AnAdapterThatComesAfterTheStartIsSaidWhenItsEngineStarts) {
    hwtest::EnvironmentOverride monitor("HW_PACKET_MONITOR", "\\Device\\replay0,\\Device\\replay1,\\Device\\replay2");
    Replay(m_Root.File("quiet.pcap"));
    ASSERT_EQ(0, Engine().Oninit(0));
    ASSERT_EQ(0, Engine().OnStart(0));
    const auto said = [&](const std::string& strAdapter, const char* pszAt) {
        return m_Fixture.m_HostLog.Contains(strAdapter + ": the adapter came on-line and its capture was set up" +
                                            pszAt + ": network monitoring runs on it now");
    };
    Replay(m_Root.File("quiet.pcap") + ";" + m_Root.File("quiet.pcap"));
    EXPECT_EQ(0u, Engine().UpdateAdapterList());
    EXPECT_TRUE(said(kReplay1, "")) << m_Fixture.m_HostLog.m_Services.Texts().back();
    EXPECT_FALSE(said(kReplay0, "")) << "watched since the start";

    Engine().OnPauseInit(CEngineBase::kReloadArgument);
    Engine().OnPause(CEngineBase::kReloadArgument);
    Replay(m_Root.File("quiet.pcap") + ";" + m_Root.File("quiet.pcap") + ";" + m_Root.File("quiet.pcap"));
    EXPECT_EQ(0u, Engine().UpdateAdapterList());
    EXPECT_FALSE(said("\\Device\\replay2", " at the reload"));
    Engine().OnReloadPolicy(CEngineBase::kReloadArgument);
    Engine().OnResume(CEngineBase::kReloadArgument);
    EXPECT_TRUE(said("\\Device\\replay2", " at the reload"));
    EXPECT_EQ((std::vector<std::string>{kReplay0, kReplay1, "\\Device\\replay2"}), Engine().GetSlaveNames());
    EXPECT_TRUE(Engine().AllSlavesReady());
}

// The summary's reason is what failed, not the packet library whatever
// failed; capture set up at a reload once it is put right leaves none.
TEST_F(CEngineIDSTest, ASetUpThatFailsIsTheSummarysReasonUntilAReloadSetsCaptureUp) {
    ReplayLasting();
    const auto describe = [&] {
        std::string strInput;
        return std::string(Engine().DescribeInput(strInput) ? "input: " : "WITHOUT INPUT: ") + strInput;
    };
    const std::string strIssues = m_Root.File("Duskwall/issues.csv");
    const std::string strKept = hwtest::ReadWholeFile(strIssues);
    {
        hwtest::EnvironmentOverride failing("HW_PACKET_LIST_ERROR", "0xE0001001");
        ASSERT_EQ(1, Engine().Oninit(0));
        ASSERT_EQ(0, Engine().OnStart(0));
        EXPECT_EQ("WITHOUT INPUT: the packet library's adapter list could not be read (error 0xe0001001)", describe());
    }
    const auto reload = [&] {
        Engine().OnPauseInit(0);
        Engine().OnPause(0);
        Engine().OnReloadPolicy(0);
        Engine().OnResume(0);
    };
    hwtest::WriteWholeFile(strIssues, "");
    reload();
    EXPECT_EQ("WITHOUT INPUT: the signature module's issue table " + strIssues + " cannot be opened or lists no issue",
              describe());
    m_Fixture.Set("\\config", "sensor.zamplugin", "none-such.dll");
    reload();
    EXPECT_EQ("WITHOUT INPUT: the signature module " + m_Root.File("Duskwall/none-such.dll") + " did not load: " +
                  plat::ThisModuleDirectory() + "/libnone-such.so: cannot open shared object file: No such file or "
                                                "directory",
              describe());
    m_Fixture.Set("\\config", "sensor.zamplugin", "qor-zam1.dll");
    hwtest::WriteWholeFile(strIssues, strKept);
    reload();
    EXPECT_EQ("input: adapters \\Device\\replay0", describe());
    SensorSettings::Instance().m_bNodekeeper = false;
    reload();
    EXPECT_EQ("input: off: network monitoring (\"Nodekeeper\") is off", describe());
}

// Capture that could not be set up is tried again at each resume, the
// operator's and the one a reload that reads no policy gives the engine
// alone, with the policy in force; a reload that tried it is not followed
// by another try at its resume.
TEST_F(CEngineIDSTest, ASetUpThatFailsIsTriedAgainAtEachResumeUntilCaptureIsSetUp) {
    ReplayLasting();
    const auto describe = [&] {
        std::string strInput;
        return std::string(Engine().DescribeInput(strInput) ? "input: " : "WITHOUT INPUT: ") +
               strInput;
    };
    const auto pauseAndResume = [&](uint32_t dwArgument) {
        Engine().OnPauseInit(dwArgument);
        Engine().OnPause(dwArgument);
        Engine().OnResume(dwArgument);
    };
    const std::string strRefused =
        "WITHOUT INPUT: the packet library's adapter list could not be read (error 0xe0001001)";
    {
        hwtest::EnvironmentOverride failing("HW_PACKET_LIST_ERROR", "0xE0001001");
        ASSERT_EQ(1, Engine().Oninit(0));
        ASSERT_EQ(0, Engine().OnStart(0));
        EXPECT_TRUE(Engine().InputMayComeBack());
        pauseAndResume(CEngineBase::kReloadArgument);
        EXPECT_EQ(strRefused, describe());
        const auto failed = [&] {
            return m_Fixture.m_HostLog.m_Services.CountStartingWith(
                "Network Monitoring Component of Host Warden could not be set up at the reload");
        };
        EXPECT_EQ(1u, failed());
        EXPECT_TRUE(Engine().InputMayComeBack());
        // A reload that reads a policy tries once.
        Engine().OnPauseInit(CEngineBase::kReloadArgument);
        Engine().OnPause(CEngineBase::kReloadArgument);
        Engine().OnReloadPolicy(CEngineBase::kReloadArgument);
        Engine().OnResume(CEngineBase::kReloadArgument);
        EXPECT_EQ(2u, failed());
        EXPECT_EQ(strRefused, describe());
    }
    pauseAndResume(0);
    EXPECT_EQ("input: adapters \\Device\\replay0", describe());
    EXPECT_FALSE(Engine().InputMayComeBack());
    EXPECT_TRUE(m_Fixture.m_HostLog.Contains(
        "Network Monitoring Component of Host Warden set up at the resume with 1 "
        "adapter engine(s): network monitoring runs now"));
    EXPECT_EQ((std::vector<std::string>{kReplay0}), Engine().GetSlaveNames());
}

// A reload's pause keeps the adapters' captures open for its resume; one
// that switches network monitoring off closes them, so the reload that
// switches it on again opens them anew.
TEST_F(CEngineIDSTest, AReloadKeepsTheAdaptersCapturesUnlessItSwitchesMonitoringOff) {
    ReplayLasting();
    ASSERT_EQ(0, Engine().Oninit(0));
    ASSERT_EQ(0, Engine().OnStart(0));
    const auto reload = [&] {
        m_Fixture.m_HostLog.m_Services.Forget();
        Engine().OnPauseInit(CEngineBase::kReloadArgument);
        Engine().OnPause(CEngineBase::kReloadArgument);
        Engine().OnReloadPolicy(CEngineBase::kReloadArgument);
        Engine().OnResume(CEngineBase::kReloadArgument);
    };
    const std::string strKept = "Packet Driver \\Device\\replay0 kept its capture through the reload";
    const std::string strOpened = "Starting Packet Driver \\Device\\replay0...";
    reload();
    EXPECT_TRUE(m_Fixture.m_HostLog.Contains(strKept));
    EXPECT_FALSE(m_Fixture.m_HostLog.Contains(strOpened));
    SensorSettings::Instance().m_bNodekeeper = false;
    reload();
    SensorSettings::Instance().m_bNodekeeper = true;
    reload();
    EXPECT_FALSE(m_Fixture.m_HostLog.Contains(strKept));
    EXPECT_TRUE(m_Fixture.m_HostLog.Contains(strOpened));
    // The operator's pause closes them too.
    Engine().OnPauseInit(0);
    Engine().OnPause(0);
    m_Fixture.m_HostLog.m_Services.Forget();
    Engine().OnResume(0);
    EXPECT_TRUE(m_Fixture.m_HostLog.Contains(strOpened));
}

TEST_F(CEngineIDSTest, AStartWaitsABoundedTimeForSlavesThatNeverReport) {
    Replay(m_Root.File("quiet.pcap"));
    CEngineIDS::SetSlaveReadyWait(1000);
    ASSERT_EQ(0, Engine<SilentSlaveEngine>().Oninit(0));
    ASSERT_EQ(0, Engine().OnStart(0));
    EXPECT_FALSE(Engine().AllSlavesReady());
    EXPECT_TRUE(m_Fixture.m_HostLog.Contains(
        "IDS: 1 of 1 adapter engines did not start within 1 s; network monitoring goes on without "
        "them"));
}

// The engine's thread waits up to a second at a time for its adapter
// engines' alerts.  A pause (a reload's among them, which holds every
// engine's input until the slowest thread has ended) ends that wait at
// once: at each of six pauses, made at different points of the thread's
// second, the thread ends within half a second of the request, where
// waiting its second out it would overrun that with even odds each time.
TEST_F(CEngineIDSTest, APauseEndsTheEngineThreadWithoutWaitingOutItsWaitForAlerts) {
    Replay(m_Root.File("quiet.pcap"));
    CEngineIDS::SetSlaveReadyWait(100);
    ASSERT_EQ(0, Engine<SilentSlaveEngine>().Oninit(0));
    ASSERT_EQ(0, Engine().OnStart(0));
    Engine().SetStopBound(500);
    for (int nPause = 0; nPause < 6; ++nPause) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + 150 * nPause));
        EXPECT_EQ(0, Engine().OnPauseInit(CEngineBase::kReloadArgument));
        EXPECT_TRUE(Engine().AwaitThreadEnd("pause", "left as it is")) << nPause;
        Engine().OnPause(CEngineBase::kReloadArgument);
        Engine().OnResume(CEngineBase::kReloadArgument);
    }
}

TEST_F(CEngineIDSTest, ModuleExceptionEndsTheProcessWithExitCode2) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The module reports an exception while a slave configures it.
    Replay(m_Root.File("quiet.pcap"));
    m_Fixture.Set(kTuning, "zam.standin.raise", "heap corrupted");
    EXPECT_EXIT(RunUntilTheProcessEnds(), ::testing::ExitedWithCode(2), "");
}

TEST_F(CEngineIDSTest, ASlaveStuckInTheModuleEndsTheProcessWithExitCode2) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The slave of the attack capture is held in the module; the other one,
    // without frames, is healthy.
    Replay(m_Root.File("attack.pcap") + ";" + m_Root.File("quiet.pcap"));
    m_Fixture.Set(kTuning, "ZamLoopTimeout", 1);
    m_Fixture.Set(kTuning, "zam.standin.stall", "30");
    EXPECT_EXIT(RunUntilTheProcessEnds(), ::testing::ExitedWithCode(2), "");
}

// The watchdog reads the clock the slaves stamp their frames with: an
// engine clock set years away from the system's is no stall, and a frame
// held two seconds is no stall either.
TEST_F(CEngineIDSTest, AnEngineClockSetYearsBackDoesNotMakeTheWatchdogFire) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Replay(m_Root.File("attack.pcap"));
    m_Fixture.Set(kTuning, "zam.standin.stall", "2");
    const auto run = [this] {
        SetIDSClock([] { return static_cast<int64_t>(std::time(nullptr)) - 12 * 365 * 86400; });
        const std::string strPassed = m_Root.File("replay0.pass.pcap");
        const bool bPassed =
            Engine().Oninit(0) == 0 && Engine().OnStart(0) == 0 &&
            hwtest::WaitUntil(
                [&] { return hwtest::ReadWholeFile(strPassed) == CaptureOf({LandAttack()}); }, 60);
        std::_Exit(bPassed ? 0 : 3);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
}

TEST_F(CEngineIDSTest, SlavesOnSeveralAdaptersBlockThroughOneTableWhileBlockMapsChange) {
    // Each adapter replays land attacks of sixteen hosts of its own and a
    // SYN+FIN, over and over; a land attack blocks its host for a second
    // in the table all slaves share.
    hwtest::EnvironmentOverride loop("HW_PACKET_REPLAY_LOOP", "1");
    for (int nAdapter = 0; nAdapter < 2; ++nAdapter) {
        std::vector<zamtest::FrameSpec> frames = {SynFin()};
        for (int nHost = 1; nHost <= 16; ++nHost) {
            frames.push_back(LandAttack(static_cast<uint8_t>(nAdapter * 16 + nHost)));
        }
        hwtest::WriteWholeFile(m_Root.File("attacks" + std::to_string(nAdapter) + ".pcap"), CaptureOf(frames));
    }
    Replay(m_Root.File("attacks0.pcap") + ";" + m_Root.File("attacks1.pcap"));
    m_Fixture.Set(kTuning, "BlockEnabled", true);
    m_Fixture.Set("\\config", "DynamicBlockPeriod", 1);
    const std::string strLand = "\\Advanced\\Rules\\Nodekeeper Rules\\Land_Attack";
    m_Fixture.Set(strLand, "DynamicBlock", true);
    m_Fixture.Set(strLand + "\\Response\\BLOCK", "Choice", "Default");
    m_Fixture.Set("\\Advanced\\Rules\\Nodekeeper Rules\\TCP_SynFin", "Enabled", true);
    ASSERT_EQ(0, Engine().Oninit(0));
    ASSERT_EQ(0, Engine().OnStart(0));
    EXPECT_EQ((std::vector<std::string>{kReplay0, kReplay1}), Engine().GetSlaveNames());
    CIDSConfig& config = *CIDSConfig::GetInstance();
    // Blocked land attacks seen so far, by the adapter whose hosts they came from.
    bool bBlocked[2] = {false, false};
    const auto blockedOnBoth = [&] {
        for (const auto& pRecord : m_Fixture.m_Sensor.TakeReported()) {
            std::string strStatus;
            if (pRecord->GetRuleName() == "Land_Attack" && pRecord->GetInfoPairValue("VulnStatus", strStatus) == 0 &&
                strStatus == "49") {
                bBlocked[((pRecord->m_dwSourceAddress >> 24) - 1) / 16] = true;
            }
        }
        return bBlocked[0] && bBlocked[1];
    };
    // Configured before any map, the blocking rule has no entry; the first
    // map makes one while the slaves look the other rule's entry up for
    // every replayed attack.
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Fixture.m_Sensor.ReportedCount() > 10; }));
    config.SetBlockResponseMap({{"Default", {"10.0.0.1", 0}}});
    ASSERT_NE(nullptr, config.GetConfigMap(false));
    EXPECT_EQ(1u, config.GetConfigMap(false)->count("Land_Attack"));
    // The slaves take the new rule at their next set-up; then the blocks
    // come from both while later maps rewrite the rule's address list.
    EXPECT_EQ(0, Engine().OnPauseInit(0));
    EXPECT_EQ(0, Engine().OnPause(0));
    EXPECT_EQ(0, Engine().OnResume(0));
    int nMap = 0;
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        config.SetBlockResponseMap({{"Default", {"10.0.1." + std::to_string(++nMap % 250), 0}}});
        return blockedOnBoth();
    }));
    EXPECT_EQ(0, Engine().OnPauseInit(0));
    EXPECT_EQ(0, Engine().OnPause(0));
}

TEST_F(CEngineIDSTest, AnAdapterGoingOffLineLosesItsSlaveAndComingBackGetsOne) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "interfaces are made and switched as root";
    }
    if (int error = hwtest::EnterNewNetworkNamespace(); error != 0) {
        GTEST_SKIP() << "no private network namespace: " << std::strerror(error);
    }
    ASSERT_EQ(0, std::system("ip link add hwids0 type veth peer name hwids1"));
    hwtest::EnvironmentOverride monitor("HW_PACKET_MONITOR", "hwids0");
    const std::string strAdapter = "\\Device\\hwids0";
    // Down at start-up (flags 0x6), it is watched all the same.
    ASSERT_EQ(0, Engine().Oninit(0));
    ASSERT_EQ(0, Engine().OnStart(0));
    EXPECT_EQ((std::vector<std::string>{strAdapter}), Engine().GetSlaveNames());

    // The packet library announces each change; the test updates by hand.
    ASSERT_EQ(0, std::system("ip link set hwids0 up"));
    EXPECT_TRUE(hwtest::WaitUntil([] { return g_nNotifications > 0; }));
    EXPECT_EQ(0u, Engine().UpdateAdapterList());
    EXPECT_EQ((std::vector<std::string>{strAdapter}), Engine().GetSlaveNames());
    ASSERT_EQ(0, std::system("ip link set hwids0 down"));
    EXPECT_EQ(0u, Engine().UpdateAdapterList());
    EXPECT_TRUE(Engine().GetSlaveNames().empty());
    ASSERT_EQ(0, std::system("ip link set hwids0 up"));
    EXPECT_EQ(0u, Engine().UpdateAdapterList());
    EXPECT_EQ((std::vector<std::string>{strAdapter}), Engine().GetSlaveNames());
}
