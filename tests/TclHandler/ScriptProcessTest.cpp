// The handler with the real script process: scripts are defined, alerts
// validated through the shared sections, and a process that dies is
// started again with the scripts sent anew.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "Common/FakeSensorCore.h"
#include "Common/RuleScript.h"
#include "Common/TestEngine.h"
#include "TclHandler/tclHandler.h"
#include "support/TestUtil.h"

namespace {

// Ten seconds pass for each real one, so the settling waits of the
// handler take a fraction of a second.
int64_t FastClock() {
    static const auto start = std::chrono::steady_clock::now();
    static const int64_t base = ::time(nullptr);
    auto elapsed = std::chrono::steady_clock::now() - start;
    return base + std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 100;
}

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

class ScriptProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
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
        m_Handler.SetPortBase(static_cast<uint16_t>(hwtest::FreeLoopbackPort(false) - 1));
    }

    void TearDown() override { m_Handler.ShutDown(); }

    void HandOverRules() {
        auto pCopy = std::make_unique<RuleContainer>();
        pCopy->Add(&m_Rule);
        m_Handler.RegisterEngine(&m_Engine, 1);
        m_Handler.ReloadRuleContainer(&m_Engine, std::move(pCopy));
        // An engine whose rules could not be read hands over none; the
        // scripts of the others must go out all the same.
        m_Handler.RegisterEngine(&m_Idle, 1);
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
