// The handler with the real script process: scripts are defined, alerts
// validated through the shared sections, and a process that dies is
// started again with the scripts sent anew.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Common/FakeSensorCore.h"
#include "Common/InputBounds.h"
#include "Common/RuleScript.h"
#include "Common/ScriptOutcomes.h"
#include "Common/TestEngine.h"
#include "TclHandler/tclHandler.h"
#include "support/TestUtil.h"

namespace {

// A handler whose clock stands still from the moment its scripts are out
// (FreezeOnceScriptsAreOut), and the time it stands at.
std::atomic<const tclHandler*> g_pFrozenAfterScripts{nullptr};
std::atomic<int64_t> g_nFrozenAt{0};

// Whether the process has ended (and waits to be reaped).
bool HasEnded(int nProcess) {
    const std::string strStat = hwtest::ReadWholeFile("/proc/" + std::to_string(nProcess) + "/stat");
    const size_t nEnd = strStat.rfind(") ");
    return nEnd == std::string::npos || strStat.compare(nEnd + 2, 1, "Z") == 0;
}

// The handler of the running test: its clock stands still while it waits
// for a live process to answer its scripts (the runs held behind them), so
// that a process a busy machine leaves without a processor for seconds is
// not taken for one that never answers.  Its wait is the process's work,
// not a time the test can give it.  A process that has ended answers
// nothing: the handler's clock runs on.
std::atomic<tclHandler*> g_pAwaitingScripts{nullptr};

bool AwaitsScriptAnswers() {
    tclHandler* pHandler = g_pAwaitingScripts.load();
    if (pHandler == nullptr || !pHandler->IsRunningFlagSet() || !pHandler->ScriptsInitialised() ||
        !pHandler->Queues().IsHeld(tclQueueSet::kRuns)) {
        return false;
    }
    const int nProcess = pHandler->ProcessId();
    return nProcess != 0 && !HasEnded(nProcess);
}

// Ten seconds pass for each real one, so the settling waits of the
// handler take a fraction of a second; none pass while the handler waits
// for its scripts' answers.
int64_t FastClock() {
    using Steady = std::chrono::steady_clock;
    static const Steady::time_point start = Steady::now();
    static const int64_t base = ::time(nullptr);
    static std::mutex lock;
    static Steady::duration stood{};
    static std::optional<Steady::time_point> standing;
    const Steady::time_point nowReal = Steady::now();
    const bool bStand = AwaitsScriptAnswers();
    Steady::duration elapsed;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (bStand && !standing) {
            standing = nowReal;
        } else if (!bStand && standing) {
            stood += nowReal - *standing;
            standing.reset();
        }
        elapsed = (standing ? *standing : nowReal) - start - stood;
    }
    const int64_t now = base + std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 100;
    const tclHandler* pFrozen = g_pFrozenAfterScripts.load();
    if (pFrozen == nullptr || !pFrozen->ScriptsInitialised()) {
        return now;
    }
    int64_t nUnset = 0;
    g_nFrozenAt.compare_exchange_strong(nUnset, now);
    return g_nFrozenAt.load();
}

// While it lives, `handler`'s clock stands still once its scripts are out:
// a hold behind them (20 s, two real ones on the fast clock) lasts however
// slowly a loaded machine lets the test queue its runs.
class FreezeOnceScriptsAreOut {
public:
    explicit FreezeOnceScriptsAreOut(const tclHandler& handler) {
        g_nFrozenAt = 0;
        g_pFrozenAfterScripts = &handler;
    }
    ~FreezeOnceScriptsAreOut() {
        g_pFrozenAfterScripts = nullptr;
        g_nFrozenAt = 0;
    }
    FreezeOnceScriptsAreOut(const FreezeOnceScriptsAreOut&) = delete;
    FreezeOnceScriptsAreOut& operator=(const FreezeOnceScriptsAreOut&) = delete;
};

// A record that counts itself gone, so the test can see from its own thread
// that the handler has finished with it (the pending table is the handler
// thread's alone).
class CountedRecord : public TestRecord {
public:
    CountedRecord(Rule* pRule, std::atomic<int>& nGone) : TestRecord(pRule, 1), m_nGone(nGone) {}
    ~CountedRecord() override { ++m_nGone; }

private:
    std::atomic<int>& m_nGone;
};

