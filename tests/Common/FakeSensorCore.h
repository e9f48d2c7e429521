#pragma once
// Stand-ins for the sensor object and its script handler, and capture of
// the plug-in's log lines, for tests of the engine base, rules and readers.

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Common/AgentEventInfo.h"
#include "Common/ISensorCore.h"
#include "Common/ITclHandler.h"
#include "Common/Rule.h"
#include "Common/RuleContainer.h"
#include "qorCSFLib/CSFLog.h"
#include "qorCSFLib/FakeHost.h"

class FakeTclHandler : public ITclHandler {
public:
    uint32_t RegisterEngine(CEngineBase* pEngine, uint32_t dwFlag) override {
        std::lock_guard<std::mutex> guard(m_lock);
        if (dwFlag == 1) {
            m_Engines.insert(pEngine);
        } else {
            m_Engines.erase(pEngine);
            m_Copies.erase(pEngine);
        }
        return 1;
    }
    uint32_t ReloadRuleContainer(CEngineBase* pEngine, std::unique_ptr<RuleContainer> pContainer) override {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_Engines.count(pEngine) == 0) {
            return 0;
        }
        m_Copies[pEngine] = std::move(pContainer);
        return 1;
    }
    uint32_t QueueScript(RuleScript*, const char* pszPart, const std::string& strText) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_Scripts.push_back(std::string(pszPart) + ":" + strText);
        return 1;
    }
    uint32_t QueueRun(RuleScript*, const char* pszPart, AgentEventInfo* pRecord) override {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_bAccepts) {
            return 0;
        }
        m_Runs.push_back(pszPart);
        if (pRecord != nullptr) {
            m_Validations.emplace_back(pRecord);
        }
        return 1;
    }
    bool IsEnabled() override { return m_bEnabled; }

    size_t ValidationCount() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_Validations.size();
    }

    std::mutex m_lock;
    bool m_bEnabled = true;
    bool m_bAccepts = true;
    std::set<CEngineBase*> m_Engines;
    std::map<CEngineBase*, std::unique_ptr<RuleContainer>> m_Copies;
    std::vector<std::string> m_Scripts;
    std::vector<std::string> m_Runs;
    std::vector<std::unique_ptr<AgentEventInfo>> m_Validations;
};

// Registers itself as the sensor for its lifetime.  Like the sensor, it
// deletes every rule of its own container when it goes.
class FakeSensorCore : public ISensorCore {
public:
    FakeSensorCore() { SetSensorCore(this); }
    ~FakeSensorCore() {
        SetSensorCore(nullptr);
        DeleteRules();
    }

    uint8_t ReportEvent(AgentEventInfo* pRecord) override {
        std::string strName = pRecord->GetRuleName();
        CSFEventInfo info{static_cast<int32_t>(pRecord->m_dwEventId), strName.c_str(), strName.c_str()};
        return LogToCSF(pRecord, &info, 0, 15);
    }
    uint8_t LogToCSF(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                     uint32_t dwFlags) override {
        if (pRecord == nullptr) {
            return 0;
        }
        if (pRecord->GetRule() != nullptr &&
            !pRecord->GetRule()->CorrelationAllows(pRecord, pInfo, dwWord, dwFlags)) {
            return 1;
        }
        return DeliverToHost(pRecord, pInfo, dwWord, dwFlags);
    }
    uint8_t DeliverToHost(AgentEventInfo* pRecord, const CSFEventInfo*, uint32_t, uint32_t) override {
        if (pRecord == nullptr) {
            return 0;
        }
        if (const long nMicros = m_nDeliveryMicros.load(); nMicros > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(nMicros));
        }
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_bSinkAccepts) {
            delete pRecord;
            ++m_nRefused;
            return 0;
        }
        m_Reported.emplace_back(pRecord);
        return 1;
    }
    uint8_t ForwardToEventSink(uint32_t, uint32_t) override { return 1; }
    ITclHandler* GetTclHandler() override { return m_pHandler; }
    bool IsValidResponse(const char* pszName, const char* pszChoice) override {
        return m_Responses.count({pszName, pszChoice}) != 0;
    }
    bool HasResponseDefinitions() override { return m_bHasResponses; }
    RuleContainer* GetRuleContainer() override { return &m_Rules; }
    bool m_bHasResponses = true;
    IPolicyContainer* GetCurrentPolicy() override { return m_pPolicy; }

    void DeleteRules() {
        for (Rule* pRule : m_Rules) {
            delete pRule;
        }
        m_Rules.Clear();
    }
    size_t ReportedCount() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_Reported.size();
    }
    std::vector<std::unique_ptr<AgentEventInfo>> TakeReported() {
        std::lock_guard<std::mutex> guard(m_lock);
        return std::move(m_Reported);
    }

    std::mutex m_lock;
    FakeTclHandler* m_pHandler = nullptr;
    IPolicyContainer* m_pPolicy = nullptr;
    RuleContainer m_Rules;
    std::set<std::pair<std::string, std::string>> m_Responses;
    bool m_bSinkAccepts = true;
    // How long each delivery takes, in microseconds, as with a slow host.
    std::atomic<long> m_nDeliveryMicros{0};
    int m_nRefused = 0;
    std::vector<std::unique_ptr<AgentEventInfo>> m_Reported;
};
