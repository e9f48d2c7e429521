#include "ApacheEngine/CEngineApache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ApacheEngine/WebShmConfig.h"
#include "Common/AgentEventInfo.h"
#include "Common/CatchUps.h"
#include "Common/InputBounds.h"
#include "IDS/IDSConfig.h"
#include "IDS/IDSRule.h"
#include "hostwarden/ICSFClassFactory.h"
#include "platform/NamedObject.h"
#include "platform/SemaphoreCore.h"
#include "platform/SharedMapping.h"
#include "qorCSFLib/FakeHost.h"
#include "support/ChildProcess.h"
#include "support/ConsoleCapture.h"
#include "support/EngineEnd.h"
#include "support/SleepClock.h"
#include "support/TestUtil.h"
#include "ApacheTestSupport.h"

namespace {

constexpr const char* kNotFound = "Apache Engine Rule object not found for reported event %s issueId %d";

WebEventRecord MakeRecord(int32_t nId, const char* pszName) {
    WebEventRecord record{};
    record.nEventId = nId;
    std::snprintf(record.szEventName, sizeof record.szEventName, "%s", pszName);
    record.dwIntruderAddress = 0x0A000001;
    record.wIntruderPort = 4444;
    record.dwVictimAddress = 0xC0000201;
    record.wVictimPort = 80;
    record.dwProtocol = 6;
    return record;
}

class CEngineApacheTest : public ::testing::Test, protected apachetest::EngineWithRules {
protected:
    void SetUp() override {
        ASSERT_EQ(0, m_Engine.Oninit(0));
        ASSERT_EQ(0, m_Engine.Initialize());
    }
    void TearDown() override {
        hwtest::EndHeldEngine(m_Engine);
        m_Engine.Shutdown();
    }
    // A test's own stop before it reads what the thread made: the engine's
    // StopAndWait waits only its bound, after which the thread may still
    // run, so its end is awaited first as the fixture's end awaits it.
    void StopEngine() {
        hwtest::EndHeldEngine(m_Engine);
        EXPECT_EQ(0, m_Engine.StopAndWait());
    }
};

TEST_F(CEngineApacheTest, RecordIsReportedAgainstTheRuleItNamesOrItsTid) {
    m_Engine.ProcessEvent(MakeRecord(5, "Web_Probe"), nullptr, 0);
    m_Engine.ProcessEvent(MakeRecord(1234, ""), nullptr, 0);
    ASSERT_EQ(2u, m_Engine.m_Records.size());
    EXPECT_EQ("Web_Probe", m_Engine.m_Records[0]->GetRuleName());
    EXPECT_EQ("Web_Shell", m_Engine.m_Records[1]->GetRuleName());
    EXPECT_EQ("1234", m_Engine.Pair(1, "algorithm-id"));
    EXPECT_EQ("10.0.0.1", m_Engine.Pair(0, "intruder-ip-addr"));
    EXPECT_EQ("4444", m_Engine.Pair(0, "intruder-port"));
    EXPECT_EQ("192.0.2.1", m_Engine.Pair(0, "victim-ip-addr"));
    EXPECT_EQ(101, m_Engine.m_Records[0]->GetAlertType());
}

// Only enabled signature rules are reported; every other event is logged
// with the reason it was dropped, a name-only event (number 0) and a
// number no user-defined rule has as its TID (Web_Probe has none) too.
TEST_F(CEngineApacheTest, DisabledFirewallUnknownAndInvalidEventsAreDroppedWithTheReason) {
    m_Engine.ProcessEvent(MakeRecord(77, "Web_Off"), nullptr, 0);
    m_Engine.ProcessEvent(MakeRecord(78, "Fw_Rule"), nullptr, 0);
    m_Engine.ProcessEvent(MakeRecord(999, ""), nullptr, 0);
    m_Engine.ProcessEvent(MakeRecord(0, "Web_Probe"), nullptr, 0);
    EXPECT_TRUE(m_Engine.m_Records.empty());
    const std::vector<std::string> expected{
        "Apache Engine Rule object not found for reported event Web_Off issueId 77: no enabled signature rule is "
        "named so",
        "Apache Engine Rule object not found for reported event Fw_Rule issueId 78: no enabled signature rule is "
        "named so",
        "Apache Engine Rule object not found for reported event  issueId 999: no enabled user-defined signature rule "
        "has the TID 999 (other signature rules are found by name only)",
        "Web-server event Web_Probe dropped: event ID 0 is not valid (every event needs a number of 1 or more, also "
        "with a rule name)"};
    std::vector<std::string> drops;
    for (const auto& line : m_Log.m_Services.Texts()) {
        if (line.find("Apache Engine Rule object") == 0 || line.find("Web-server event") == 0)
            drops.push_back(line);
    }
    EXPECT_EQ(expected, drops) << kNotFound;
}

// The module decides how many events arrive: a flood of unknown ones
// costs the log a bounded number of lines a minute.
TEST_F(CEngineApacheTest, DropReportsAreBoundedPerMinute) {
    for (int i = 0; i < 100; ++i)
        m_Engine.ProcessEvent(MakeRecord(5, "No_Such_Rule"), nullptr, 0);
    size_t nLogged = 0;
    for (const auto& line : m_Log.m_Services.Texts())
        nLogged += line.find("Apache Engine Rule object not found for reported event No_Such_Rule") == 0 ? 1 : 0;
    EXPECT_EQ(20u, nLogged);
}

TEST_F(CEngineApacheTest, ClassTextRepeatsJoinAndItemsWithoutEqualsAreIgnored) {
    char szClass[] = "a=1, b = 2,,a=3,junk,\n";  // the last byte is the terminator
    m_Engine.ProcessEvent(MakeRecord(5, "Web_Probe"), szClass, static_cast<int32_t>(sizeof szClass - 1));
    ASSERT_EQ(1u, m_Engine.m_Records.size());
    EXPECT_EQ("1|3", m_Engine.Pair(0, "a"));
    EXPECT_EQ("2", m_Engine.Pair(0, "b "));
    EXPECT_EQ("", m_Engine.Pair(0, "junk"));
}

// The module writes the class text's length: a NUL it leaves inside hides
// none of the items after it, and NULs padding the text add nothing.
TEST_F(CEngineApacheTest, ClassTextIsReadByItsLengthPastANulInside) {
    char szClass[] = "a=1\0x,b=2,c=3\0\0\0\n";  // the last byte is the terminator
    m_Engine.ProcessEvent(MakeRecord(5, "Web_Probe"), szClass, static_cast<int32_t>(sizeof szClass - 1));
    ASSERT_EQ(1u, m_Engine.m_Records.size());
    EXPECT_EQ(std::string("1\0x", 3), m_Engine.Pair(0, "a"));
    EXPECT_EQ("2", m_Engine.Pair(0, "b"));
    EXPECT_EQ("3", m_Engine.Pair(0, "c"));
}

// A module that writes a class text of thousands of names cannot make an
// alert of thousands of pairs: the first names are taken, repeats of them
// still join, and the items of the rest are said and counted.
TEST_F(CEngineApacheTest, ClassTextOfTooManyNamesKeepsTheFirstAndCountsTheRest) {
    InputBounds::Instance().ForgetForTest();
    std::string strClass;
    for (size_t n = 0; n < CEngineApache::kMaxClassNames + 100; ++n) {
        strClass += "n" + std::to_string(n) + "=v,";
    }
    strClass += "n0=again,n9999=late,";
    strClass += '\n';
    m_Engine.ProcessEvent(MakeRecord(5, "Web_Probe"), strClass.data(),
                          static_cast<int32_t>(strClass.size()));
    ASSERT_EQ(1u, m_Engine.m_Records.size());
    const InfoPairList& pairs = m_Engine.m_Records[0]->GetInfoPairs();
    EXPECT_EQ("v|again", m_Engine.Pair(0, "n0"));
    EXPECT_EQ("v", m_Engine.Pair(0, ("n" + std::to_string(CEngineApache::kMaxClassNames - 1)).c_str()));
    EXPECT_EQ(std::count_if(pairs.begin(), pairs.end(),
                            [](const InfoPair& pair) { return pair.m_strName[0] == 'n'; }),
              static_cast<std::ptrdiff_t>(CEngineApache::kMaxClassNames));
    EXPECT_EQ("5", m_Engine.Pair(0, "algorithm-id")) << "the engine's own pairs follow";
    EXPECT_EQ(InputBounds::Instance().Describe(),
              std::vector<std::string>{"Bound reached: web-server events: at most 64 names taken from "
                                       "an event's class text; 101 class-text items left out"});

    // Network monitoring switched off by a load: the ring is not read any
    // more, and the bound its events reached goes with it.
    m_Config.SetIDSEnabled(false);
    EXPECT_EQ(0, m_Engine.OnResume(0));
    StopEngine();
    EXPECT_TRUE(InputBounds::Instance().Describe().empty());
}

TEST_F(CEngineApacheTest, OutcomeAndProtocolMapToAttackResultAndAlertType) {
    struct Case {
        int32_t nOutcome;
        uint32_t dwProtocol;
        int32_t nSuccessful;
        const char* pszBlocked;
        const char* pszVuln;
        uint32_t dwIana;
        int32_t nAlertType;
    };
    const Case cases[] = {{1, 1, 0, "1", "10", 1, 103},   {2, 17, 0, "", "10", 17, 102},
                          {5, 6, 1, "", "", 6, 101},      {3, 0, 2, "", "", 256, 105},
                          {-4, 0x1FF, 2, "", "", 0xFF, 105}};
    for (const Case& c : cases) {
        WebEventRecord record = MakeRecord(5, "Web_Probe");
        record.nOutcome = c.nOutcome;
        record.dwProtocol = c.dwProtocol;
        m_Engine.ProcessEvent(record, nullptr, 0);
        size_t i = m_Engine.m_Records.size() - 1;
        SCOPED_TRACE(c.nOutcome);
        EXPECT_EQ(c.nSuccessful, m_Engine.m_Records[i]->m_nAttackSuccessful);
        EXPECT_EQ(c.pszBlocked, m_Engine.Pair(i, "AttackBlocked"));
        EXPECT_EQ(c.pszVuln, m_Engine.Pair(i, "VulnStatus"));
        EXPECT_EQ(c.dwIana, m_Engine.m_Records[i]->m_dwIANAProtocolId);
        EXPECT_EQ(c.nAlertType, m_Engine.m_Records[i]->GetAlertType());
    }
}

uint32_t ConfWord(uint32_t dwOffset) {
    uint32_t dwValue;
    std::memcpy(&dwValue, WebShmConfView() + dwOffset, 4);
    return dwValue;
}

TEST_F(CEngineApacheTest, StopClearsTheConfigurationAreaAtTheStopTime) {
    IDSConfigEntry entry;
    entry.issueId = 1234;
    entry.response = kIDSResponseBlockList;
    entry.response_ip.num_ips = 40;  // more than an entry has room for
    IDSConfigTable table;
    table.entries = &entry;
    table.numEntries = 1;
    ASSERT_EQ(0, WebShmWriteConfig(&table, nullptr));
    EXPECT_EQ(kWebConfEventsValid, ConfWord(kWebConfFlags));
    EXPECT_EQ(1u, ConfWord(kWebConfEventCount));
    EXPECT_EQ(1234u, ConfWord(kWebConfEvents + kWebEntryTid));
    EXPECT_EQ(kWebEntryMaxAddresses, ConfWord(kWebConfEvents + kWebEntryAddressCount) & 0xFFFF);
    // The module's view, which outlives the engine's.
    plat::SharedMapping module;
    ASSERT_TRUE(module.Open("QGConfShm"));
    auto* pView = static_cast<const uint8_t*>(module.Map(nullptr));
    ASSERT_NE(nullptr, pView);
    uint32_t dwBefore = static_cast<uint32_t>(std::time(nullptr));
    m_Engine.OnStop(0);
    uint32_t dwFlags, dwTime;
    std::memcpy(&dwFlags, pView + kWebConfFlags, 4);
    std::memcpy(&dwTime, pView + kWebConfTime, 4);
    EXPECT_EQ(0u, dwFlags);
    EXPECT_LE(dwBefore, dwTime);
    EXPECT_GE(static_cast<uint32_t>(std::time(nullptr)), dwTime);
}

// A reload keeps the ring, the same objects though no module holds them:
// the events waiting in it (one across the data end, with its class text)
// and those written while the policy is read are alerts after the resume,
// and nothing is dropped.
TEST_F(CEngineApacheTest, ReloadKeepsTheRingAndWhatWaitsInItIsReadAfterTheResume) {
    constexpr uint32_t kReload = CEngineBase::kReloadArgument;
    uint8_t* pRing = WebShmEvView();
    ASSERT_NE(nullptr, pRing);
    const uint32_t dwNearEnd = kWebEvDataEnd - 100;
    std::memcpy(pRing + kWebEvRead, &dwNearEnd, 4);
    std::memcpy(pRing + kWebEvWrite, &dwNearEnd, 4);
    const std::string strClass = std::string("a=1,b=2") + '\0';
    WebEventRecord withClass = MakeRecord(5, "Web_Probe");
    withClass.nClassLength = static_cast<int32_t>(strClass.size());
    ASSERT_EQ(0, m_Engine.OnStart(0));
    ASSERT_EQ(0, m_Engine.OnPauseInit(kReload));
    ASSERT_EQ(0, m_Engine.OnPause(kReload));
    ASSERT_EQ(0, WebShmWriteEvent(withClass, strClass.data()));
    ASSERT_EQ(0, m_Engine.OnReloadPolicy(kReload));
    EXPECT_EQ(pRing, WebShmEvView());
    for (int n = 0; n < 2; ++n)
        ASSERT_EQ(0, WebShmWriteEvent(MakeRecord(1234, ""), nullptr));
    ASSERT_EQ(0, m_Engine.OnResume(kReload));
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Engine.Count() == 3; })) << m_Engine.Count();
    StopEngine();
    EXPECT_EQ("1", m_Engine.Pair(0, "a"));
    EXPECT_EQ("Web_Shell", m_Engine.m_Records[2]->GetRuleName());
    EXPECT_EQ(0u, m_Log.m_Services.CountStartingWith("3 web-server events dropped"));
}

