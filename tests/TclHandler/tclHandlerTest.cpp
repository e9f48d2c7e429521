#include "TclHandler/tclHandler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Common/AgentEventInfo.h"
#include "Common/FakeSensorCore.h"
#include "Common/InputBounds.h"
#include "Common/ScriptOutcomes.h"
#include "Common/TestEngine.h"
#include "qorToolsLib/SharedMemoryStore.h"
#include "support/ManualReportTime.h"
#include "support/TestUtil.h"

namespace {

// The process's counts of what became of scripted alerts, taken when made;
// differences of two say what happened in between.
struct Outcomes {
    Outcomes() : m_counts(ScriptOutcomes::Instance().Snapshot()) {}
    explicit Outcomes(const ScriptOutcomes::Counts& counts) : m_counts(counts) {}

    static Outcomes Only(ScriptOutcome outcome) {
        ScriptOutcomes::Counts counts;
        switch (outcome) {
            case ScriptOutcome::kValidated:
                counts.m_qwValidated = 1;
                break;
            case ScriptOutcome::kRejected:
                counts.m_qwRejected = 1;
                break;
            case ScriptOutcome::kUnvalidated:
                counts.m_qwUnvalidated = 1;
                break;
            case ScriptOutcome::kDropped:
                counts.m_qwDropped = 1;
                break;
        }
        return Outcomes(counts);
    }
    Outcomes operator-(const Outcomes& other) const {
        return Outcomes({m_counts.m_qwValidated - other.m_counts.m_qwValidated,
                         m_counts.m_qwRejected - other.m_counts.m_qwRejected,
                         m_counts.m_qwUnvalidated - other.m_counts.m_qwUnvalidated,
                         m_counts.m_qwDropped - other.m_counts.m_qwDropped});
    }
    Outcomes operator+(const Outcomes& other) const {
        return Outcomes({m_counts.m_qwValidated + other.m_counts.m_qwValidated,
                         m_counts.m_qwRejected + other.m_counts.m_qwRejected,
                         m_counts.m_qwUnvalidated + other.m_counts.m_qwUnvalidated,
                         m_counts.m_qwDropped + other.m_counts.m_qwDropped});
    }
    bool operator==(const Outcomes& other) const {
        return ScriptOutcomes::Describe(m_counts) == ScriptOutcomes::Describe(other.m_counts);
    }
    friend std::ostream& operator<<(std::ostream& out, const Outcomes& outcomes) {
        return out << ScriptOutcomes::Describe(outcomes.m_counts);
    }

    ScriptOutcomes::Counts m_counts;
};

// A handler on a store of its own, driven step by step on the test's
// thread: requests are sent (to no process) and replies handed in.
class ScriptHandlerTest : public ::testing::Test {
protected:
    ScriptHandlerTest() : m_Handler(StoreName().c_str()) {
        InputBounds::Instance().ForgetForTest();
        m_Handler.SetClock([this] { return m_tNow; });
        m_Rule.SetName("Scan");
        m_ScriptedRule.SetName("Must");
        m_ScriptedRule.SetNeedTcl(true);
    }

    static std::string StoreName() { return "tclProc.test." + std::to_string(::getpid()); }

    // A Validation run of the rule sent as the handler thread sends it;
    // its transaction id.
    // The record has `nUsers` "User" pairs: a value is at most
    // AgentEventInfo::kMaxInfoValueBytes, so only many of them fill the store.
    int32_t SendValidation(Rule& rule, const char* pszPriority = "Low",
                           const std::string& strUser = "root", size_t nUsers = 1) {
        auto* pRequest = new tclRequest;
        pRequest->m_nAction = tclRequest::kSend;
        pRequest->m_nCommandType = qorTclCommand::kRun;
        pRequest->m_nScriptType = qorTclCommand::kValidation;
        pRequest->m_strName = rule.GetName();
        pRequest->m_pRule = &rule;
        pRequest->m_pRecord = std::make_unique<TestRecord>(&rule, 1);
        for (size_t n = 0; n < nUsers; ++n) {
            pRequest->m_pRecord->AddInfoPair("User", strUser);
        }
        pRequest->m_pRecord->AddScriptVariable("__qor_priority", pszPriority);
        m_Handler.SendRequest(pRequest);
        int32_t nNewest = 0;
        for (const auto& [name, pPending] : m_Handler.Pending()) {
            nNewest = std::max(nNewest, pPending->m_nTransactionId);
        }
        return nNewest;
    }

