#include "NTEvents/CEngineNTEvents.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Common/FakeSensorCore.h"
#include "Common/InputBounds.h"
#include "NTEvents/CNTEventRule.h"
#include "NTEvents/EventRecordAnalysis.h"
#include "hostwarden/IPolicyContainer.h"
#include "platform/EventLog.h"
#include "platform/Registry.h"
#include "support/ManualReportTime.h"
#include "support/TestUtil.h"

namespace {

using Texts = std::vector<std::string>;

constexpr const char kTable[] = "\\Advanced\\Rules\\EventLog Rules\\";

class EventLogEngineTest : public ::testing::Test {
protected:
    EventLogEngineTest() : m_pPolicy(CreatePluginPolicyContainer()) {
        m_Sensor.m_pPolicy = m_pPolicy;
        for (const char* pszLog : {"Application", "Security", "System"}) {
            plat::RegistryKey key = 0;
            plat::RegistryCreateKey(plat::kRegistryLocalMachine,
                                    (std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\") + pszLog).c_str(),
                                    &key);
            plat::RegistryCloseKey(key);
        }
    }
    ~EventLogEngineTest() override {
        // The engine's thread reads its logs and rules: the engine goes only
        // once the thread has ended, however long a loaded machine keeps it
        // (its own stop waits a bound, then leaves it running).  A thread
        // that never ends fails the test, and the engine is leaked rather
        // than freed under it.
        if (m_pEngine) {
            m_pEngine->OnStopInit(0);
            if (!hwtest::WaitUntil([&] { return !m_pEngine->IsRunning(); }, 300)) {
                ADD_FAILURE() << "the engine's thread did not end within 300 s of its stop";
                (void)m_pEngine.release();
            }
        }
        m_pEngine.reset();
        m_Sensor.DeleteRules();
        m_pPolicy->Release();
    }

    void AddRule(const std::string& strName, int32_t nId, const char* pszLog = "Security") {
        const std::string strPath = kTable + strName;
        const bool bEnabled = true;
        m_pPolicy->SetBool(strPath.c_str(), "Enabled", &bEnabled);
        m_pPolicy->SetLong(strPath.c_str(), "Event Log ID", &nId);
        m_pPolicy->SetText(strPath.c_str(), "Event Log Source", pszLog);
    }
    // A file that is no event log where the log's file goes; its path.
    static std::string PutNoEventLogAt(const char* pszLog) {
        const std::string strPath = plat::EventLogFilePath(pszLog);
        std::filesystem::create_directories(std::filesystem::path(strPath).parent_path());
        hwtest::WriteWholeFile(strPath, "not an event log, but long enough for a header");
        return strPath;
    }
    void RemoveRule(const std::string& strName) {
        m_pPolicy->DeleteSubKey((std::string(kTable)).c_str(), strName.c_str());
    }
    void Init() {
        m_pEngine = std::make_unique<CEngineNTEvents>();
        ASSERT_EQ(0, m_pEngine->Oninit(0));
    }
    static void Append(const char* pszLog, uint32_t dwId, const std::string& strText = "x") {
        plat::EventSource* pSource = plat::RegisterEventSource("Test", pszLog);
        const char* pszText = strText.c_str();
        ASSERT_EQ(0u, plat::ReportEvent(pSource, plat::kEventAuditFailure, 0, dwId, nullptr, 0, 1,
                                        &pszText, 0, nullptr));
        plat::DeregisterEventSource(pSource);
    }
    // The names of the rules reported since the last call, in order.
    Texts Reported() {
        Texts names;
        for (const auto& pRecord : m_Sensor.TakeReported()) {
            names.push_back(pRecord->GetRuleName());
        }
        return names;
    }
    // In any order: logs written in one cycle are read in table order.
    bool AwaitReported(Texts expected) {
        Texts seen;
        hwtest::WaitUntil([&] {
            for (const std::string& strName : Reported()) {
                seen.push_back(strName);
            }
            return seen.size() >= expected.size();
        });
        std::sort(seen.begin(), seen.end());
        std::sort(expected.begin(), expected.end());
        return seen == expected;
    }
    void Dispatch(uint32_t dwEventId, std::vector<std::string> strings = {}) {
        std::vector<uint8_t> record;
        plat::EventRecordFields fields;
        fields.m_uEventId = dwEventId;
        fields.m_sSourceName = "Test";
        fields.m_strings = std::move(strings);
        ASSERT_EQ(0u, plat::BuildEventRecord(fields, record));
        m_pEngine->DispatchRecord(record.data(), static_cast<uint32_t>(record.size()), "Security");
    }

    // Lines logged that hold `strPart`.
    size_t LinesWith(const std::string& strPart) {
        const Texts lines = m_HostLog.m_Services.Texts();
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& strLine) {
            return strLine.find(strPart) != std::string::npos;
        }));
    }

    hwtest::ScratchDirectory m_Root;
    hwtest::EnvironmentOverride m_RootVariable{"QOR_PLATFORM_ROOT", m_Root.Path().c_str()};
    FakeSensorCore m_Sensor;
    ScopedHostLog m_HostLog;
    IPolicyContainer* m_pPolicy;
    std::unique_ptr<CEngineNTEvents> m_pEngine;
};

}  // namespace

