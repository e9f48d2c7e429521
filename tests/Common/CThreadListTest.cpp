#include "Common/CThreadList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Common/EngineBase.h"
#include "qorCSFLib/FakeHost.h"
#include "support/EngineEnd.h"
#include "support/SleepClock.h"
#include "support/TestUtil.h"

namespace {

using Journal = std::vector<std::string>;

// An engine that starts no thread and writes every lifecycle call it gets
// into a journal shared by the test's engines.
class JournalEngine : public CEngineBase {
public:
    JournalEngine(const char* pszName, Journal& journal) : CEngineBase(pszName), m_journal(journal) {}
    ~JournalEngine() override { Note("deleted"); }

    int32_t Oninit(uint32_t) override { return Note("Oninit"); }
    int32_t OnStart(uint32_t) override { return Note("OnStart"); }
    int32_t OnStopInit(uint32_t) override { return Note("OnStopInit"); }
    int32_t OnStop(uint32_t) override { return Note("OnStop"); }
    int32_t OnReloadPolicy(uint32_t) override { return Note("OnReloadPolicy"); }
    int32_t OnPauseInit(uint32_t) override { return Note("OnPauseInit"); }
    int32_t OnPause(uint32_t) override { return Note("OnPause"); }
    int32_t OnResume(uint32_t) override { return Note("OnResume"); }
    int32_t ConfigureEventSections(CSFEventRegistry*) override { return Note("Configure"); }
    int32_t PopulateRuleContainer(RuleContainer*, IPolicyContainer*) override { return 0; }

    // What the engine answers to one operation (0 unless set).
    std::map<std::string, int32_t> m_results;

protected:
    uint32_t _doWork() override { return 0; }

private:
    int32_t Note(const std::string& operation) {
        m_journal.push_back(std::string(GetName()) + ":" + operation);
        auto found = m_results.find(operation);
        return found != m_results.end() ? found->second : 0;
    }

    Journal& m_journal;
};

// An engine whose thread ignores its stop until the test lets it go, as a
// thread held in a wait it should not be in; every lifecycle call it gets
// goes into the journal, and on to the base's.
class DeafEngine : public CEngineBase {
public:
    static constexpr uint32_t kBoundMs = 200;

    explicit DeafEngine(Journal& journal) : CEngineBase("Deaf"), m_journal(journal) { SetStopBound(kBoundMs); }
    ~DeafEngine() override {
        // The thread reads m_bLetGo: its end is awaited for as long as a
        // loaded machine may take, not only the 200 ms of the stop bound.
        LetGo();
        hwtest::EndHeldEngine(*this);
        StopAndWait();
    }

    int32_t OnStart(uint32_t dwArgument) override { return Note("OnStart", CEngineBase::OnStart(dwArgument)); }
    int32_t OnStop(uint32_t dwArgument) override { return Note("OnStop", CEngineBase::OnStop(dwArgument)); }
    int32_t OnPause(uint32_t dwArgument) override { return Note("OnPause", CEngineBase::OnPause(dwArgument)); }
    int32_t OnResume(uint32_t dwArgument) override { return Note("OnResume", CEngineBase::OnResume(dwArgument)); }
    int32_t OnReloadPolicy(uint32_t) override { return Note("OnReloadPolicy", 0); }
    int32_t ConfigureEventSections(CSFEventRegistry*) override { return 0; }
    int32_t PopulateRuleContainer(RuleContainer*, IPolicyContainer*) override { return 0; }

    void LetGo() { m_bLetGo = true; }
    // Waits for the thread to be in its body (a thread still at its gate
    // leaves there when told to stop).
    bool AwaitBody() {
        return hwtest::WaitUntil([&] { return m_bInBody.load(); });
    }
    // Lets the thread go and waits for its end.
    bool LetGoAndAwaitEnd() {
        LetGo();
        return hwtest::WaitUntil([&] { return !IsRunning(); });
    }

protected:
    uint32_t _doWork() override {
        m_bInBody = true;
        while (!m_bLetGo) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return 0;
    }

private:
    int32_t Note(const std::string& operation, int32_t nResult) {
        m_journal.push_back(std::string(GetName()) + ":" + operation);
        return nResult;
    }

    Journal& m_journal;
    std::atomic<bool> m_bLetGo{false};
    std::atomic<bool> m_bInBody{false};
};

class CThreadListTest : public ::testing::Test {
protected:
    JournalEngine* Add(const char* pszName) {
        auto* engine = new JournalEngine(pszName, m_journal);
        m_list.Append(engine);
        return engine;
    }
    void TearDown() override { m_list.DeleteAll(); }