// A ring that filled while a reload kept the rules from it: the reload's
// wait for inputs catching up ends once the engine has read the ring to its
// end, by then the module's overflow is counted as a bound, and the events
// the ring kept are each reported.
TEST_F(CEngineApacheTest, RingThatOverflowedDuringAReloadIsReadAndItsOverflowCountedBeforeTheCatchUpEnds) {
    constexpr uint32_t kReload = CEngineBase::kReloadArgument;
    InputBounds::Instance().ForgetForTest();
    ASSERT_EQ(0, m_Engine.OnStart(0));
    ASSERT_EQ(0, m_Engine.OnPauseInit(kReload));
    ASSERT_EQ(0, m_Engine.OnPause(kReload));
    ASSERT_EQ(0, m_Engine.OnReloadPolicy(kReload));
    // More than the ring holds: the module's writes past it set the flag
    // and count each drop.
    constexpr size_t kWritten = 2000;
    for (size_t n = 0; n < kWritten; ++n) {
        ASSERT_EQ(0, WebShmWriteEvent(MakeRecord(1234, ""), nullptr));
    }
    const size_t nKept = WebRingCountWaiting(WebShmEvView());
    ASSERT_GT(nKept, 0u);
    uint32_t dwFlag = 0;
    std::memcpy(&dwFlag, WebShmEvView() + kWebEvOverflow, 4);
    ASSERT_EQ(1u, dwFlag) << "the ring took every event written";
    ASSERT_EQ(0, m_Engine.OnResume(kReload));
    EXPECT_TRUE(CatchUps::Instance().WaitForAll(std::chrono::seconds(60)).empty());
    EXPECT_EQ(nKept, m_Engine.Count());
    const std::vector<std::string> bounds = InputBounds::Instance().Describe();
    ASSERT_EQ(1u, bounds.size());
    EXPECT_NE(std::string::npos, bounds[0].find("web-server event ring: ")) << bounds[0];
    EXPECT_NE(std::string::npos,
              bounds[0].find("; " + std::to_string(kWritten - nKept) + " events the module could not write"))
        << bounds[0];
    StopEngine();
}