TEST_F(EventLogEngineTest, OpenLogsFollowTheRulesAndAKeptLogKeepsItsPlaceAcrossAReload) {
    Append("Security", 200, "written before the engine");
    AddRule("App", 100, "Application");
    AddRule("Sec", 200);
    AddRule("Elsewhere", 300, "Nowhere");
    Init();
    EXPECT_EQ((Texts{"Application", "Security"}), m_pEngine->GetOpenLogs());
    EXPECT_TRUE(m_HostLog.Contains("Unable to monitor event log \"Nowhere\" because it does not exist."));
    ASSERT_EQ(0, m_pEngine->OnStart(0));
    Append("Security", 200);
    Append("Application", 100);
    EXPECT_TRUE(AwaitReported({"App", "Sec"}));

    m_pEngine->OnPauseInit(0);
    m_pEngine->OnPause(0);
    Append("Security", 200, "written while paused");
    // A log the new rules no longer read goes with what it held unread,
    // counted.
    Append("Application", 100, "written while paused");
    Append("Application", 100, "written while paused");
    m_Sensor.DeleteRules();
    RemoveRule("App");
    ASSERT_EQ(0, m_pEngine->OnReloadPolicy(0));
    EXPECT_EQ((Texts{"Security"}), m_pEngine->GetOpenLogs());
    EXPECT_TRUE(m_HostLog.Contains("2 records of the Application event log were not read: they were written before "
                                   "the reload, and no rule of the new policy reads that log"));
    ASSERT_EQ(0, m_pEngine->OnResume(0));
    Append("Security", 200, "after");
    EXPECT_TRUE(AwaitReported({"Sec", "Sec"}));
    m_pEngine->OnStopInit(0);
    m_pEngine->OnStop(0);
    EXPECT_TRUE(Reported().empty());
    EXPECT_TRUE(m_HostLog.Contains("NTEvent engine terminating!"));
}

// A pause (a reload's among them) ends the thread at once rather than
// after the rest of its wait on the logs, a second at most: every engine's
// input waits that much less while a reload reads its policy.  A pause
// that waited out the wait takes nearly the whole second every time, since
// each meets the thread 50 ms into it; a busy machine can stretch any one
// pause that far, but not every one of several, so the quickest is what
// tells them apart.
TEST_F(EventLogEngineTest, PauseEndsTheThreadWithoutWaitingOutItsWaitOnTheLogs) {
    AddRule("Sec", 200);
    Init();
    auto quickest = std::chrono::steady_clock::duration::max();
    std::string strTook;
    for (int nPause = 0; nPause < 5; ++nPause) {
        ASSERT_EQ(0, m_pEngine->OnStart(0));
        // The thread is in its wait now, or about to be.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto start = std::chrono::steady_clock::now();
        m_pEngine->OnPauseInit(0);
        m_pEngine->OnPause(0);
        const auto took = std::chrono::steady_clock::now() - start;
        quickest = std::min(quickest, took);
        strTook += " " + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) + " ms";
    }
    EXPECT_LT(quickest, std::chrono::milliseconds(500)) << "the pauses took" << strTook;
}