    Journal m_journal;
    CThreadList m_list;
};

}  // namespace

TEST_F(CThreadListTest, PauseAndStopTellEveryEngineBeforeWaitingForAnyAndJoinTheirResults) {
    Add("a")->m_results["OnPauseInit"] = 0x1;
    Add("b")->m_results["OnPause"] = 0x4;
    Add("c")->m_results["OnStopInit"] = 0x10;

    EXPECT_EQ(0x5u, m_list.PauseAll(0));
    EXPECT_TRUE(m_list.IsPaused());
    EXPECT_EQ(0x10u, m_list.StopAll(0));
    EXPECT_TRUE(m_list.IsStopped());

    Journal expected = {"a:OnPauseInit", "b:OnPauseInit", "c:OnPauseInit", "a:OnPause",  "b:OnPause",
                        "c:OnPause",     "a:OnStopInit",  "b:OnStopInit",  "c:OnStopInit", "a:OnStop",
                        "b:OnStop",      "c:OnStop"};
    EXPECT_EQ(expected, m_journal);
}

TEST_F(CThreadListTest, FailingEngineDoesNotEndTheWalk) {
    Add("a")->m_results["OnResume"] = 2;
    Add("b");
    m_list.Append(nullptr);

    EXPECT_EQ(2u, m_list.ResumeAll(0));
    EXPECT_EQ(0u, m_list.ReloadPolicyAll(0));

    Journal expected = {"a:OnResume", "b:OnResume", "a:OnReloadPolicy", "b:OnReloadPolicy"};
    EXPECT_EQ(expected, m_journal);
    EXPECT_FALSE(m_list.IsPaused());
}

TEST_F(CThreadListTest, AddedEngineWhoseInitFailsIsKeptUnstarted) {
    auto* engine = new JournalEngine("late", m_journal);
    engine->m_results["Oninit"] = 1;

    EXPECT_EQ(1u, m_list.AddThread(engine));

    EXPECT_EQ(Journal{"late:Oninit"}, m_journal);
    EXPECT_EQ(engine, m_list.Find("late"));
}

TEST_F(CThreadListTest, RemoveThreadTakesOnlyTheFirstExactMatch) {
    Add("slave");
    Add("Slave");
    Add("slave");

    m_list.RemoveThread("slav");
    m_list.RemoveThread("slave");

    Journal expected = {"slave:OnStopInit", "slave:OnStop", "slave:deleted"};
    EXPECT_EQ(expected, m_journal);
    ASSERT_EQ(2u, m_list.GetCount());
    EXPECT_STREQ("Slave", m_list.GetAt(0)->GetName());
    EXPECT_STREQ("slave", m_list.GetAt(1)->GetName());
}

TEST_F(CThreadListTest, DeleteAllStopsARunningListFirst) {
    Add("a");
    Add("b");
    m_list.StartAll(0);
    m_journal.clear();

    m_list.DeleteAll();

    Journal expected = {"a:OnStopInit", "b:OnStopInit", "a:OnStop",
                        "b:OnStop",     "a:deleted",    "b:deleted"};
    EXPECT_EQ(expected, m_journal);
    EXPECT_EQ(0u, m_list.GetCount());
}

// A thread that ignores its stop for longer than its bound is said, by
// engine and bound, and the stop goes on without it: its OnStop (which may
// free what the thread uses) is not called, and it is not deleted.
TEST_F(CThreadListTest, EngineThatDoesNotEndWithinItsBoundIsSaidAndTheStopGoesOn) {
    ScopedHostLog log;
    auto* deaf = new DeafEngine(m_journal);
    Add("a");
    m_list.Append(deaf);
    Add("b");
    m_list.StartAll(0);
    ASSERT_TRUE(deaf->AwaitBody());
    m_journal.clear();

    // The deaf thread never ends by itself, so a stop that waited for it
    // would hang: the minute only turns that into a failure.  What the
    // stop slept tells its own bound (200 ms) from the sensor's default
    // (5 s) however slowly a busy machine runs the other two threads' ends.
    const hwtest::SleepClock clock;
    EXPECT_NE(0u, m_list.StopAll(0));
    EXPECT_LT(clock.Slept(), std::chrono::seconds(3)) << hwtest::Ms(clock.Wall()) << " ms in all";
    EXPECT_LT(clock.Wall(), std::chrono::seconds(60));
    EXPECT_TRUE(log.Contains("The engine Deaf did not end within 200 ms of its stop: the stop goes on without "
                             "it, leaving it and what it uses to the end of the process"));
    EXPECT_EQ("Deaf", m_list.StuckEngines());
    m_list.DeleteAll();
    Journal expected = {"a:OnStopInit", "b:OnStopInit", "a:OnStop", "b:OnStop", "a:deleted", "b:deleted"};
    EXPECT_EQ(expected, m_journal);
    EXPECT_EQ(0u, m_list.GetCount());
    EXPECT_EQ("Deaf", m_list.StuckEngines());

    // Once its thread has ended, the rest of its stop is done and it goes.
    ASSERT_TRUE(deaf->LetGoAndAwaitEnd());
    m_journal.clear();
    m_list.DeleteAll();
    EXPECT_EQ((Journal{"Deaf:OnStop"}), m_journal);
    EXPECT_EQ("", m_list.StuckEngines());
}