// Each validated alert of the rule `from` raises one of the rule `to`, as
// the correlation engine would, on the thread that reports it; `before`
// runs first, each time.
class RaisingSensor : public FakeSensorCore {
public:
    RaisingSensor(tclHandler& handler, TestRule& from, TestRule& to, std::function<void()> before = {})
        : m_Handler(handler), m_From(from), m_To(to), m_Before(std::move(before)) {}
    uint8_t DeliverToHost(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                          uint32_t dwFlags) override {
        if (pRecord != nullptr && pRecord->GetRule() == &m_From) {
            if (m_Before) {
                m_Before();
            }
            auto* pRaised = new TestRecord(&m_To, 1);
            if (m_Handler.QueueRun(m_To.GetName(), "Validation", pRaised) == 0) {
                delete pRaised;
                ++m_nRefused;
            }
        }
        return FakeSensorCore::DeliverToHost(pRecord, pInfo, dwWord, dwFlags);
    }
    std::atomic<int> m_nRefused{0};

private:
    tclHandler& m_Handler;
    TestRule& m_From;
    TestRule& m_To;
    std::function<void()> m_Before;
};

class ScriptProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        InputBounds::Instance().ForgetForTest();
        std::filesystem::create_symlink(std::string(HW_BINARY_DIR) + "/bin/tclProc",
                                        m_Directory.File("tclProc.exe"));
        m_Rule.SetName("Scan");
        m_Rule.Enable(0);
        auto pScript = std::make_unique<RuleScript>(
            "Scan", "proc ok {user} {\n  expr {$user ne \"mallory\"}\n}", "set seen 10",
            "incr seen\nset __qor_priority High\nset __qor_seen $seen\nreturn [ok $User]");
        pScript->SetOwningRule(&m_Rule);
        m_Rule.SetScript(std::move(pScript));
        m_Handler.SetClock(FastClock);
        g_pAwaitingScripts = &m_Handler;
    }

    void TearDown() override {
        m_Handler.ShutDown();
        g_pAwaitingScripts = nullptr;
    }

    void HandOverRules() {
        auto pCopy = std::make_unique<RuleContainer>();
        pCopy->Add(&m_Rule);
        m_Handler.RegisterEngine(&m_Engine, 1);
        m_Handler.ReloadRuleContainer(&m_Engine, std::move(pCopy));
        // An engine whose rules could not be read hands over none; the
        // scripts of the others must go out all the same.
        m_Handler.RegisterEngine(&m_Idle, 1);
    }

    // Gives the rule `strName` the Validation script `pszValidation`.
    static void Script(TestRule& rule, const std::string& strName, const char* pszValidation) {
        rule.SetName(strName);
        rule.Enable(0);
        auto pScript = std::make_unique<RuleScript>(strName.c_str(), "", "", pszValidation);
        pScript->SetOwningRule(&rule);
        rule.SetScript(std::move(pScript));
    }

    // The same, for a rule whose alerts are dropped unless its script
    // validates them.
    static void RequiredScript(TestRule& rule, const std::string& strName, const char* pszValidation) {
        Script(rule, strName, pszValidation);
        rule.SetNeedTcl(true);
    }

    // Starts the handler on `rules` and waits until their scripts are with
    // the process and runs are taken.
    ::testing::AssertionResult StartWith(const std::vector<TestRule*>& rules) {
        auto pCopy = std::make_unique<RuleContainer>();
        for (TestRule* pRule : rules) {
            pCopy->Add(pRule);
        }
        m_Handler.RegisterEngine(&m_Engine, 1);
        m_Handler.ReloadRuleContainer(&m_Engine, std::move(pCopy));
        if (!m_Handler.Init((m_Directory.Path() + "/").c_str())) {
            return ::testing::AssertionFailure() << "Init failed";
        }
        if (!hwtest::WaitUntil(
                [&] {
                    return m_Handler.ScriptsInitialised() &&
                           !m_Handler.Queues().IsHeld(tclQueueSet::kRuns);
                },
                60)) {
            return ::testing::AssertionFailure() << "the scripts were not initialised";
        }
        return ::testing::AssertionSuccess();
    }

    // Each of `total` alerts counted from `before` to `after` was validated
    // (and reached the sensor: `reported`), or was dropped at a bound of its
    // rule that said so: a script process starved of the processors may hold
    // the store's lock past the time the values it set are taken back in.
    static void ExpectValidatedOrSaidDropped(const ScriptOutcomes::Counts& before,
                                             const ScriptOutcomes::Counts& after, uint64_t total,
                                             uint64_t reported) {
        const uint64_t qwValidated = after.m_qwValidated - before.m_qwValidated;
        const uint64_t qwDropped = after.m_qwDropped - before.m_qwDropped;
        EXPECT_EQ(total, qwValidated + qwDropped);
        EXPECT_EQ(reported, qwValidated);
        if (qwDropped != 0) {
            std::string said;
            for (const std::string& line : InputBounds::Instance().Describe()) {
                said += line + "\n";
            }
            EXPECT_NE(std::string::npos, said.find("Bound reached: script of rule ")) << said;
        }
    }

    // Queues `qwAlerts` validations of `rule` and shuts the handler down:
    // the alerts' outcomes before and after.  The answers take what the
    // process is given of the processors, however little a busy machine
    // leaves it, rather than a time: no run times out, and the process has
    // as long as it needs to answer at the shut-down.
    std::pair<ScriptOutcomes::Counts, ScriptOutcomes::Counts> ValidateThenShutDown(
        TestRule& rule, uint64_t qwAlerts) {
        const int32_t nTimeout = m_Handler.GetRequestTimeout();
        m_Handler.SetRequestTimeout(0);
        m_Handler.SetShutDownAnswerSeconds(3600);
        const ScriptOutcomes::Counts before = ScriptOutcomes::Instance().Snapshot();
        for (uint64_t n = 0; n < qwAlerts; ++n) {
            EXPECT_EQ(1u, m_Handler.QueueRun(rule.GetName(), "Validation", new TestRecord(&rule, 1)))
                << n;
        }
        m_Handler.ShutDown();
        m_Handler.SetRequestTimeout(nTimeout);
        m_Handler.SetShutDownAnswerSeconds(tclHandler::kShutDownAnswerSeconds);
        return {before, ScriptOutcomes::Instance().Snapshot()};
    }

    uint32_t Validate(const char* pszUser) {
        auto* pRecord = new CountedRecord(&m_Rule, m_nRecordsGone);
        pRecord->AddInfoPair("User", pszUser);
        uint32_t dwQueued = m_Handler.QueueRun("Scan", "Validation", pRecord);
        if (dwQueued == 0) {
            delete pRecord;
        }
        return dwQueued;
    }

    std::atomic<int> m_nRecordsGone{0};
    ScopedHostLog m_Log;
    FakeSensorCore m_Sensor;
    hwtest::ScratchDirectory m_Directory;
    TestRule m_Rule;
    TestEngine m_Engine;
    TestEngine m_Idle;
    tclHandler m_Handler;
};

}  // namespace