// What the ring still holds at a stop is counted then, and taken out of a
// ring a module keeps, so the next start does not count it again; what the
// module writes while no sensor runs is counted by the start that empties
// the ring.
TEST_F(CEngineApacheTest, EventsLeftAtTheStopOrWrittenWithoutASensorAreCountedOnceAsDropped) {
    // The module's hold keeps the ring between the stop and the start.
    plat::SharedMapping module;
    ASSERT_TRUE(module.Open("QGEvShm"));
    for (int n = 0; n < 2; ++n)
        ASSERT_EQ(0, WebShmWriteEvent(MakeRecord(1234, ""), nullptr));
    m_Engine.Shutdown();
    EXPECT_TRUE(m_Log.Contains("2 web-server events dropped: they were still waiting in the event ring at the stop"));
    // Written into the emptied ring by the module while no sensor has it.
    auto* pModuleRing = static_cast<uint8_t*>(module.Map(nullptr));
    ASSERT_NE(nullptr, pModuleRing);
    for (uint32_t n = 0; n < 3; ++n) {
        const WebEventRecord record = MakeRecord(1234, "");
        std::memcpy(pModuleRing + kWebEvDataStart + n * kWebRecordSize, &record, kWebRecordSize);
    }
    const uint32_t dwWrite = kWebEvDataStart + 3 * kWebRecordSize;
    const uint32_t dwFree = kWebEvCapacity - 3 * kWebRecordSize;
    std::memcpy(pModuleRing + kWebEvWrite, &dwWrite, 4);
    std::memcpy(pModuleRing + kWebEvFree, &dwFree, 4);
    ASSERT_EQ(0, m_Engine.Initialize());
    EXPECT_TRUE(m_Log.Contains("3 web-server events dropped: they were still waiting in the event ring when the "
                               "engine opened it afresh (at a start, or at a reload after it had let the ring go)"));
    EXPECT_EQ(0u, m_Log.m_Services.CountStartingWith("5 web-server events dropped"));
    EXPECT_TRUE(m_Engine.m_Records.empty());
}