TEST_F(EventLogEngineTest, LogThatFailsToOpenLeavesTheRulesInForceAndTheOtherLogsWatched) {
    PutNoEventLogAt("System");
    AddRule("Sys", 100, "System");
    AddRule("Sec", 200);
    Init();
    EXPECT_EQ((Texts{"Security"}), m_pEngine->GetOpenLogs());
    EXPECT_TRUE(m_HostLog.Contains(
        "NT (System) Event Log monitoring will not run because the log file failed to open (error: "
        "13) (The data is invalid)"));
    ASSERT_EQ(0, m_pEngine->OnStart(0));
    Append("Security", 200);
    EXPECT_TRUE(AwaitReported({"Sec"}));
}

// A log that could not be opened is tried again at each resume, a reload's
// without a policy read among them, and watched once it opens, from its
// next record on; the log that was open keeps its place through each, and
// what it took while paused is read once.
TEST_F(EventLogEngineTest,
       LogThatCouldNotBeOpenedIsOpenedByAResumeOnceItCanBeAndTheOpenLogKeepsItsPlace) {
    const std::string strPath = PutNoEventLogAt("System");
    AddRule("Sys", 100, "System");
    AddRule("Sec", 200);
    Init();
    EXPECT_TRUE(m_pEngine->InputMayComeBack());
    EXPECT_TRUE(m_HostLog.Contains("1 event log could not be opened; the others are watched"));
    ASSERT_EQ(0, m_pEngine->OnStart(0));
    Append("Security", 200, "one");
    EXPECT_TRUE(AwaitReported({"Sec"}));
    const auto pauseAndResume = [&](uint32_t dwArgument, const char* pszLog, uint32_t dwId) {
        m_pEngine->OnPauseInit(dwArgument);
        m_pEngine->OnPause(dwArgument);
        Append(pszLog, dwId, "written while paused");
        return m_pEngine->OnResume(dwArgument);
    };
    // Still no event log: tried, and left out.
    ASSERT_EQ(0, pauseAndResume(CEngineBase::kReloadArgument, "Security", 200));
    EXPECT_EQ((Texts{"Security"}), m_pEngine->GetOpenLogs());
    EXPECT_TRUE(m_pEngine->InputMayComeBack());
    EXPECT_EQ(
        2u,
        LinesWith(
            "NT (System) Event Log monitoring will not run because the log file failed to open"));
    EXPECT_TRUE(AwaitReported({"Sec"}));

    // Put right: what it holds already is not read, what comes is.
    std::filesystem::remove(strPath);
    Append("System", 100, "written before it was watched");
    ASSERT_EQ(0, pauseAndResume(CEngineBase::kReloadArgument, "Security", 200));
    EXPECT_EQ((Texts{"Security", "System"}), m_pEngine->GetOpenLogs());
    EXPECT_FALSE(m_pEngine->InputMayComeBack());
    EXPECT_TRUE(m_HostLog.Contains(
        "NT (System) Event Log monitoring runs now: the log was opened at the reload, "
        "and its records are read from the next one written"));
    std::string strInput;
    EXPECT_TRUE(m_pEngine->DescribeInput(strInput));
    EXPECT_EQ("event logs Security, System", strInput);
    Append("System", 100, "after");
    Append("Security", 200, "after");
    EXPECT_TRUE(AwaitReported({"Sec", "Sys", "Sec"}));
    // Nothing is tried at the operator's resume once every log is open.
    ASSERT_EQ(0, pauseAndResume(0, "System", 100));
    EXPECT_TRUE(AwaitReported({"Sys"}));
    EXPECT_EQ(2u, LinesWith("NT (System) Event Log monitoring will not run"));
    m_pEngine->OnStopInit(0);
    m_pEngine->OnStop(0);
    EXPECT_TRUE(Reported().empty());
}

