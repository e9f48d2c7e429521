#include "Common/EngineBase.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "Common/RuleScript.h"
#include "Common/ScriptOutcomes.h"
#include "FakeSensorCore.h"
#include "TestEngine.h"
#include "hostwarden/IPolicyContainer.h"
#include "platform/ScopedTimeZone.h"
#include "support/TestUtil.h"

namespace {

PolicyPtr LoadTestPolicy() {
    PolicyPtr pPolicy(CreatePluginPolicyContainer());
    const std::string strPath = std::string(HW_SOURCE_DIR) + "/tests/Common/data/engine.policy";
    EXPECT_EQ(pPolicy->LoadFile(strPath.c_str(), "", "", false), 0);
    return pPolicy;
}

std::vector<std::string> RuleNames(const RuleContainer* pContainer) {
    std::vector<std::string> names;
    if (pContainer != nullptr) {
        for (Rule* pRule : *pContainer) {
            names.push_back(pRule->GetName());
        }
    }
    return names;
}

std::map<std::string, std::string> Variables(const AgentEventInfo& record) {
    std::map<std::string, std::string> variables;
    for (const InfoPair& pair : record.GetScriptVariables()) {
        variables[pair.m_strName] = pair.m_strValue;
    }
    return variables;
}

// The ids of the process's threads.  A thread another has just joined may
// still be listed for a moment after the join returns (the system takes
// it out of the list after it wakes the joiner), so a test asks which
// threads are left, never how many: a count taken in that moment is one
// too many for good.
std::set<std::string> ThreadIds() {
    std::set<std::string> ids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ids.insert(entry.path().filename().string());
    }
    return ids;
}

// Threads listed now that were not in `before`, with their names.
std::string ThreadsNotIn(const std::set<std::string>& before) {
    std::string strLeft;
    for (const std::string& strId : ThreadIds()) {
        if (before.count(strId) == 0) {
            std::string strName = hwtest::ReadWholeFile("/proc/self/task/" + strId + "/comm");
            while (!strName.empty() && strName.back() == '\n')
                strName.pop_back();
            strLeft += (strLeft.empty() ? "" : ", ") + strId + " (" + strName + ")";
        }
    }
    return strLeft;
}

// A rule made in code, with an optional Validation script.
std::unique_ptr<TestRule> MakeRule(const char* pszName, uint32_t dwPriority, bool bNeedTcl,
                                   const char* pszValidation) {
    auto pRule = std::make_unique<TestRule>();
    pRule->SetName(pszName);
    pRule->SetPriority(dwPriority);
    pRule->SetNeedTcl(bNeedTcl);
    if (pszValidation != nullptr) {
        auto pScript = std::make_unique<RuleScript>(pszName, "", "", pszValidation);
        pScript->SetOwningRule(pRule.get());
        pRule->SetScript(std::move(pScript));
    }
    return pRule;
}

class EngineBaseTest : public ::testing::Test {
protected:
    // The engine with the test policy's rules and one that its body fires
    // without pause until it is told to stop.
    void MakeBusy() {
        m_pBusyRule->SetName("Busy");
        m_pBusyRule->m_strPattern = "busy";
        m_pPolicy = LoadTestPolicy();
        m_Sensor.m_pPolicy = m_pPolicy.get();
        ASSERT_EQ(m_Engine.Oninit(0), 0);
        m_Engine.GetRuleContainer()->Add(m_pBusyRule.get());
        m_Engine.m_bBusy = true;
    }

    FakeSensorCore m_Sensor;
    FakeTclHandler m_Handler;
    // Outlive the engine, whose thread reads them.
    std::unique_ptr<TestRule> m_pBusyRule = std::make_unique<TestRule>();
    PolicyPtr m_pPolicy;
    TestEngine m_Engine;
};

}  // namespace