// A member of the web-server group that keeps the lock word of the
// configuration area's lock holds up no resume: the command thread only
// tries the lock, says that the module keeps its configuration, and leaves
// the write to the engine's thread, so the engines resumed after this one
// do not wait a second for it.
TEST_F(CEngineApacheTest, LockWordKeptByAnotherProcessHoldsUpNoResume) {
    constexpr uint32_t kReload = CEngineBase::kReloadArgument;
    const int fd = shm_open(plat::SharedObjectPath("QGConfMutex").c_str(), O_RDWR, 0);
    ASSERT_LE(0, fd);
    void* pView = mmap(nullptr, sizeof(plat::SemaphoreCore), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(MAP_FAILED, pView);
    std::atomic_ref<uint32_t> word(static_cast<plat::SemaphoreCore*>(pView)->lock);
    // Held by a process that lives as long as the test: the system's first.
    word.store(1);
    ASSERT_EQ(0, m_Engine.OnReloadPolicy(kReload));
    // Only tried: the resume sleeps on no lock, which its own sleep tells
    // however long a busy machine keeps it from a processor.
    const hwtest::SleepClock resumed;
    ASSERT_EQ(0, m_Engine.OnResume(kReload));
    EXPECT_LT(resumed.Slept(), std::chrono::milliseconds(kWebLockWaitMs / 2))
        << hwtest::Ms(resumed.Slept()) << " ms asleep of " << hwtest::Ms(resumed.Wall()) << " ms";
    EXPECT_TRUE(m_Log.Contains("WebPlugin: the configuration area could not be written (not open, or its lock not "
                               "free): the web-server module keeps the configuration it had"));
    StopEngine();
    word.store(0);
    munmap(pView, sizeof(plat::SemaphoreCore));
}

TEST_F(CEngineApacheTest, MoreTuningParametersThanTheAreaHoldsAreCut) {
    auto pParams = std::make_unique<TuningBlock>();
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(pParams->Add("p" + std::to_string(i), "v"));
    IDSConfigTable table;
    std::string strProblem;
    ASSERT_EQ(0, WebShmWriteConfig(&table, pParams.get(), &strProblem));
    EXPECT_EQ(kWebConfMaxParams, ConfWord(kWebConfParamCount));
    EXPECT_EQ(0u, ConfWord(kWebConfEventCount));
    EXPECT_EQ("45 of 300 tuning parameters are past the 255 the configuration area holds: the "
              "web-server module does not get them",
              strProblem);
}

// A configuration the module does not get (here: its lock held past the
// wait) is said as a warning the host shows and counts, not only as the
// lock's own note.
TEST_F(CEngineApacheTest, ConfigurationTheModuleDoesNotGetIsAFinding) {
    ASSERT_TRUE(WebShmLockConf());
    EXPECT_EQ(1, m_Engine.InitializeRuleMap(nullptr));
    WebShmUnlockConf();
    EXPECT_TRUE(m_Log.Contains("WebPlugin: the configuration area could not be written (not open, or its lock "
                               "not free): the web-server module keeps the configuration it had"));
    EXPECT_EQ(0, m_Engine.InitializeRuleMap(nullptr));
}

// A configuration kept out by a lock held at a resume is written by the
// engine's own thread once the lock is free, said once however often it
// tries, and the finding is then taken back: the module does not wait for
// the next reload.
TEST_F(CEngineApacheTest, ConfigurationKeptOutByAHeldLockIsWrittenOnceItIsFreeAndTheFindingTakenBack) {
    const std::string strSaid = "WebPlugin: the configuration area could not be written (not open, or its lock not "
                                "free): the web-server module keeps the configuration it had";
    ASSERT_TRUE(WebShmLockConf());
    std::memset(WebShmConfView() + kWebConfTime, 0, sizeof(uint32_t));
    EXPECT_EQ(1, m_Engine.InitializeRuleMap(nullptr));
    ASSERT_EQ(0, m_Engine.OnStart(0));
    // The engine's thread tries again a second after the write: the try
    // meets the lock still held (on a slow machine it may come later).
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    WebShmUnlockConf();
    const std::string strEnded = "3:" + strSaid;
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        const std::vector<std::string> notices = m_Log.m_Services.Notices();
        return std::find(notices.begin(), notices.end(), strEnded) != notices.end();
    })) << ::testing::PrintToString(m_Log.m_Services.Notices());
    StopEngine();
    EXPECT_EQ(1u, m_Log.m_Services.CountStartingWith(strSaid));
    // Written then, stamped with its time.
    EXPECT_NE(0u, ConfWord(kWebConfTime));
}