    void Reply(const std::string& strName, int32_t nTransactionId, int32_t nReturnType,
               const std::string& strText) {
        auto* pReply = new tclRequest;
        pReply->m_nAction = tclRequest::kReply;
        pReply->m_nCommandType = qorTclCommand::kRun;
        pReply->m_nScriptType = qorTclCommand::kValidation;
        pReply->m_nRuleId = m_Handler.RuleId(strName);
        pReply->m_nTransactionId = nTransactionId;
        pReply->m_nReturnType = nReturnType;
        pReply->m_strText = strText;
        m_Handler.HandleReply(pReply);
    }

    // Whether a line of exactly this text was logged at this level.
    bool LoggedAt(const std::string& strText, uint32_t dwLevel) {
        for (const LoggedLine& line : m_Log.m_Services.Lines()) {
            if (line.text == strText && line.dwLevel == dwLevel) {
                return true;
            }
        }
        return false;
    }

    ScopedHostLog m_Log;
    FakeSensorCore m_Sensor;
    tclHandler m_Handler;
    TestRule m_Rule;
    TestRule m_ScriptedRule;
    int64_t m_tNow = 1000;
};

}  // namespace

TEST_F(ScriptHandlerTest, QueueSizeBelowTheDefaultIsRaisedToIt) {
    EXPECT_EQ(512u, m_Handler.SetRequestQueueSize(100));
    EXPECT_EQ(512u, m_Handler.SetRequestQueueSize(512));
    EXPECT_EQ(513u, m_Handler.SetRequestQueueSize(513));
}

TEST_F(ScriptHandlerTest, OnlyAnAcceptingValidationAnswerReportsTheRecord) {
    ASSERT_TRUE(m_Handler.OpenStore());
    // What each answer counts as: a failed script validated nothing.
    const struct {
        int32_t nReturnType;
        const char* pszText;
        bool bReported;
        ScriptOutcome outcome;
    } cases[] = {
        {qorTclCommand::kTrue, "1", true, ScriptOutcome::kValidated},
        {qorTclCommand::kTrue, "", true, ScriptOutcome::kValidated},
        {qorTclCommand::kTrue, "0", false, ScriptOutcome::kRejected},
        {qorTclCommand::kTrue, "FALSE", false, ScriptOutcome::kRejected},
        {qorTclCommand::kFalse, "x", false, ScriptOutcome::kRejected},
        {qorTclCommand::kError, "oops", true, ScriptOutcome::kUnvalidated},
    };
    for (const auto& c : cases) {
        const size_t nBefore = m_Sensor.ReportedCount();
        const Outcomes before;
        int32_t nId = SendValidation(m_Rule);
        ASSERT_NE(0, nId);
        Reply("Scan", nId, c.nReturnType, c.pszText);
        EXPECT_EQ(c.bReported ? nBefore + 1 : nBefore, m_Sensor.ReportedCount()) << c.pszText;
        EXPECT_EQ(Outcomes::Only(c.outcome), Outcomes() - before) << c.pszText;
        EXPECT_EQ(0u, m_Handler.PendingCount());
        std::vector<std::string> labels;
        std::vector<std::string> values;
        EXPECT_FALSE(m_Handler.Store()->GetSection(static_cast<uint32_t>(nId), labels, values))
            << "the section outlived its reply";
    }
    // A rule that requires its script drops the record when the script fails.
    const Outcomes before;
    int32_t nId = SendValidation(m_ScriptedRule);
    Reply("Must", nId, qorTclCommand::kError, "oops");
    EXPECT_TRUE(m_Log.Contains("<Must RUN Validation> failed: oops"));
    EXPECT_EQ(3u, m_Sensor.ReportedCount());
    EXPECT_EQ(Outcomes::Only(ScriptOutcome::kDropped), Outcomes() - before);
}

// A failed run's error text is no verdict, even when it reads like one.
TEST_F(ScriptHandlerTest, FailedRunWhoseErrorReadsLikeARejectionPassesTheRecordOn) {
    ASSERT_TRUE(m_Handler.OpenStore());
    const Outcomes before;
    const int32_t nId = SendValidation(m_Rule);
    ASSERT_NE(0, nId);
    Reply("Scan", nId, qorTclCommand::kError, "0");
    EXPECT_EQ(1u, m_Sensor.ReportedCount());
    EXPECT_EQ(Outcomes::Only(ScriptOutcome::kUnvalidated), Outcomes() - before);
}

