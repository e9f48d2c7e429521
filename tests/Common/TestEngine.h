#pragma once
// A small detection engine for the tests: its rules ("Test Rules") match a
// line of input that contains the rule's "Pattern"; its thread takes lines
// from a queue and fires one record per matching rule.  In busy mode the
// thread fires without pause until it is told to stop.

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Common/AgentEventInfo.h"
#include "Common/EngineBase.h"
#include "Common/InitializeRules.h"
#include "Common/Rule.h"
#include "hostwarden/IPolicyContainer.h"
#include "support/EngineEnd.h"

class TestRule : public Rule {
public:
    Rule* Clone() const override { return new TestRule(*this); }
    bool IsRule() const override { return true; }
    std::string m_strPattern;
};

class TestRecord : public AgentEventInfo {
public:
    using AgentEventInfo::AgentEventInfo;
    AgentEventInfo* Clone() const override { return new TestRecord(*this); }
    void FillADFEvent(CADFEvent&) override {}
    void FillQgEvent(CQgEvent&) override {}
};

class TestRuleReader : public InitializeRules {
public:
    const char* GetRulesKey() override { return "Test Rules"; }
    const char* GetRulesBase() override { return kStandardRulesBase; }
    Rule* CreateRule() override {
        if (m_nCreateBeforeFailure == 0) {
            return nullptr;
        }
        --m_nCreateBeforeFailure;
        return new TestRule;
    }
    bool ReadRule(Rule* pRule, IPolicyContainer* pPolicy, const char* pszSection, const char*) override {
        auto* pTestRule = static_cast<TestRule*>(pRule);
        pTestRule->m_strPattern = pPolicy->GetText(GetRulePath().c_str(), "Pattern", "");
        ReadInfoPairs(pPolicy, pszSection, pRule);
        ReadInfoPairs(pPolicy, GetRulePath().c_str(), pRule);
        return pTestRule->m_strPattern != "reject";
    }

    // CreateRule gives null once this many rules were made.
    int m_nCreateBeforeFailure = 1000;
};

using TestUserRuleReader = InitializeUserRules<TestRuleReader>;

class TestEngine : public CEngineBase {
public:
    TestEngine() : CEngineBase("Test Engine") {}
    // Its thread reads its lines and rules: the engine goes only once the
    // thread has ended, however long a loaded machine keeps it.
    ~TestEngine() override {
        hwtest::EndHeldEngine(*this);
        StopAndWait();
    }

    int32_t ConfigureEventSections(CSFEventRegistry*) override { return 0; }
    int32_t PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) override {
        if (m_nPopulateResult != 0) {
            return m_nPopulateResult;
        }
        m_Standard.ReadRules(pContainer, pPolicy);
        m_User.ReadRules(pContainer, pPolicy);
        return 0;
    }

    uint32_t _doWork() override {
        ++m_nRuns;
        while (StopRequested() == 0) {
            if (m_bBusy) {
                FireOn("busy");
                Yield();
                continue;
            }
            std::string strLine;
            if (TakeLine(strLine)) {
                FireOn(strLine);
            } else {
                Sleep(10);
            }
        }
        // A body still clearing up after it was told to stop.
        std::this_thread::sleep_for(std::chrono::milliseconds(m_nLingerMs));
        return 0;
    }

    void Feed(const std::string& strLine) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_Lines.push_back(strLine);
        Wake();
    }

    int32_t m_nPopulateResult = 0;
    bool m_bBusy = false;
    int m_nLingerMs = 0;
    std::atomic<int> m_nRuns{0};
    std::atomic<int> m_nFired{0};
    TestRuleReader m_Standard;
    TestUserRuleReader m_User;

private:
    bool TakeLine(std::string& strLine) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_Lines.empty()) {
            return false;
        }
        strLine = m_Lines.front();
        m_Lines.pop_front();
        return true;
    }

    void FireOn(const std::string& strLine) {
        RuleContainer* pRules = GetRuleContainer();
        if (pRules == nullptr) {
            return;
        }
        for (Rule* pRule : *pRules) {
            auto* pTestRule = static_cast<TestRule*>(pRule);
            if (!pTestRule->m_strPattern.empty() && strLine.find(pTestRule->m_strPattern) != std::string::npos) {
                auto* pRecord = new TestRecord(pRule, 0);
                pRecord->m_nSourcePort = 4000;
                pRecord->AddInfoPair("Line", strLine.c_str());
                ++m_nFired;
                ExecuteResponses(pRecord);
            }
        }
    }

    std::mutex m_lock;
    std::deque<std::string> m_Lines;
};