TEST_F(EventLogEngineTest, OversizedRecordIsReportedAsAPossibleAttackAndSteppedOver) {
    AddRule("Sec", 200);
    Init();
    ASSERT_EQ(0, m_pEngine->OnStart(0));
    Append("Security", 200, std::string(20000, 'L'));
    Append("Security", 200, "small");
    ASSERT_TRUE(AwaitReported({"Sec"}));
    bool bWarned = false;
    for (const std::string& strLine : m_HostLog.m_Services.Texts()) {
        unsigned int uSize = 0;
        bWarned |= std::sscanf(strLine.c_str(), "Large event record (%u bytes): possible attack on "
                                                "event log", &uSize) == 1 && uSize > 20000;
    }
    EXPECT_TRUE(bWarned);
}

// Whoever writes to a watched log decides how many large records come: so
// many warnings a minute, the next one counting those left out, while the
// records after them are analysed as ever.
TEST_F(EventLogEngineTest, LargeRecordWarningsAreBoundedAndCountWhatTheyLeftOut) {
    hwtest::ManualReportTime time;
    AddRule("Sec", 200);
    Init();
    ASSERT_EQ(0, m_pEngine->OnStart(0));
    constexpr unsigned kRecords = 30;
    for (unsigned n = 0; n < kRecords; ++n) {
        Append("Security", 201, std::string(20000, 'L'));
    }
    Append("Security", 200, "small");
    ASSERT_TRUE(AwaitReported({"Sec"}));
    const std::string kWarning = "Large event record (";
    EXPECT_EQ(CEngineNTEvents::kRecordReportsPerMinute, LinesWith(kWarning));

    hwtest::ManualReportTime::Advance(60);
    Append("Security", 201, std::string(20000, 'L'));
    Append("Security", 200, "small");
    ASSERT_TRUE(AwaitReported({"Sec"}));
    EXPECT_EQ(1u, LinesWith("possible attack on event log (" +
                                      std::to_string(kRecords - CEngineNTEvents::kRecordReportsPerMinute) +
                                      " large records were not reported before it)"));
}

// Each rule that looks at a record's strings says when there are more
// than it can use; a stream of such records costs so many lines a minute.
TEST_F(EventLogEngineTest, TooManyStringsLinesAreBoundedAndCountWhatTheyLeftOut) {
    hwtest::ManualReportTime time;
    AddRule("Opened", 560);
    Init();
    const std::vector<std::string> strings(40, "s");
    for (unsigned n = 0; n < 50; ++n) {
        Dispatch(560, strings);
    }
    EXPECT_EQ(CEngineNTEvents::kRecordReportsPerMinute,
              LinesWith("pEntry->NumStrings (40) is too big"));
    hwtest::ManualReportTime::Advance(60);
    Dispatch(560, strings);
    EXPECT_EQ(1u, LinesWith("pEntry->NumStrings (40) is too big (30 such lines were not reported before it)"));
}

TEST_F(EventLogEngineTest, SeverityBitsAreIgnoredAndAnyIdRulesSeeEveryRecordOnce) {
    AddRule("Policy change", 612);
    AddRule("Any", 0);
    Init();
    Dispatch(0xC0000264u);
    EXPECT_EQ((Texts{"Policy change", "Any"}), Reported());
    Dispatch(0);
    EXPECT_EQ((Texts{"Any"}), Reported());
}