TEST_F(ScriptHandlerTest, VariablesTheScriptSetComeBackAndSetThePriority) {
    ASSERT_TRUE(m_Handler.OpenStore());
    int32_t nId = SendValidation(m_Rule);
    std::string strUser;
    ASSERT_TRUE(m_Handler.Store()->GetValue(static_cast<uint32_t>(nId), "User", strUser));
    EXPECT_EQ("root", strUser);
    // What the script process writes back.
    m_Handler.Store()->SetSection(static_cast<uint32_t>(nId), "__qor_priority", "Medium");
    m_Handler.Store()->SetSection(static_cast<uint32_t>(nId), "__qor_verdict", "bad");
    Reply("Scan", nId, qorTclCommand::kTrue, "1");

    nId = SendValidation(m_Rule, "Low");
    m_Handler.Store()->SetSection(static_cast<uint32_t>(nId), "__qor_priority", "medium");
    Reply("Scan", nId, qorTclCommand::kTrue, "1");

    auto reported = m_Sensor.TakeReported();
    ASSERT_EQ(2u, reported.size());
    EXPECT_EQ(2, reported[0]->m_wPriorityOverride);
    std::string strVerdict;
    EXPECT_EQ(0, reported[0]->GetInfoPairValue("__qor_verdict", strVerdict));
    EXPECT_EQ("bad", strVerdict);
    size_t nPriorities = 0;
    for (const InfoPair& pair : reported[0]->GetScriptVariables()) {
        nPriorities += pair.m_strName == "__qor_priority" ? 1 : 0;
    }
    EXPECT_EQ(1u, nPriorities) << "a variable read back was doubled";
    EXPECT_EQ(AgentEventInfo::kNoPriorityOverride, reported[1]->m_wPriorityOverride);
}

// The store ends a value at its first NUL: a value with one (a byte of a
// datagram) reaches the script with it as U+FFFD and whole.
// What the script set comes back through the alert's section; a section
// that cannot be taken back (its lock not had in time on a busy machine,
// here taken away) leaves the alert without its script's outcome: it is
// not passed on as validated, but fares as after a failed run.
TEST_F(ScriptHandlerTest, AcceptedAlertWhoseSectionCannotBeTakenBackIsNotValidated) {
    ASSERT_TRUE(m_Handler.OpenStore());
    const struct {
        TestRule* pRule;
        bool bReported;
        ScriptOutcome outcome;
    } cases[] = {
        {&m_ScriptedRule, false, ScriptOutcome::kDropped},
        {&m_Rule, true, ScriptOutcome::kUnvalidated},
    };
    for (const auto& c : cases) {
        const size_t nBefore = m_Sensor.ReportedCount();
        const Outcomes before;
        const int32_t nId = SendValidation(*c.pRule);
        ASSERT_NE(0, nId);
        ASSERT_TRUE(m_Handler.Store()->RemoveId(static_cast<uint32_t>(nId)));
        Reply(c.pRule->GetName(), nId, qorTclCommand::kTrue, "1");
        EXPECT_EQ(c.bReported ? nBefore + 1 : nBefore, m_Sensor.ReportedCount()) << c.pRule->GetName();
        EXPECT_EQ(Outcomes::Only(c.outcome), Outcomes() - before) << c.pRule->GetName();
        EXPECT_EQ(0u, m_Handler.PendingCount());
    }
}

TEST_F(ScriptHandlerTest, ValueWithANulReachesTheScriptWhole) {
    ASSERT_TRUE(m_Handler.OpenStore());
    const int32_t nId = SendValidation(m_Rule, "Low", std::string("ro\0ot", 5));
    std::vector<std::string> labels;
    std::vector<std::string> values;
    ASSERT_TRUE(m_Handler.Store()->GetSection(static_cast<uint32_t>(nId), labels, values));
    size_t nUsers = 0;
    for (size_t n = 0; n < labels.size(); ++n) {
        if (labels[n] == "User") {
            EXPECT_EQ("ro\xEF\xBF\xBDot", values[n]);
            ++nUsers;
        }
    }
    EXPECT_EQ(1u, nUsers);
    Reply("Scan", nId, qorTclCommand::kTrue, "1");
}