TEST_F(EngineBaseTest, EngineRunsThroughTheFrameworkLifecycleAndReportsWhatItMatches) {
    ScopedHostLog log;
    PolicyPtr pPolicy = LoadTestPolicy();
    m_Sensor.m_pPolicy = pPolicy.get();
    m_Sensor.m_pHandler = &m_Handler;
    m_Sensor.m_Responses = {{"EMAIL", "Security team"}};

    ASSERT_EQ(m_Engine.Oninit(0), 0);
    EXPECT_EQ(m_Handler.m_Engines.count(&m_Engine), 1u);
    const std::vector<std::string> expected = {"Port Scan", "Validated", "Required", "SC-17", "Theirs"};
    EXPECT_EQ(RuleNames(m_Engine.GetRuleContainer()), expected);
    EXPECT_EQ(RuleNames(m_Handler.m_Copies[&m_Engine].get()), expected);
    EXPECT_EQ(RuleNames(&m_Sensor.m_Rules), expected);

    ASSERT_EQ(m_Engine.OnStart(0), 0);
    m_Engine.Feed("port scan from outside");
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Sensor.ReportedCount() == 1; }));
    std::vector<std::unique_ptr<AgentEventInfo>> reported = m_Sensor.TakeReported();
    AgentEventInfo& record = *reported[0];
    EXPECT_EQ(record.GetRuleName(), "Port Scan");
    EXPECT_EQ(record.m_wPriorityOverride, 2);
    std::map<std::string, std::string> variables = Variables(record);
    EXPECT_EQ(variables.erase("__qor_attacktime"), 1u);
    const std::map<std::string, std::string> expectedVariables = {
        {"__qor_priority", "Medium"},  {"__qor_rulename", "Port Scan"},       {"__qor_srcip", "0.0.0.0"},
        {"__qor_srcport", "4000"},     {"__qor_dstip", "0.0.0.0"},           {"__qor_dstport", "65535"},
        {"__qor_logtype", "Syslog"},   {"__qor_alerttype", "SuspiciousTCP"}, {"__qor_protocolid", "0"},
        {"__qor_ruleinfonames", "{Sensor} {Host} "}};
    EXPECT_EQ(variables, expectedVariables);
    EXPECT_TRUE(log.Contains("Invalid response : Nobody for rule : Port Scan will not be executed. "
                             "Please check applied policy."));

    // Both login rules carry a Validation script: the handler takes both.
    m_Engine.Feed("login failed");
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Handler.ValidationCount() == 2; }));
    EXPECT_EQ(m_Handler.m_Validations[0]->GetRuleName(), "Validated");
    EXPECT_EQ(m_Handler.m_Validations[1]->GetRuleName(), "Required");

    ASSERT_EQ(m_Engine.OnPauseInit(0), 0);
    ASSERT_EQ(m_Engine.OnPause(0), 0);
    EXPECT_FALSE(m_Engine.IsRunning());

    // The sensor deletes its rules and has the paused engine read afresh.
    const std::string strTheirs = "\\Advanced\\userdefinedsignatures\\Test Rules\\Theirs";
    ASSERT_EQ(pPolicy->SetText(strTheirs.c_str(), "Pattern", "changed"), 1);
    m_Sensor.DeleteRules();
    ASSERT_EQ(m_Engine.OnReloadPolicy(0), 0);
    EXPECT_EQ(RuleNames(m_Engine.GetRuleContainer()), expected);

    ASSERT_EQ(m_Engine.OnResume(0), 0);
    m_Engine.Feed("theirs changed");
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Sensor.ReportedCount() == 1; }));
    reported = m_Sensor.TakeReported();
    EXPECT_EQ(reported[0]->GetRuleName(), "Theirs");
    EXPECT_EQ(Variables(*reported[0])["__qor_priority"], "Low");
    EXPECT_EQ(m_Engine.m_nRuns, 2);

    ASSERT_EQ(m_Engine.OnStopInit(0), 0);
    ASSERT_EQ(m_Engine.OnStop(0), 0);
    EXPECT_FALSE(m_Engine.IsRunning());
}