TEST_F(ScriptProcessTest, ValidationRunsInTheProcessAndSurvivesItsRestart) {
    HandOverRules();
    ASSERT_TRUE(m_Handler.Init((m_Directory.Path() + "/").c_str()));
    ASSERT_EQ(1u, Validate("mallory"));
    ASSERT_EQ(1u, Validate("alice"));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Sensor.ReportedCount() == 1; }, 60));
    // The rejected record is gone as well: nothing is pending at the kill.
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_nRecordsGone == 1; }, 30));

    auto reported = m_Sensor.TakeReported();
    std::string strValue;
    EXPECT_EQ(0, reported[0]->GetInfoPairValue("User", strValue));
    EXPECT_EQ("alice", strValue);
    EXPECT_EQ(1, reported[0]->m_wPriorityOverride);
    // The Initial script set the count; the first alert's run raised it.
    EXPECT_EQ(0, reported[0]->GetInfoPairValue("__qor_seen", strValue));
    EXPECT_EQ("12", strValue);

    const int nFirst = m_Handler.ProcessId();
    ASSERT_NE(0, nFirst);
    ASSERT_EQ(0, ::kill(nFirst, SIGKILL));
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return m_Handler.ProcessId() != 0 && m_Handler.ProcessId() != nFirst; }, 60));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Handler.ScriptsInitialised(); }, 30));
    ASSERT_EQ(1u, Validate("bob"));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Sensor.ReportedCount() == 1; }, 60))
        << "the new process did not get the scripts";
    reported = m_Sensor.TakeReported();
    EXPECT_EQ(0, reported[0]->GetInfoPairValue("__qor_seen", strValue));
    EXPECT_EQ("11", strValue) << "the new process did not run the Initial script";
    EXPECT_TRUE(m_Log.Contains("Started TclReplyHandler thread"));
    EXPECT_TRUE(m_Log.Contains(
        "1 registered engine(s) handed over no rules; their scripts are not sent"));
}

TEST_F(ScriptProcessTest, RunsAfterTheLastAllowedStartEndedAreRefusedNotHeld) {
    HandOverRules();
    m_Handler.SetRestartLimit(1);
    ASSERT_TRUE(m_Handler.Init((m_Directory.Path() + "/").c_str()));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Handler.ScriptsInitialised(); }, 60));
    const int nProcess = m_Handler.ProcessId();
    ASSERT_NE(0, nProcess);
    ASSERT_EQ(0, ::kill(nProcess, SIGKILL));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !m_Handler.IsRunning(); }, 60));
    // Nothing will send it: the engine keeps the record and reports or
    // drops it by its rule.
    EXPECT_EQ(0u, Validate("carol"));
}