TEST_F(ScriptHandlerTest, RepliesWithoutANameOrAPendingRequestAreDiscarded) {
    Reply("Scan", 5, qorTclCommand::kTrue, "1");
    auto* pUnknown = new tclRequest;
    pUnknown->m_nCommandType = qorTclCommand::kRun;
    pUnknown->m_nRuleId = 99;
    m_Handler.HandleReply(pUnknown);
    EXPECT_TRUE(m_Log.Contains("Can't find a name for Rid 99"));
    EXPECT_EQ(0u, m_Sensor.ReportedCount());
}

TEST_F(ScriptHandlerTest, FullPendingTableReportsOrDropsByTheRulesNeedForItsScript) {
    ASSERT_TRUE(m_Handler.OpenStore());
    for (int i = 0; i < 512; ++i) {
        ASSERT_NE(0, SendValidation(m_ScriptedRule));
    }
    ASSERT_EQ(512u, m_Handler.PendingCount());
    const Outcomes before;
    SendValidation(m_Rule);
    SendValidation(m_ScriptedRule);
    EXPECT_EQ(512u, m_Handler.PendingCount());
    EXPECT_EQ(1u, m_Sensor.ReportedCount());
    EXPECT_EQ(Outcomes::Only(ScriptOutcome::kUnvalidated) + Outcomes::Only(ScriptOutcome::kDropped),
              Outcomes() - before);
    EXPECT_TRUE(m_Log.Contains("Too many pending tcl requests. Event Scan reported without validation"));
    EXPECT_TRUE(m_Log.Contains("Too many pending tcl requests. Event Must dropped"));
    // The bound each rule reached is said on the console too, naming the
    // rule, and listed with what it left out.
    const std::string strTable = "at most 512 runs waiting for the script process's answer";
    EXPECT_TRUE(LoggedAt("Bound reached: script of rule Scan: " + strTable +
                             ", the alerts past it go on unvalidated; 1 alert left out (said "
                             "again at most once a minute while it lasts)",
                         kCSFLogWarning | kCSFLogConsoleFlag));
    EXPECT_EQ(InputBounds::Instance().Describe(),
              (std::vector<std::string>{
                  "Bound reached: script of rule Scan: " + strTable +
                      ", the alerts past it go on unvalidated; 1 alert left out",
                  "Bound reached: script of rule Must: " + strTable +
                      ", the alerts past it are dropped (the rule requires its script); 1 "
                      "alert left out"}));
}

// An alert whose values find no room in the store is not run without them
// (its script would judge an alert it cannot see): it fares as one that
// finds the table full, and its section leaves nothing behind.
TEST_F(ScriptHandlerTest, AlertWhoseValuesFindNoRoomInTheStoreIsNotRunWithoutThem) {
    ASSERT_TRUE(m_Handler.OpenStore());
    const uint32_t nFreeBlocks = m_Handler.Store()->FreeBlockCount();
    const Outcomes before;
    const std::string strLong(AgentEventInfo::kMaxInfoValueBytes, 'x');
    const size_t nHuge = 2 * tclHandler::kStoreSize / strLong.size();
    SendValidation(m_Rule, "Low", strLong, nHuge);
    SendValidation(m_ScriptedRule, "Low", strLong, nHuge);
    EXPECT_EQ(0u, m_Handler.PendingCount());
    EXPECT_EQ(1u, m_Sensor.ReportedCount());
    EXPECT_EQ(Outcomes::Only(ScriptOutcome::kUnvalidated) + Outcomes::Only(ScriptOutcome::kDropped),
              Outcomes() - before);
    EXPECT_TRUE(
        m_Log.Contains("Too many pending tcl requests. Event Scan reported without validation"));
    EXPECT_TRUE(m_Log.Contains("Too many pending tcl requests. Event Must dropped"));
    EXPECT_EQ(nFreeBlocks, m_Handler.Store()->FreeBlockCount());
    const std::vector<std::string> bounds = InputBounds::Instance().Describe();
    ASSERT_EQ(2u, bounds.size());
    EXPECT_EQ("Bound reached: script of rule Scan: the values of the alerts waiting for their "
              "script fill the store " + StoreName() + " (1048640 bytes), the alerts past it go on "
              "unvalidated; 1 alert left out",
              bounds[0]);
    // An alert that fits goes out as ever.
    EXPECT_NE(0, SendValidation(m_Rule));
    EXPECT_EQ(1u, m_Handler.PendingCount());
}