// A pause that meets such a thread leaves the engine out of the reload and
// the restart (never two threads for one engine); once the thread has
// ended, the next restart finishes its pause and gives it the rules it
// missed first.
TEST_F(CThreadListTest, EngineStuckAtAPauseIsLeftOutOfTheRestartUntilItsThreadHasEnded) {
    ScopedHostLog log;
    auto* deaf = new DeafEngine(m_journal);
    m_list.Append(deaf);
    m_list.StartAll(0);
    ASSERT_TRUE(deaf->AwaitBody());
    EXPECT_NE(0u, m_list.PauseAll(0));
    EXPECT_TRUE(log.Contains("The engine Deaf did not end within 200 ms of its pause: it is left running, and out "
                             "of every restart until its thread has ended"));
    EXPECT_TRUE(m_list.StuckOnRulesInForce());
    EXPECT_NE(0u, m_list.ReloadPolicyAll(0));
    EXPECT_TRUE(m_list.KeepsOldRules());
    EXPECT_NE(0u, m_list.ResumeAll(0));
    EXPECT_EQ((Journal{"Deaf:OnStart"}), m_journal);
    EXPECT_TRUE(deaf->IsRunning());

    ASSERT_TRUE(deaf->LetGoAndAwaitEnd());
    m_journal.clear();
    EXPECT_EQ(0u, m_list.ResumeAll(0));
    EXPECT_TRUE(log.Contains("The engine Deaf has ended since it was stuck: it takes part again"));
    // What was said at the pause holds no longer: taken back from the
    // host's findings.
    EXPECT_EQ((std::vector<std::string>{"3:The engine Deaf did not end within 200 ms of its pause: it is left "
                                        "running, and out of every restart until its thread has ended"}),
              log.m_Services.Notices());
    EXPECT_EQ((Journal{"Deaf:OnPause", "Deaf:OnReloadPolicy", "Deaf:OnResume"}), m_journal);
    EXPECT_FALSE(m_list.KeepsOldRules());
    EXPECT_EQ("", m_list.StuckEngines());
}

// One engine paused and resumed on its own (to try its input again) is the
// only one told, the list stays running, and one whose thread does not end
// within its bound is left as a stuck engine, not resumed.
TEST_F(CThreadListTest, PauseAndResumeOfOneEngineTouchesNoOtherAndLeavesAStuckOneAsItIs) {
    ScopedHostLog log;
    JournalEngine* pFirst = Add("a");
    Add("b");
    m_list.ResumeAll(0);
    m_journal.clear();
    pFirst->m_results["OnResume"] = 0x2;
    EXPECT_EQ(0x2u, m_list.PauseAndResume(*pFirst, 0));
    EXPECT_EQ((Journal{"a:OnPauseInit", "a:OnPause", "a:OnResume"}), m_journal);
    EXPECT_FALSE(m_list.IsPaused());

    auto* deaf = new DeafEngine(m_journal);
    m_list.Append(deaf);
    deaf->StartThread();
    ASSERT_TRUE(deaf->AwaitBody());
    m_journal.clear();
    EXPECT_NE(0u, m_list.PauseAndResume(*deaf, 0));
    EXPECT_TRUE(deaf->IsStuck());
    EXPECT_TRUE(deaf->IsRunning());
    EXPECT_EQ(Journal{}, m_journal);
    EXPECT_TRUE(log.Contains("The engine Deaf did not end within 200 ms of its pause: it is left running, and out "
                             "of every restart until its thread has ended"));
    ASSERT_TRUE(deaf->LetGoAndAwaitEnd());
}