// A stop (a reload) that comes while the process starts and its scripts
// wait for the engines to settle ends that start quietly: the process is
// told to exit, and neither its closed connection nor the stop is logged as
// a failure, nor the unsent scripts as initialised.
TEST_F(ScriptProcessTest, StopWhileTheProcessStartsIsNoFailureAndNoInitialisation) {
    // The process may end on the Exit command before the reply thread is
    // told to stop; the connection it closes is no failure.  (The handler
    // learns its directory from Init.)
    ASSERT_TRUE(m_Handler.Init((m_Directory.Path() + "/").c_str()));
    m_Handler.ShutDown();
    ASSERT_TRUE(m_Handler.StartProcess(1));
    const int nProcess = m_Handler.ProcessId();
    auto* pExit = new tclRequest;
    pExit->m_nCommandType = qorTclCommand::kExit;
    pExit->m_nAction = tclRequest::kSend;
    m_Handler.SendRequest(pExit);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return HasEnded(nProcess); }, 30));
    // The reply thread has the closed connection at once; what it makes of
    // it comes before the stop.
    hwtest::WaitUntil([&] { return m_Log.Contains("Socket error"); }, 0.5);
    m_Handler.StopProcess();

    // A reload while the engines settle (on the wall clock, so the stop
    // surely comes within that time); as at a reload, the engines hand over
    // their rules before each start.
    m_Handler.SetClock([] { return static_cast<int64_t>(::time(nullptr)); });
    HandOverRules();
    ASSERT_TRUE(m_Handler.Init((m_Directory.Path() + "/").c_str()));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Handler.ProcessId() != 0; }, 30));
    m_Handler.ShutDown();
    ASSERT_EQ(0, m_Handler.ProcessId());
    m_Handler.SetClock(FastClock);
    HandOverRules();
    ASSERT_TRUE(m_Handler.Init((m_Directory.Path() + "/").c_str()));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Handler.ScriptsInitialised(); }, 60));
    ASSERT_EQ(1u, Validate("alice"));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Sensor.ReportedCount() == 1; }, 60));

    int nCompleted = 0;
    for (const LoggedLine& line : m_Log.m_Services.Lines()) {
        // The thread's end is given at the error level whatever ended it.
        EXPECT_TRUE(line.dwLevel != static_cast<uint32_t>(kCSFLogError) ||
                    line.text == "TclHandler exiting...")
            << line.text;
        nCompleted += line.text == "Completed tcl script initialization!" ? 1 : 0;
    }
    EXPECT_EQ(1, nCompleted);
}

// The process is watched, not only its connection: a process that ends
// while a program it left behind keeps the connection open is still
// noticed, reported with how it ended, and counted against the restarts.
TEST_F(ScriptProcessTest, ProcessThatEndsIsNoticedWhileItsConnectionStaysOpen) {
    const std::string strProgram = m_Directory.File("tclProc.exe");
    const std::string strLeftOver = m_Directory.File("leftover.pid");
    std::filesystem::remove(strProgram);
    hwtest::WriteWholeFile(strProgram,
                           "#!/bin/sh\nsleep 60 &\necho $! > '" + strLeftOver + "'\nexit 3\n");
    std::filesystem::permissions(strProgram, std::filesystem::perms::owner_all);
    HandOverRules();
    m_Handler.SetRestartLimit(1);
    ASSERT_TRUE(m_Handler.Init((m_Directory.Path() + "/").c_str()));
    const bool bNoticed = hwtest::WaitUntil([&] { return !m_Handler.IsRunning(); }, 20);
    const std::string strPid = hwtest::ReadWholeFile(strLeftOver);
    if (!strPid.empty()) {
        ::kill(std::stoi(strPid), SIGKILL);
    }
    ASSERT_TRUE(bNoticed) << "the handler still waits on a process that has ended";
    bool bReported = false;
    for (const std::string& strText : m_Log.m_Services.Texts()) {
        bReported = bReported || (strText.rfind("TclProc ", 0) == 0 &&
                                  strText.find(" ended (exit code 3)") != std::string::npos);
    }
    EXPECT_TRUE(bReported);
}