TEST_F(EngineBaseTest, RepeatedResponsesLeaveOneVariableOfEachNameAndTheRulesPriority) {
    auto pRule = MakeRule("Login", 2, false, nullptr);
    auto* pRecord = new TestRecord(pRule.get(), 0);
    pRecord->m_wPriorityOverride = 1;
    pRecord->AddScriptVariable("__qor_priority", "stale");
    EXPECT_EQ(m_Engine.ExecuteResponses(pRecord), 1);
    EXPECT_EQ(m_Engine.ExecuteResponses(m_Sensor.TakeReported().at(0).release()), 1);
    std::vector<std::unique_ptr<AgentEventInfo>> reported = m_Sensor.TakeReported();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0]->GetScriptVariables().size(), 11u);
    EXPECT_EQ(Variables(*reported[0])["__qor_priority"], "Medium");
    EXPECT_EQ(reported[0]->m_wPriorityOverride, 2);

    // The rule's information names leave out user tags and stop at 1,023
    // characters.
    SetRuleInfoPair(pRule.get(), "USER_AlertName", "x");
    for (int i = 0; i < 200; ++i) {
        SetRuleInfoPair(pRule.get(), ("name" + std::to_string(i)).c_str(), "v");
    }
    m_Engine.ExecuteResponses(new TestRecord(pRule.get(), 0));
    std::string strNames = Variables(*m_Sensor.TakeReported().at(0))["__qor_ruleinfonames"];
    EXPECT_EQ(strNames.size(), CEngineBase::kRuleInfoNamesMax);
    EXPECT_EQ(strNames.compare(0, 16, "{name0} {name1} "), 0);
}

TEST_F(EngineBaseTest, AttackTimeIsLocalWithTheZoneInForceOrEmptyWhenUnconvertible) {
    auto pRule = MakeRule("Login", 3, false, nullptr);
    const struct {
        const char* pszZone;
        int64_t tTime;
        const char* pszText;
    } cases[] = {
        {"UTC0", 10, "1970/01/01/ 00:00:10 UTC"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1625140800, "2021/07/01/ 14:00:00 CEST"},  // 12:00 UTC
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1609502400, "2021/01/01/ 13:00:00 CET"},   // 12:00 UTC
        {"UTC0", INT64_MAX, ""},
    };
    for (const auto& c : cases) {
        ScopedTimeZone zone(c.pszZone);
        m_Engine.ExecuteResponses(new TestRecord(pRule.get(), c.tTime));
        EXPECT_EQ(Variables(*m_Sensor.TakeReported().at(0))["__qor_attacktime"], c.pszText);
    }
}

// Every record that could not meet its script is counted as passed on
// unvalidated or dropped, so the stop can say so; a rule without a script
// that does not require one counts nothing.
TEST_F(EngineBaseTest, RuleThatRequiresItsScriptLosesRecordsNothingCanValidate) {
    auto pRequired = MakeRule("Required", 1, true, "return 1");
    auto pOptional = MakeRule("Optional", 1, false, "return 1");
    auto pNoScript = MakeRule("No script", 1, true, nullptr);
    auto pPlain = MakeRule("Plain", 1, false, nullptr);
    // Without a handler, then with one whose queue is full.
    for (FakeTclHandler* pHandler : {static_cast<FakeTclHandler*>(nullptr), &m_Handler}) {
        m_Sensor.m_pHandler = pHandler;
        m_Handler.m_bAccepts = false;
        const ScriptOutcomes::Counts before = ScriptOutcomes::Instance().Snapshot();
        EXPECT_EQ(m_Engine.ExecuteResponses(new TestRecord(pRequired.get(), 0)), 0);
        EXPECT_EQ(m_Engine.ExecuteResponses(new TestRecord(pOptional.get(), 0)), 1);
        EXPECT_EQ(m_Engine.ExecuteResponses(new TestRecord(pNoScript.get(), 0)), 0);
        EXPECT_EQ(m_Engine.ExecuteResponses(new TestRecord(pPlain.get(), 0)), 1);
        EXPECT_EQ(m_Sensor.TakeReported().size(), 2u);
        const ScriptOutcomes::Counts after = ScriptOutcomes::Instance().Snapshot();
        EXPECT_EQ(before.m_qwDropped + 2, after.m_qwDropped);
        EXPECT_EQ(before.m_qwUnvalidated + 1, after.m_qwUnvalidated);
        EXPECT_EQ(before.m_qwValidated, after.m_qwValidated);
    }
    // A handler that takes the run owns the record.
    m_Handler.m_bAccepts = true;
    EXPECT_EQ(m_Engine.ExecuteResponses(new TestRecord(pRequired.get(), 0)), 1);
    EXPECT_EQ(m_Handler.ValidationCount(), 1u);
    EXPECT_EQ(m_Handler.m_Runs.back(), "Validation");
    EXPECT_EQ(m_Sensor.ReportedCount(), 0u);
}