TEST_F(CEngineApacheTest, WebGroupThatDoesNotExistIsRefused) {
    m_Engine.Shutdown();
    ::setenv(kWebGroupVariable, "hw-no-such-group", 1);
    hwtest::ConsoleCapture console;
    EXPECT_EQ(1, m_Engine.Initialize());
    ::unsetenv(kWebGroupVariable);
    EXPECT_TRUE(console.Contains("The web-server group hw-no-such-group does not exist")) << console.Text();
    EXPECT_FALSE(WebShmIsAttached());
    // The summary names what failed, and why, not the ring it would have
    // read; so does the log.
    std::string strInput;
    EXPECT_FALSE(m_Engine.DescribeInput(strInput));
    EXPECT_EQ("the web-server event ring could not be opened (The web-server group "
              "hw-no-such-group does not exist)",
              strInput);
    EXPECT_TRUE(m_Log.Contains("The web-server event ring could not be opened: The web-server "
                               "group hw-no-such-group does not exist"));
}

// A ring that could not be opened is an input another opening may bring:
// a pause and resume of the engine alone (what a reload that reads no
// policy gives it) opens it once the cause has gone.
TEST_F(CEngineApacheTest, RingThatCouldNotBeOpenedIsOpenedByAPauseAndResumeOnceItCanBe) {
    m_Engine.Shutdown();
    ::setenv(kWebGroupVariable, "hw-no-such-group", 1);
    hwtest::ConsoleCapture console;
    EXPECT_EQ(1, m_Engine.Initialize());
    EXPECT_TRUE(m_Engine.InputMayComeBack());
    ::unsetenv(kWebGroupVariable);
    EXPECT_EQ(0, m_Engine.OnPause(0));
    EXPECT_EQ(0, m_Engine.OnResume(0));
    EXPECT_TRUE(WebShmIsAttached());
    EXPECT_FALSE(m_Engine.InputMayComeBack());
    std::string strInput;
    EXPECT_TRUE(m_Engine.DescribeInput(strInput)) << strInput;
    StopEngine();
}

