#include "Common/CThreadList.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Common/EngineBase.h"

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