// A flood of scripted alerts decides how often the table is full: every
// event still gets its verdict, but the log says so many a minute, the
// next line counting those it left out.
TEST_F(ScriptHandlerTest, FullTableLinesAreBoundedAndCountWhatTheyLeftOut) {
    hwtest::ManualReportTime time;
    ASSERT_TRUE(m_Handler.OpenStore());
    for (int i = 0; i < 512; ++i) {
        ASSERT_NE(0, SendValidation(m_ScriptedRule));
    }
    constexpr unsigned kTurnedAway = 50;
    for (unsigned n = 0; n < kTurnedAway; ++n) {
        SendValidation(m_Rule);
    }
    EXPECT_EQ(kTurnedAway, m_Sensor.ReportedCount());
    EXPECT_EQ(tclHandler::kFullTableReportsPerMinute,
              m_Log.m_Services.CountStartingWith("Too many pending tcl requests."));
    hwtest::ManualReportTime::Advance(60);
    SendValidation(m_ScriptedRule);
    EXPECT_EQ(1u, m_Log.m_Services.CountStartingWith(
                      "Too many pending tcl requests. Event Must dropped (" +
                      std::to_string(kTurnedAway - tclHandler::kFullTableReportsPerMinute) +
                      " events that found the table full were not reported before it)"));
}

// A script the process refuses is said naming the rule, the part and the
// process's words, with what becomes of the rule's alerts; the run of that
// part is not said again.
TEST_F(ScriptHandlerTest, RefusedScriptIsSaidWithTheFateOfTheRulesAlerts) {
    auto* pScript = new tclRequest;
    pScript->m_nAction = tclRequest::kSend;
    pScript->m_nCommandType = qorTclCommand::kScript;
    pScript->m_nScriptType = qorTclCommand::kValidation;
    pScript->m_strName = "Must";
    pScript->m_pRule = &m_ScriptedRule;
    pScript->m_strText = "return [";
    m_Handler.SendRequest(pScript);
    ASSERT_EQ(1u, m_Handler.PendingCount());
    auto* pReply = new tclRequest;
    pReply->m_nCommandType = qorTclCommand::kScript;
    pReply->m_nScriptType = qorTclCommand::kValidation;
    pReply->m_nRuleId = m_Handler.RuleId("Must");
    pReply->m_nReturnType = qorTclCommand::kError;
    pReply->m_strText = "script is not complete: missing close-bracket";
    m_Handler.HandleReply(pReply);
    EXPECT_EQ(0u, m_Handler.PendingCount());
    EXPECT_TRUE(LoggedAt("<Must SCRIPT Validation> failed: script is not complete: missing "
                         "close-bracket",
                         kCSFLogWarning));
    const std::string strSaid =
        "Rule \"Must\": its Validation script does not compile: script is not complete: missing "
        "close-bracket; its alerts are dropped, since the rule requires its script (NeedTcl)";
    EXPECT_TRUE(LoggedAt(strSaid, kCSFLogError | kCSFLogConsoleFlag));
    EXPECT_EQ("on; 1 script refused by the script process: rule Must (Validation)",
              m_Handler.DescribeScripting());

    ASSERT_TRUE(m_Handler.OpenStore());
    const int32_t nId = SendValidation(m_ScriptedRule);
    Reply("Must", nId, qorTclCommand::kError, "no such script");
    EXPECT_TRUE(m_Log.Contains("<Must RUN Validation> failed: no such script"));
    EXPECT_EQ(1u, m_Log.m_Services.CountStartingWith("Rule \"Must\""));
}

TEST_F(ScriptHandlerTest, TimedOutValidationIsReportedUnlessTheRuleNeedsItsScript) {
    ASSERT_TRUE(m_Handler.OpenStore());
    const Outcomes before;
    SendValidation(m_Rule);
    SendValidation(m_ScriptedRule);
    m_Handler.ExpirePending(m_tNow + 299);
    EXPECT_EQ(2u, m_Handler.PendingCount());
    m_Handler.ExpirePending(m_tNow + 300);
    EXPECT_EQ(0u, m_Handler.PendingCount());
    EXPECT_EQ(1u, m_Sensor.ReportedCount());
    EXPECT_TRUE(m_Log.Contains("TCL request timed out: Scan"));
    EXPECT_TRUE(m_Log.Contains("TCL request timed out: Must"));
    EXPECT_EQ(Outcomes::Only(ScriptOutcome::kUnvalidated) + Outcomes::Only(ScriptOutcome::kDropped),
              Outcomes() - before);
    // Each is counted where the stop lists what met no script.
    const std::string strTime = "at most 300 s for the script process's answer";
    EXPECT_EQ(InputBounds::Instance().Describe(),
              (std::vector<std::string>{
                  "Bound reached: script of rule Must: " + strTime +
                      ", the alerts past it are dropped (the rule requires its script); 1 "
                      "alert left out",
                  "Bound reached: script of rule Scan: " + strTime +
                      ", the alerts past it go on unvalidated; 1 alert left out"}));
}