TEST_F(EngineBaseTest, RecordsTheSinkRefusesOrThatHaveNoRuleAreDeleted) {
    auto pRule = MakeRule("Login", 1, false, nullptr);
    m_Sensor.m_bSinkAccepts = false;
    EXPECT_EQ(m_Engine.ExecuteResponses(new TestRecord(pRule.get(), 0)), 0);
    EXPECT_EQ(m_Sensor.m_nRefused, 1);
    EXPECT_EQ(m_Engine.ExecuteResponses(new TestRecord(nullptr, 0)), 0);
    EXPECT_EQ(m_Engine.ExecuteResponses(nullptr), 0);
}

TEST_F(EngineBaseTest, FailedRuleReadKeepsThePreviousRulesAndScriptingOffGetsNoCopy) {
    PolicyPtr pPolicy = LoadTestPolicy();
    m_Sensor.m_pPolicy = pPolicy.get();
    m_Sensor.m_pHandler = &m_Handler;
    m_Handler.m_bEnabled = false;
    ASSERT_EQ(m_Engine.Oninit(0), 0);
    EXPECT_EQ(m_Handler.m_Engines.count(&m_Engine), 1u);
    EXPECT_EQ(m_Handler.m_Copies.count(&m_Engine), 0u);
    RuleContainer* pBefore = m_Engine.GetRuleContainer();
    ASSERT_NE(pBefore, nullptr);
    m_Engine.m_nPopulateResult = 7;
    EXPECT_EQ(m_Engine.OnReloadPolicy(0), 7);
    EXPECT_EQ(m_Engine.GetRuleContainer(), pBefore);
}

TEST_F(EngineBaseTest, HundredStartStopCyclesOfABusyEngineLeaveNoThread) {
    ASSERT_NO_FATAL_FAILURE(MakeBusy());
    // A sanitizer runtime may start a helper thread of its own with the
    // first thread the program makes; it is there before the look.
    std::thread([] {}).join();
    const std::set<std::string> before = ThreadIds();
    for (int nCycle = 0; nCycle < 100; ++nCycle) {
        ASSERT_EQ(m_Engine.OnStart(0), 0);
        if (nCycle % 2 == 0) {
            // Let the body get going; odd cycles stop before it may run.
            const int nFired = m_Engine.m_nFired;
            ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Engine.m_nFired > nFired; }));
        }
        ASSERT_EQ(m_Engine.OnStopInit(0), 0);
        ASSERT_EQ(m_Engine.OnStopInit(0), 0);
        ASSERT_EQ(m_Engine.OnStop(0), 0);
        ASSERT_FALSE(m_Engine.IsRunning());
        m_Sensor.TakeReported();
    }
    EXPECT_TRUE(hwtest::WaitUntil([&] { return ThreadsNotIn(before).empty(); })) << ThreadsNotIn(before);
    EXPECT_GE(m_Engine.m_nRuns, 50);
}

// A start that finds the thread told to stop but not yet ended waits for
// it and runs the body again, rather than taking the leaving thread for a
// running one and answering success with no thread left.
TEST_F(EngineBaseTest, StartWhileTheThreadIsStillEndingRunsTheBodyAgain) {
    ASSERT_NO_FATAL_FAILURE(MakeBusy());
    m_Engine.m_nLingerMs = 300;
    ASSERT_EQ(m_Engine.OnStart(0), 0);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Engine.m_nFired > 0; }));
    ASSERT_EQ(m_Engine.OnPauseInit(0), 0);
    ASSERT_TRUE(m_Engine.IsRunning());
    ASSERT_EQ(m_Engine.OnResume(0), 0);
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Engine.m_nRuns == 2; }));
    const int nFired = m_Engine.m_nFired;
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Engine.m_nFired > nFired; }));
    EXPECT_TRUE(m_Engine.IsRunning());
    ASSERT_EQ(m_Engine.OnStopInit(0), 0);
    ASSERT_EQ(m_Engine.OnStop(0), 0);
    EXPECT_FALSE(m_Engine.IsRunning());
    m_Sensor.TakeReported();
}