TEST_F(EventLogEngineTest, RegistryOpenedRulesNeedTheirChangedPartner) {
    struct Case {
        std::vector<std::pair<std::string, int32_t>> m_Rules;
        Texts m_Kept;
    };
    const Case kCases[] = {
        {{{"Registry_autorun_opened", 560}, {"registry_autorun_CHANGED", 567}, {"Registry_key_closed", 562}},
         {"Registry_autorun_opened", "Registry_key_closed", "registry_autorun_CHANGED"}},
        {{{"Registry_autorun_opened", 560}, {"Other", 567}, {"Registry_key_closed", 562}}, {"Other"}},
        // Without any id from 567 up, the partner is looked for under 562.
        {{{"Registry_NT_security_options_opened", 560}, {"Registry_NT_security_options_changed", 562}},
         {"Registry_NT_security_options_opened", "Registry_NT_security_options_changed"}},
    };
    for (const Case& c : kCases) {
        m_pPolicy->ClearSection("\\Advanced\\Rules");
        for (const auto& [strName, nId] : c.m_Rules) {
            AddRule(strName, nId);
        }
        m_Sensor.DeleteRules();
        Init();
        Texts kept;
        for (const auto& [dwId, pRule] : *m_pEngine->GetEventIdTable()) {
            kept.push_back(pRule->GetName());
        }
        EXPECT_EQ(c.m_Kept, kept);
    }
}

// A log written faster than its records are handled keeps the engine no
// longer than a turn: the other logs' records are read in between.
TEST_F(EventLogEngineTest, FloodedLogHoldsTheOthersNoLongerThanATurn) {
    AddRule("Flood", 100, "Application");
    AddRule("Single", 200, "System");
    Init();
    m_Sensor.m_nDeliveryMicros = 500;
    ASSERT_EQ(0, m_pEngine->OnStart(0));
    const size_t nFlood = 2 * CEngineNTEvents::kRecordsPerTurn + 200;
    for (size_t n = 0; n < nFlood; ++n) {
        Append("Application", 100);
    }
    // What the engine handled while the flood was written (much of it on a
    // busy machine) is not the System record's wait.
    Texts seen = Reported();
    const size_t nHandled = seen.size();
    Append("System", 200);
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        for (const std::string& strName : Reported()) {
            seen.push_back(strName);
        }
        return seen.size() == nFlood + 1;
    }, 60)) << seen.size();
    const size_t nAt = std::find(seen.begin(), seen.end(), "Single") - seen.begin();
    ASSERT_LT(nHandled, nAt);
    // The rest of a turn, and the records of the read that ended it.
    EXPECT_LT(nAt - nHandled, CEngineNTEvents::kRecordsPerTurn + CEngineNTEvents::kRecordsPerTurn / 2)
        << "the System record waited for the whole flood: " << nFlood - nHandled << " records of it were left";
    m_pEngine->OnStopInit(0);
    m_pEngine->OnStop(0);
}

// A record can claim tens of thousands of strings (one byte each); only
// as many as the log itself lets a report have are read, and the rest are
// said and counted.
TEST_F(EventLogEngineTest, RecordClaimingMoreStringsThanALogHoldsIsReadToTheBound) {
    InputBounds::Instance().ForgetForTest();
    AddRule("Many", 200);
    Init();
    std::vector<uint8_t> record;
    plat::EventRecordFields fields;
    fields.m_uEventId = 200;
    fields.m_sSourceName = "Test";
    fields.m_strings.assign(EventRecordView::kMaxStrings, "s");
    // Right after the strings: 44 more, as the data.
    for (int n = 0; n < 44; ++n) {
        fields.m_data.push_back('t');
        fields.m_data.push_back(0);
    }
    ASSERT_EQ(0u, plat::BuildEventRecord(fields, record));
    const uint16_t wClaimed = 60000;
    record[plat::EventLogLayout::kNumStrings] = static_cast<uint8_t>(wClaimed & 0xFF);
    record[plat::EventLogLayout::kNumStrings + 1] = static_cast<uint8_t>(wClaimed >> 8);
    m_pEngine->DispatchRecord(record.data(), static_cast<uint32_t>(record.size()), "Security");
    auto reported = m_Sensor.TakeReported();
    ASSERT_EQ(1u, reported.size());
    const InfoPairList& variables = reported[0]->GetScriptVariables();
    EXPECT_EQ(EventRecordView::kMaxStrings,
              static_cast<size_t>(std::count_if(variables.begin(), variables.end(), [](const InfoPair& pair) {
                  return pair.m_strName.rfind("__qor_eventlog_String", 0) == 0;
              })));
    // The 44 and the empty texts of the record's end.
    EventRecordView view;
    ASSERT_TRUE(view.Parse(record.data(), static_cast<uint32_t>(record.size())));
    EXPECT_GE(view.m_dwStringsCut, 44u);
    EXPECT_EQ(InputBounds::Instance().Describe(),
              Texts{"Bound reached: event log Security: at most 256 insertion strings read from a "
                    "record; " + std::to_string(view.m_dwStringsCut) + " strings left out"});
}