// The module's side of the ring, as a process of its own as a web server's
// is (in this process it would share the engine's state of the ring):
// hw-webmodule with `arguments`, started; its output goes to a file of
// `scratch`.
bool StartModule(hwtest::ChildProcess& module, const hwtest::ScratchDirectory& scratch,
                 const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{HW_BINARY_DIR "/bin/hw-webmodule", "write", "--name", "Web_Shell", "--id", "1234"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    // Its standard input stays open while it writes: its end would end it.
    return module.Start(argv, scratch.File("module.out"), {}, true);
}

// Has the running engine reach its longest look, then the module write a
// burst of `dwEvents` events at `dwRate` a second on its schedule, with
// the class texts `strClass` (",n=1234" and the terminator added): each is
// written (none finds the ring full) and taken once.  With `pLost`, events
// that found the ring full are allowed, added to *pLost from the module's
// own count, and every one written is still taken once.
void BurstAfterTheLongestLook(apachetest::RecordingEngine& engine, uint32_t dwRate, uint32_t dwEvents,
                              const std::string& strClass, uint64_t* pLost = nullptr) {
    const size_t nBefore = engine.Count();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return engine.RingLookMs() == CEngineApache::kQuietRingLookMs; }))
        << engine.RingLookMs();
    hwtest::ScratchDirectory scratch;
    hwtest::ChildProcess module;
    std::vector<std::string> arguments{"--count", std::to_string(dwEvents), "--rate", std::to_string(dwRate)};
    if (!strClass.empty())
        arguments.insert(arguments.end(), {"--class", strClass});
    ASSERT_TRUE(StartModule(module, scratch, arguments));
    int nExit = -1;
    ASSERT_TRUE(module.Wait(120, nExit));
    const std::string strSaid = hwtest::ReadWholeFile(scratch.File("module.out"));
    unsigned long nWritten = 0;
    unsigned long nFailed = 0;
    ASSERT_EQ(2, std::sscanf(strSaid.c_str(), "written %lu, not written %lu", &nWritten, &nFailed)) << strSaid;
    ASSERT_EQ(dwEvents, nWritten + nFailed) << strSaid;
    if (pLost != nullptr) {
        *pLost += nFailed;
    } else {
        EXPECT_EQ(0u, nFailed) << strSaid;
        EXPECT_EQ(0, nExit) << strSaid;
    }
    EXPECT_TRUE(hwtest::WaitUntil([&] { return engine.Count() >= nBefore + nWritten; }, 60)) << engine.Count();
    EXPECT_EQ(nBefore + nWritten, engine.Count());
}

// After a stop: with `qwLost` events the module could not write, the ring's
// bound names exactly that many; with none, no bound was reached.
void ExpectLossesSaidWithTheModulesCount(uint64_t qwLost) {
    const std::vector<std::string> bounds = InputBounds::Instance().Describe();
    if (qwLost == 0) {
        EXPECT_TRUE(bounds.empty()) << ::testing::PrintToString(bounds);
    } else {
        ASSERT_EQ(1u, bounds.size());
        EXPECT_NE(std::string::npos,
                  bounds[0].find("; " + std::to_string(qwLost) + " events the module could not write for want of room"))
            << bounds[0];
    }
}