// While the runs wait for a process that takes the scripts and never
// answers, the queue fills: a run it refuses leaves the record with the
// engine, with the line a full table of waiting runs gives; the runs it
// holds are passed on unvalidated, and counted so, when the process is
// stopped.
// A process that never takes its scripts: the runs queued for it wait for
// it, as many as the queue holds while a process is started, and those past
// that are said, counted as the bound's, and said again with their count
// when the handler ends.
TEST_F(ScriptProcessTest, RunsRefusedAtAFullQueueAreSaidAndTheQueuedOnesCounted) {
    const std::string strProgram = m_Directory.File("tclProc.exe");
    std::filesystem::remove(strProgram);
    hwtest::WriteWholeFile(strProgram, "#!/bin/sh\nexec sleep 60\n");
    std::filesystem::permissions(strProgram, std::filesystem::perms::owner_all);
    HandOverRules();
    std::optional<FreezeOnceScriptsAreOut> frozen(std::in_place, m_Handler);
    ASSERT_TRUE(m_Handler.Init((m_Directory.Path() + "/").c_str()));
    // The scripts are out and unanswered: the runs are held (20 s, on a
    // clock that stands still meanwhile) behind them.
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] {
            return m_Handler.ScriptsInitialised() && m_Handler.Queues().IsHeld(tclQueueSet::kRuns);
        },
        60));
    const ScriptOutcomes::Counts before = ScriptOutcomes::Instance().Snapshot();
    for (uint32_t n = 0; n < tclHandler::kStartQueueSize; ++n) {
        ASSERT_EQ(1u, Validate("alice")) << n;
    }
    EXPECT_EQ(0u, Validate("bob"));
    ASSERT_TRUE(m_Handler.Queues().IsHeld(tclQueueSet::kRuns)) << "the hold ended too soon";
    EXPECT_TRUE(
        m_Log.Contains("Too many pending tcl requests. Event Scan reported without validation"));
    EXPECT_TRUE(m_Log.Contains(
        "Bound reached: script of rule Scan: at most 16384 runs queued for the script process "
        "while it is started, the alerts past it go on unvalidated; 1 alert left out (said again "
        "at most once a minute while it lasts)"));

    frozen.reset();
    m_Handler.ShutDown();
    const ScriptOutcomes::Counts after = ScriptOutcomes::Instance().Snapshot();
    EXPECT_EQ(before.m_qwUnvalidated + tclHandler::kStartQueueSize, after.m_qwUnvalidated);
    EXPECT_EQ(before.m_qwDropped, after.m_qwDropped);
    EXPECT_EQ(tclHandler::kStartQueueSize, m_Sensor.ReportedCount());
    EXPECT_TRUE(m_Log.Contains(
        "Rule scripts: 1 alert came while the script process was started and found the 16384 "
        "runs queued for it full: 1 goes on unvalidated, 0 are dropped (their rule requires its "
        "script)"));
}

// Alerts of a rule that requires its script, raised faster than the
// process answers while it is being started (a reload's, say): they wait
// for it, beyond the queue's size and the table of runs waiting for an
// answer, and each is validated once.  Then the queue holds its own size
// again.  (They found room for 512 and were dropped past that.)
TEST_F(ScriptProcessTest, RunsQueuedWhileTheProcessStartsWaitForItEachValidated) {
    m_Rule.SetNeedTcl(true);
    // The engine without rules has the handler pause before it starts the
    // process: the runs below are queued before the process runs.
    HandOverRules();
    ASSERT_TRUE(m_Handler.Init((m_Directory.Path() + "/").c_str()));
    const ScriptOutcomes::Counts before = ScriptOutcomes::Instance().Snapshot();
    constexpr int kAlerts = 2000;
    for (int n = 0; n < kAlerts; ++n) {
        ASSERT_EQ(1u, Validate("alice")) << n;
    }
    EXPECT_TRUE(m_Handler.IsCatchingUp());
    // Each alert is validated, or dropped at a bound of its rule that says
    // so: a script process starved of the processors can hold the store's
    // lock past the time its values are taken back in.
    const auto dropped = [&] { return ScriptOutcomes::Instance().Snapshot().m_qwDropped - before.m_qwDropped; };
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return m_Sensor.ReportedCount() + dropped() == static_cast<size_t>(kAlerts); }, 100));
    ExpectValidatedOrSaidDropped(before, ScriptOutcomes::Instance().Snapshot(), kAlerts, m_Sensor.ReportedCount());
    EXPECT_TRUE(hwtest::WaitUntil([&] { return !m_Handler.IsCatchingUp(); }, 10));
    EXPECT_EQ(tclHandler::kDefaultQueueSize,
              m_Handler.Queues().Queue(tclQueueSet::kRuns).GetCapacity());
}