// What the script set that cannot be taken back from the store leaves the
// alert as if its script had not answered: it goes on unvalidated, or is
// dropped for a rule that requires its script, and either is counted with
// the rule's name, as every alert that met no script is.
TEST_F(ScriptHandlerTest, AnAnswerWhoseValuesAreNotTakenBackIsCountedWithItsRule) {
    ASSERT_TRUE(m_Handler.OpenStore());
    const Outcomes before;
    const int32_t nScan = SendValidation(m_Rule);
    const int32_t nMust = SendValidation(m_ScriptedRule);
    m_Handler.Store()->RemoveId(static_cast<uint32_t>(nScan));
    m_Handler.Store()->RemoveId(static_cast<uint32_t>(nMust));
    Reply("Scan", nScan, qorTclCommand::kTrue, "1");
    Reply("Must", nMust, qorTclCommand::kTrue, "1");
    EXPECT_EQ(0u, m_Handler.PendingCount());
    EXPECT_EQ(1u, m_Sensor.ReportedCount());
    EXPECT_EQ(Outcomes::Only(ScriptOutcome::kUnvalidated) + Outcomes::Only(ScriptOutcome::kDropped),
              Outcomes() - before);
    EXPECT_TRUE(m_Log.Contains("<Must RUN Validation> failed: what the script set could not be "
                               "taken back from the shared store"));
    const std::string strBack = "what the script set taken back from the store " + StoreName() + " in time";
    EXPECT_EQ(InputBounds::Instance().Describe(),
              (std::vector<std::string>{
                  "Bound reached: script of rule Scan: " + strBack +
                      ", the alerts past it go on unvalidated; 1 alert left out",
                  "Bound reached: script of rule Must: " + strBack +
                      ", the alerts past it are dropped (the rule requires its script); 1 "
                      "alert left out"}));
}

TEST_F(ScriptHandlerTest, ProcessEndReportsPendingValidationsOfRulesThatDoNotNeedTheirScript) {
    ASSERT_TRUE(m_Handler.OpenStore());
    const Outcomes before;
    SendValidation(m_Rule);
    SendValidation(m_ScriptedRule);
    m_Handler.ClearAfterStop();
    EXPECT_EQ(0u, m_Handler.PendingCount());
    EXPECT_EQ(1u, m_Sensor.ReportedCount());
    EXPECT_EQ(Outcomes::Only(ScriptOutcome::kUnvalidated) + Outcomes::Only(ScriptOutcome::kDropped),
              Outcomes() - before);
    EXPECT_TRUE(m_Log.Contains("TclRequest <Scan.Validation> is pending when the TclProc is ended"));
    EXPECT_EQ("", m_Handler.RuleName(1)) << "rule ids outlived the process";
}

TEST_F(ScriptHandlerTest, RegistrationRulesForEnginesAndTheirContainers) {
    TestEngine engine;
    EXPECT_EQ(0u, m_Handler.ReloadRuleContainer(&engine, std::make_unique<RuleContainer>()));
    EXPECT_EQ(1u, m_Handler.RegisterEngine(&engine, 1));
    EXPECT_EQ(1u, m_Handler.ReloadRuleContainer(&engine, std::make_unique<RuleContainer>()));
    EXPECT_EQ(1u, m_Handler.RegisterEngine(&engine, 0));
    EXPECT_EQ(0u, m_Handler.ReloadRuleContainer(&engine, std::make_unique<RuleContainer>()));
}