// An idle engine looks at the ring less and less often, up to its longest
// look; a burst of events at the rate that look is made for, beginning
// whenever it may in that look, finds room in the ring, each event taken
// once.  A machine too loaded to give the engine's thread a turn within the
// 130 ms the ring holds at that rate (a thread-sanitizer build beside three
// times its processors in work lost 152 of 2,000) may still lose some:
// then every one lost is said with the module's own count and every one
// written is taken once.  bench/web_pace measures the rate.
TEST_F(CEngineApacheTest, BurstAfterAQuietSpellFindsRoomInTheRingAtTheLongestLook) {
    constexpr uint32_t kRate = CEngineApache::kBurstEventsPerSecond;
    InputBounds::Instance().ForgetForTest();
    ASSERT_EQ(0, m_Engine.OnStart(0));
    // Class texts of some 40 bytes: 264 events fill the ring.
    uint64_t qwLost = 0;
    BurstAfterTheLongestLook(m_Engine, kRate, kRate, "url=/scripts/cmd.exe,method=GET", &qwLost);
    StopEngine();
    ExpectLossesSaidWithTheModulesCount(qwLost);
}

// The module wakes the engine as it writes: bursts at 10,000 events a
// second, five times what the longest look alone leaves room for, each
// after a quiet spell long enough for that look, are read as they come and
// lose none.  Each lasts 50 ms, half the longest look and more than the 30
// ms the ring holds at that rate (some 300 events of a record and the
// class text "n=I"): an engine that waited for its look would drop some of
// two bursts in three (559 of a burst of 10,000 it did), and of one of
// these three bursts at least 29 times in 30.  Short bursts keep what a loaded
// machine's stalls may cost out of the test; a machine too loaded to keep
// up with 10,000 a second at all (a thread-sanitizer build beside three
// times its processors in work lost 5 of 1,500) may still lose some, and
// then every one lost is said, with the module's own count, and every one
// written is taken once.  bench/web_pace measures the rate itself.
TEST_F(CEngineApacheTest, BurstsOfTenThousandASecondAfterTheLongestLookLoseNone) {
    constexpr uint32_t kRate = 10000;
    InputBounds::Instance().ForgetForTest();
    ASSERT_EQ(0, m_Engine.OnStart(0));
    uint64_t qwLost = 0;
    for (int n = 0; n < 3; ++n) {
        BurstAfterTheLongestLook(m_Engine, kRate, kRate / 20, std::string(), &qwLost);
    }
    StopEngine();
    ExpectLossesSaidWithTheModulesCount(qwLost);
}

// The module drops an event that finds the ring full through the ring's
// own write, which counts it: with the engine paused, the module's burst
// overflows the ring, and after the resume the engine says as many lost
// as the module could not write, and reports every one it did.
TEST_F(CEngineApacheTest, OverflowTheModuleMakesIsSaidWithTheModulesOwnCount) {
    constexpr uint32_t kEvents = 1000;
    InputBounds::Instance().ForgetForTest();
    ASSERT_EQ(0, m_Engine.OnStart(0));
    ASSERT_EQ(0, m_Engine.OnPauseInit(0));
    ASSERT_EQ(0, m_Engine.OnPause(0));
    hwtest::ScratchDirectory scratch;
    hwtest::ChildProcess module;
    ASSERT_TRUE(StartModule(module, scratch, {"--count", std::to_string(kEvents), "--rate", "1000000"}));
    int nExit = -1;
    ASSERT_TRUE(module.Wait(120, nExit));
    const std::string strSaid = hwtest::ReadWholeFile(scratch.File("module.out"));
    EXPECT_EQ(1, nExit) << strSaid;
    unsigned long nWritten = 0;
    unsigned long nFailed = 0;
    ASSERT_EQ(2, std::sscanf(strSaid.c_str(), "written %lu, not written %lu", &nWritten, &nFailed)) << strSaid;
    ASSERT_EQ(kEvents, nWritten + nFailed);
    ASSERT_GT(nFailed, 0u) << "the ring took the whole burst";
    ASSERT_EQ(0, m_Engine.OnResume(0));
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Engine.Count() >= nWritten; }, 60)) << m_Engine.Count();
    StopEngine();
    EXPECT_EQ(nWritten, m_Engine.Count());
    const std::vector<std::string> bounds = InputBounds::Instance().Describe();
    ASSERT_EQ(1u, bounds.size());
    EXPECT_NE(std::string::npos,
              bounds[0].find("; " + std::to_string(nFailed) + " events the module could not write for want of room"))
        << bounds[0];
}