// Alerts queued while the process starts, more than a script slower than
// them answers within the catch-up's time: those still queued when the
// catch-up ends keep waiting for the answers to make room, and each is
// validated once.  (They went out into a table still full of the runs sent
// ahead of them, and were dropped there at once.)
TEST_F(ScriptProcessTest, RunsStillQueuedWhenTheCatchUpEndsWaitForTheProcess) {
    TestRule slow;
    RequiredScript(slow, "Slow", "after 5\nreturn 1");
    auto pCopy = std::make_unique<RuleContainer>();
    pCopy->Add(&slow);
    m_Handler.RegisterEngine(&m_Engine, 1);
    m_Handler.ReloadRuleContainer(&m_Engine, std::move(pCopy));
    // The engine without rules has the handler pause before it starts the
    // process: the runs below are queued before the process runs.
    m_Handler.RegisterEngine(&m_Idle, 1);
    ASSERT_TRUE(m_Handler.Init((m_Directory.Path() + "/").c_str()));
    const ScriptOutcomes::Counts before = ScriptOutcomes::Instance().Snapshot();
    // Two hundred a second at most: half of them still wait when the
    // catch-up ends, however fast the machine.
    constexpr uint64_t kAlerts = 2 * 200 * static_cast<uint64_t>(tclHandler::kCatchUpSeconds);
    for (uint64_t n = 0; n < kAlerts; ++n) {
        auto* pRecord = new TestRecord(&slow, 1);
        ASSERT_EQ(1u, m_Handler.QueueRun("Slow", "Validation", pRecord)) << n;
    }
    ASSERT_TRUE(m_Handler.IsCatchingUp());
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !m_Handler.IsCatchingUp(); }, 120));
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] {
            const ScriptOutcomes::Counts now = ScriptOutcomes::Instance().Snapshot();
            return now.m_qwValidated + now.m_qwDropped - before.m_qwValidated - before.m_qwDropped >=
                   kAlerts;
        },
        120));
    ExpectValidatedOrSaidDropped(before, ScriptOutcomes::Instance().Snapshot(), kAlerts, m_Sensor.ReportedCount());
    EXPECT_FALSE(m_Log.Contains("Too many pending tcl requests"));
}