namespace {

// The engine run until a record is read, then (paused when asked) told to
// stop: its thread reads nothing more, and what is written now is the
// stop's to read or count.
class EventLogStopTest : public EventLogEngineTest {
protected:
    void RunThenAskToStop(bool bPaused) {
        ASSERT_EQ(0, m_pEngine->OnStart(0));
        Append("Security", 200, "the thread reads");
        ASSERT_TRUE(AwaitReported({"Sec"}));
        if (bPaused) {
            m_pEngine->OnPauseInit(0);
            m_pEngine->OnPause(0);
        }
        m_pEngine->OnStopInit(0);
    }
};

}  // namespace

// Records written before the stop that the thread had not read when it
// ended are read and matched at the stop, within its share; what the share
// leaves, and what was written while the host had the engine paused, is
// said and counted in the stop's tally.
TEST_F(EventLogStopTest, RecordsWrittenBeforeTheStopAreReadAtItOrCounted) {
    AddRule("Sec", 200);
    Init();
    const auto RunThenStopWith = [&](size_t nRecords, bool bPaused) {
        ASSERT_NO_FATAL_FAILURE(RunThenAskToStop(bPaused));
        for (size_t n = 0; n < nRecords; ++n) {
            Append("Security", 200, "before the stop");
        }
        m_pEngine->OnStop(0);
    };

    ASSERT_NO_FATAL_FAILURE(RunThenStopWith(50, false));
    EXPECT_EQ(50u, Reported().size());
    EXPECT_TRUE(m_HostLog.m_Services.LostAtStop().empty());

    m_pEngine->SetStopReading(std::chrono::milliseconds(0));
    ASSERT_NO_FATAL_FAILURE(RunThenStopWith(30, false));
    EXPECT_TRUE(Reported().empty());
    EXPECT_EQ(1u, LinesWith("at the stop: what 0 ms of reading at the stop left of the event logs is lost: "
                            "30 records not read (Security 30)"));
    EXPECT_EQ((Texts{"Lost at the stop: 30 event-log records left unread"}), m_HostLog.m_Services.LostAtStop());

    m_HostLog.m_Services.Forget();
    m_pEngine->SetStopReading(CEngineNTEvents::kStopReading);
    ASSERT_NO_FATAL_FAILURE(RunThenStopWith(4, true));
    EXPECT_TRUE(Reported().empty());
    EXPECT_EQ(1u, LinesWith("at the stop: the event logs were paused: what was written to them since is lost: "
                            "4 records not read (Security 4)"));
    EXPECT_EQ((Texts{"Lost at the stop: 4 event-log records left unread"}), m_HostLog.m_Services.LostAtStop());
}

// A log cleared just before the stop, and written again, is read from its
// new start at the stop, as the thread would have read it; stopped while
// paused, what it holds since the clear is counted.
TEST_F(EventLogStopTest, LogClearedJustBeforeTheStopIsReadFromItsNewStartAtIt) {
    AddRule("Sec", 200);
    Init();
    for (const bool bPaused : {false, true}) {
        ASSERT_NO_FATAL_FAILURE(RunThenAskToStop(bPaused));
        ASSERT_EQ(0u, plat::ClearEventLog("Security"));
        for (int n = 0; n < 3; ++n) {
            Append("Security", 200, "after the clear");
        }
        m_pEngine->OnStop(0);
        EXPECT_EQ(bPaused ? 0u : 3u, Reported().size()) << (bPaused ? "paused" : "running");
    }
    EXPECT_EQ((Texts{"Lost at the stop: 3 event-log records left unread"}), m_HostLog.m_Services.LostAtStop());
}