// The stop reads what the ring holds once the thread has ended, within its
// share of time; what that time leaves (none here, at first; everything
// once it is cut to nothing) is said in the stop's line and goes to the
// host's tally.  A stop while paused reads nothing and counts all.
TEST_F(CEngineApacheTest, StopReadsTheRingAndCountsWhatItsTimeLeavesForTheTally) {
    const std::string strNotice = std::to_string(kCSFNoticeLostAtStop) + ":Lost at the stop: ";
    auto writeAfterTheThread = [&](int nEvents) {
        EXPECT_TRUE(hwtest::WaitUntil([&] { return !m_Engine.IsRunning(); }));
        for (int n = 0; n < nEvents; ++n)
            ASSERT_EQ(0, WebShmWriteEvent(MakeRecord(1234, ""), nullptr));
    };
    ASSERT_EQ(0, m_Engine.OnStart(0));
    ASSERT_EQ(0, m_Engine.OnStopInit(0));
    writeAfterTheThread(3);
    ASSERT_EQ(0, m_Engine.OnStop(0));
    EXPECT_EQ(3u, m_Engine.Count());
    EXPECT_TRUE(m_Log.m_Services.Notices().empty());
    EXPECT_EQ(0u, m_Log.m_Services.CountStartingWith("3 web-server events dropped"));

    ASSERT_EQ(0, m_Engine.Initialize());
    m_Engine.SetStopReading(std::chrono::milliseconds(0));
    ASSERT_EQ(0, m_Engine.OnStart(0));
    ASSERT_EQ(0, m_Engine.OnStopInit(0));
    writeAfterTheThread(4);
    ASSERT_EQ(0, m_Engine.OnStop(0));
    EXPECT_EQ(3u, m_Engine.Count());
    EXPECT_TRUE(m_Log.Contains("4 web-server events dropped: they were still waiting in the event ring at the stop"));
    EXPECT_EQ(std::vector<std::string>{strNotice + "4 web-server events left in the ring"},
              m_Log.m_Services.Notices());

    m_Log.m_Services.Forget();
    m_Engine.SetStopReading(CEngineApache::kStopReading);
    ASSERT_EQ(0, m_Engine.Initialize());
    ASSERT_EQ(0, m_Engine.OnStart(0));
    ASSERT_EQ(0, m_Engine.OnPauseInit(0));
    ASSERT_EQ(0, m_Engine.OnPause(0));
    writeAfterTheThread(2);
    ASSERT_EQ(0, m_Engine.OnStopInit(0));
    ASSERT_EQ(0, m_Engine.OnStop(0));
    EXPECT_EQ(3u, m_Engine.Count());
    EXPECT_TRUE(m_Log.Contains(
        "2 web-server events dropped: they were still waiting in the event ring at the stop (the engine was paused)"));
    EXPECT_EQ(std::vector<std::string>{strNotice + "2 web-server events left in the ring"},
              m_Log.m_Services.Notices());
}

// Events that come apart, as a stream whose writes leave the ring empty at
// some looks does, keep the short look: the look lengthens only after a
// second without any.  The look is judged right after the test saw an
// event taken that it had not seen at its look a moment before, so a test
// or a module held up on a busy machine judges nothing it cannot know.
TEST_F(CEngineApacheTest, EventsThatComeApartKeepTheShortLook) {
    constexpr size_t kEvents = 100;
    ASSERT_EQ(0, m_Engine.OnStart(0));
    hwtest::ScratchDirectory scratch;
    hwtest::ChildProcess module;
    ASSERT_TRUE(StartModule(module, scratch, {"--count", std::to_string(kEvents), "--every", "20"}));
    size_t nJudged = 0;
    size_t nSeen = 0;
    auto lastLook = std::chrono::steady_clock::now();
    const auto deadline = lastLook + std::chrono::seconds(60);
    while (nSeen < kEvents && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const size_t nCount = m_Engine.Count();
        const uint32_t dwLook = m_Engine.RingLookMs();
        const auto now = std::chrono::steady_clock::now();
        if (nCount != nSeen && now - lastLook < std::chrono::milliseconds(200)) {
            EXPECT_EQ(CEngineApache::kBusyRingLookMs, dwLook) << "at event " << nCount;
            ++nJudged;
        }
        nSeen = nCount;
        lastLook = now;
    }
    int nExit = -1;
    ASSERT_TRUE(module.Wait(60, nExit));
    EXPECT_EQ(0, nExit) << hwtest::ReadWholeFile(scratch.File("module.out"));
    EXPECT_EQ(kEvents, m_Engine.Count());
    EXPECT_GT(nJudged, 0u);
    // Quiet, it lengthens to its longest.
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Engine.RingLookMs() == CEngineApache::kQuietRingLookMs; }))
        << m_Engine.RingLookMs();
    StopEngine();
}

TEST_F(CEngineApacheTest, SwitchOffEndsTheThreadAtOnce) {
    m_Config.SetIDSEnabled(false);
    ASSERT_EQ(0, m_Engine.OnStart(0));
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Log.Contains("IDS not enabled: Web Server Monitoring is OFF"); }));
    StopEngine();
}

}  // namespace