// A flood of alerts that keeps the queue of runs from ever emptying, for a
// script slower than the flood and a host slow enough that the handler
// never catches up: the runs the handler takes still go out within
// milliseconds, so the share the process can answer is validated while the
// flood lasts, and the rest is passed on unvalidated and counted.  The
// handler's clock stands still once the scripts are out, and the flood
// lasts until the process has answered (at least 3 s): a process that a
// busy machine leaves without a processor for seconds is not taken for one
// that never answers its scripts.
TEST_F(ScriptProcessTest, RunsGoOutDuringAFloodThatNeverEmptiesTheQueue) {
    TestRule slow;
    Script(slow, "Slow", "after 2\nreturn 1");
    FreezeOnceScriptsAreOut frozen(m_Handler);
    ASSERT_TRUE(StartWith({&slow}));
    m_Sensor.m_nDeliveryMicros = 1000;
    {
        std::lock_guard<std::mutex> guard(m_Sensor.m_lock);
        m_Sensor.m_bSinkAccepts = false;
    }

    const ScriptOutcomes::Counts before = ScriptOutcomes::Instance().Snapshot();
    uint64_t qwTaken = 0;
    uint64_t qwValidatedInFlood = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto least = start + std::chrono::seconds(3);
    const auto most = start + std::chrono::seconds(120);
    for (auto now = start; now < most && (now < least || qwValidatedInFlood == 0);
         now = std::chrono::steady_clock::now()) {
        // Topped up to its capacity far more often than the handler can
        // take one run, so the handler never finds the queue empty.
        while (m_Handler.Queues().Queue(tclQueueSet::kRuns).Size() < tclHandler::kDefaultQueueSize) {
            auto* pRecord = new TestRecord(&slow, 1);
            if (m_Handler.QueueRun("Slow", "Validation", pRecord) == 0) {
                delete pRecord;
                break;
            }
            ++qwTaken;
        }
        qwValidatedInFlood =
            ScriptOutcomes::Instance().Snapshot().m_qwValidated - before.m_qwValidated;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    const uint64_t qwLeftInQueue = m_Handler.Queues().Queue(tclQueueSet::kRuns).Size();
    std::printf("%" PRIu64 " runs taken in %.1f s, %" PRIu64 " validated while the flood lasted\n", qwTaken,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                qwValidatedInFlood);
    EXPECT_GT(qwLeftInQueue, 0u) << "the queue emptied: the flood proves nothing";
    EXPECT_GT(qwValidatedInFlood, 0u) << "no run went out while the queue held runs";
    m_Sensor.m_nDeliveryMicros = 0;
    m_Handler.ShutDown();
    const ScriptOutcomes::Counts after = ScriptOutcomes::Instance().Snapshot();
    // Every run the queue took was validated or passed on, none lost.
    EXPECT_EQ(qwTaken, (after.m_qwValidated - before.m_qwValidated) +
                           (after.m_qwUnvalidated - before.m_qwUnvalidated));
}

// Alerts waiting for their validation when the handler shuts down (a
// reload, a stop), queued or already sent, are answered by the process
// before it is ended: each is validated, none dropped though their rule
// requires its script.  A script that does not answer in time leaves the
// rest to be dropped, said on the console and counted.
TEST_F(ScriptProcessTest, AlertsWaitingAtAShutDownAreValidatedBeforeTheProcessEnds) {
    TestRule slow;
    RequiredScript(slow, "Slow", "after 5\nreturn 1");
    ASSERT_TRUE(StartWith({&slow}));
    constexpr uint64_t kAlerts = 40;
    const auto [before, after] = ValidateThenShutDown(slow, kAlerts);
    ExpectValidatedOrSaidDropped(before, after, kAlerts, m_Sensor.ReportedCount());

    TestRule stuck;
    RequiredScript(stuck, "Stuck", "after 60000\nreturn 1");
    ASSERT_TRUE(StartWith({&stuck}));
    for (int n = 0; n < 2; ++n) {
        ASSERT_EQ(1u, m_Handler.QueueRun("Stuck", "Validation", new TestRecord(&stuck, 1))) << n;
    }
    const auto shutDown = std::chrono::steady_clock::now();
    m_Handler.ShutDown();
    EXPECT_LT(std::chrono::steady_clock::now() - shutDown,
              std::chrono::seconds(tclHandler::kShutDownAnswerSeconds + 10));
    EXPECT_EQ(after.m_qwDropped + 2, ScriptOutcomes::Instance().Snapshot().m_qwDropped);
    EXPECT_TRUE(m_Log.Contains("Rule scripts: 2 alerts were still waiting for their validation when the script "
                               "process was ended, 3 s after it was told to end: 0 go on unvalidated, 2 are "
                               "dropped (their rule requires its script)"));
}

// A process that ends by itself (killed) with runs still waiting for its
// answer: their alerts are dropped, as their rule requires its script, and
// said with their count, as at a shut-down.
TEST_F(ScriptProcessTest, AlertsWaitingWhenTheProcessDiesAreSaidAsDropped) {
    TestRule stuck;
    RequiredScript(stuck, "Stuck", "after 60000\nreturn 1");
    ASSERT_TRUE(StartWith({&stuck}));
    const uint64_t qwDroppedBefore = ScriptOutcomes::Instance().Snapshot().m_qwDropped;
    for (int n = 0; n < 2; ++n) {
        ASSERT_EQ(1u, m_Handler.QueueRun("Stuck", "Validation", new TestRecord(&stuck, 1))) << n;
    }
    // Both went out to the process before it dies.
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Handler.Queues().Queue(tclQueueSet::kRuns).Size() == 0; }, 30));
    const int nProcess = m_Handler.ProcessId();
    ASSERT_NE(0, nProcess);
    ASSERT_EQ(0, ::kill(nProcess, SIGKILL));
    const std::string strSaid =
        "Rule scripts: 2 alerts were still waiting for their validation when the script process ended: 0 go on "
        "unvalidated, 2 are dropped (their rule requires its script)";
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Log.Contains(strSaid); }, 60));
    EXPECT_EQ(qwDroppedBefore + 2, ScriptOutcomes::Instance().Snapshot().m_qwDropped);
    m_Handler.ShutDown();
}

// An alert raised by an answer the process gives before it ends (a
// correlation rule with a script, fired by a validated alert) is answered
// before it ends too, rather than refused as if nothing took runs any more.
TEST_F(ScriptProcessTest, AlertRaisedByAnAnswerAtAShutDownIsValidatedBeforeTheProcessEnds) {
    TestRule slow;
    RequiredScript(slow, "Slow", "after 5\nreturn 1");
    TestRule raised;
    RequiredScript(raised, "Raised", "return 1");
    RaisingSensor sensor(m_Handler, slow, raised);
    ASSERT_TRUE(StartWith({&slow, &raised}));
    constexpr uint64_t kAlerts = 10;
    const auto [before, after] = ValidateThenShutDown(slow, kAlerts);
    EXPECT_EQ(0, sensor.m_nRefused.load());
    ExpectValidatedOrSaidDropped(before, after, 2 * kAlerts, sensor.ReportedCount());
}