TEST_F(ScriptHandlerTest, DisabledScriptingQueuesNothing) {
    m_Handler.SetEnabled(false);
    EXPECT_FALSE(m_Handler.Init("/nonexistent/"));
    EXPECT_TRUE(LoggedAt("RULEWEAVE is disabled globally.", kCSFLogWarning));
    EXPECT_EQ(0u, m_Handler.QueueScript("Scan", "Validation", "return 1"));
    m_Handler.SetEnabled(true);
    EXPECT_EQ(0u, m_Handler.QueueScript("Scan", "Verify", "return 1"));
    EXPECT_TRUE(m_Log.Contains("Unknown script type: Verify"));
    EXPECT_EQ(1u, m_Handler.QueueScript("Scan", "Validation", "return 1"));
    TestRecord record(&m_Rule, 1);
    // Not running: the caller keeps its record, and the alert is counted
    // with its rule, whatever the caller does with it; a run without an
    // alert is not.
    EXPECT_EQ(0u, m_Handler.QueueRun("Scan", "Validation", &record));
    EXPECT_EQ(0u, m_Handler.QueueRun("Scan", "Procedure", nullptr));
    EXPECT_EQ(InputBounds::Instance().Describe(),
              (std::vector<std::string>{
                  "Bound reached: script of rule Scan: a script process to take the run (none while a "
                  "reload or the stop has shut it down, or while scripts are off), the alerts past it go "
                  "on unvalidated; 1 alert left out"}));
    // Off by the policy's choice, no process is meant to take it.
    m_Handler.SetEnabled(false);
    EXPECT_EQ(0u, m_Handler.QueueRun("Scan", "Validation", &record));
    EXPECT_EQ(1u, InputBounds::Instance().Describe().size());
}

TEST_F(ScriptHandlerTest, ProcessThatCannotStartUsesUpTheRestartLimit) {
    hwtest::ScratchDirectory directory;
    m_Handler.SetClock([] { return static_cast<int64_t>(::time(nullptr)); });
    // No program in the sensor directory and none beside this test: the
    // summary says so at once, before the restarts are used up.
    ASSERT_TRUE(m_Handler.Init((directory.Path() + "/").c_str()));
    const std::string strOff =
        "OFF: there is no script program: neither tclProc.exe in the sensor "
        "directory nor ";
    EXPECT_EQ(0u, m_Handler.DescribeScripting().find(strOff)) << m_Handler.DescribeScripting();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !m_Handler.IsRunningFlagSet(); }, 30));
    for (const char* pszLine :
         {"Failed to start TclProc, attempt #1", "Failed to start TclProc, attempt #2",
          "Failed to start TclProc, attempt #3",
          "Maximum restart limit (3) reached. Stoped RULEWEAVE Script processing"}) {
        EXPECT_TRUE(m_Log.Contains(pszLine)) << pszLine;
    }
    m_Handler.ShutDown();
    EXPECT_TRUE(LoggedAt("TclHandler exiting...", kCSFLogError));
    EXPECT_EQ(0u, m_Handler.DescribeScripting().find(strOff)) << m_Handler.DescribeScripting();
}

TEST_F(ScriptHandlerTest, CommandLineNamesTheHandedOverChannelAndTheTuning) {
    EXPECT_EQ("tclProc.exe -log tclproc.log -channel 3 -ReqQsz 512 -minWorkers 2 "
              "-maxWorkers 16 -CmdQThreshold 5 -CmdWaitTout 2 -dir \"\"",
              m_Handler.ProcessCommandLine());
}

// The summary says why scripting is off when the policy has it on.
TEST_F(ScriptHandlerTest, ScriptingStateSaysWhyItIsOff) {
    m_Handler.SetEnabled(false);
    EXPECT_FALSE(m_Handler.Init("/nonexistent/"));
    EXPECT_EQ("off, as the policy has it (ScriptEnabled)", m_Handler.DescribeScripting());

    // A name no shared object can have.
    tclHandler unusable(std::string(300, 'x').c_str());
    EXPECT_FALSE(unusable.Init("/nonexistent/"));
    EXPECT_TRUE(m_Log.Contains("RULEWEAVE will be disabled due to initialization problem."));
    const std::string strStore = unusable.DescribeScripting();
    EXPECT_EQ(0u, strStore.find("OFF: the shared store " + std::string(300, 'x') +
                                " could not be opened: the memory it is kept in could not be "
                                "mapped ("))
        << strStore;
    EXPECT_NE(std::string::npos, strStore.find("; the alerts of rules with a script go on "
                                               "unvalidated, or are dropped when their rule "
                                               "requires it"))
        << strStore;
}