// The shut-down given while the handler hands on a validated alert, before
// its loop has seen the shut-down: an alert that hand-on raises is still
// answered before the process ends, not refused as if the process were
// gone.
TEST_F(ScriptProcessTest, AlertRaisedWhileTheShutDownIsGivenIsValidatedBeforeTheProcessEnds) {
    TestRule first;
    RequiredScript(first, "First", "return 1");
    TestRule raised;
    RequiredScript(raised, "Raised", "return 1");
    // The first validated alert gives the shut-down from a thread of its
    // own and raises its alert once the shut-down is given.
    std::thread shutDown;
    std::atomic<bool> bShutDownGiven{false};
    std::atomic<bool> bStarted{false};
    RaisingSensor sensor(m_Handler, first, raised, [&] {
        if (!bStarted) {
            shutDown = std::thread([&] { m_Handler.ShutDown(); });
            bStarted = true;
            bShutDownGiven = hwtest::WaitUntil([&] { return !m_Handler.IsRunningFlagSet(); }, 60);
        }
    });
    struct Joiner {
        std::thread& m_Thread;
        ~Joiner() {
            if (m_Thread.joinable()) {
                m_Thread.join();
            }
        }
    } joiner{shutDown};
    ASSERT_TRUE(StartWith({&first, &raised}));
    m_Handler.SetRequestTimeout(0);
    m_Handler.SetShutDownAnswerSeconds(3600);
    const ScriptOutcomes::Counts before = ScriptOutcomes::Instance().Snapshot();
    ASSERT_EQ(1u, m_Handler.QueueRun(first.GetName(), "Validation", new TestRecord(&first, 1)));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return bStarted.load(); }, 120));
    shutDown.join();
    m_Handler.SetShutDownAnswerSeconds(tclHandler::kShutDownAnswerSeconds);
    EXPECT_TRUE(bShutDownGiven.load());
    EXPECT_EQ(0, sensor.m_nRefused.load());
    ExpectValidatedOrSaidDropped(before, ScriptOutcomes::Instance().Snapshot(), 2, sensor.ReportedCount());
}

// More scripts than the request queue holds, as a policy with many
// scripted rules has: every one reaches the process, so the last rule's
// alerts are validated by its own script.
TEST_F(ScriptProcessTest, EveryScriptReachesTheProcessWhateverTheirNumber) {
    constexpr size_t kRules = tclHandler::kDefaultQueueSize + 100;
    std::vector<std::unique_ptr<TestRule>> rules;
    std::vector<TestRule*> handedOver;
    for (size_t n = 0; n < kRules; ++n) {
        rules.push_back(std::make_unique<TestRule>());
        RequiredScript(*rules.back(), "R" + std::to_string(n), "return 1");
        handedOver.push_back(rules.back().get());
    }
    ASSERT_TRUE(StartWith(handedOver));
    const ScriptOutcomes::Counts before = ScriptOutcomes::Instance().Snapshot();
    TestRule& last = *rules.back();
    auto* pRecord = new TestRecord(&last, 1);
    ASSERT_EQ(1u, m_Handler.QueueRun(last.GetName(), "Validation", pRecord));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Sensor.ReportedCount() == 1; }, 30))
        << "the last rule's alert was dropped: its script never reached the process";
    EXPECT_EQ(before.m_qwValidated + 1, ScriptOutcomes::Instance().Snapshot().m_qwValidated);
    m_Handler.ShutDown();
}

// A script whose answer is far longer than a line may be: the reply is cut
// to fit, so the sensor reads it as one reply and nothing of it as lines
// of its own.
TEST_F(ScriptProcessTest, LongAnswerIsCutToOneReplyLine) {
    TestRule wordy;
    Script(wordy, "Wordy", "string repeat x 100000");
    ASSERT_TRUE(StartWith({&wordy}));
    const ScriptOutcomes::Counts before = ScriptOutcomes::Instance().Snapshot();
    for (int n = 0; n < 3; ++n) {
        auto* pRecord = new TestRecord(&wordy, 1);
        ASSERT_EQ(1u, m_Handler.QueueRun("Wordy", "Validation", pRecord));
    }
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Sensor.ReportedCount() == 3; }, 30));
    EXPECT_EQ(before.m_qwValidated + 3, ScriptOutcomes::Instance().Snapshot().m_qwValidated);
    m_Handler.ShutDown();
    EXPECT_EQ(0u, m_Log.m_Services.CountStartingWith("Error, "));
}
