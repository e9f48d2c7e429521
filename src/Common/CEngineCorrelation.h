#pragma once
// The correlation engine ("Correlation Engine"): it reads the correlation
// rules, attaching each to the rules it watches, and sends their alerts on
// their way.  It has no thread: the rules run in the correlation gates of
// the rules they watch, on whichever thread reports an alert, and their
// alerts leave through ExecuteResponses on that same thread.
//
// What the rules counted goes on counting through a reload: the pause keeps
// each rule's hits, before the sensor deletes the rules, and the rule of
// the same name, type and time window that the new policy brings takes the
// hits of each rule it still watches.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Common/CCorrelationRule.h"
#include "Common/EngineBase.h"
#include "qorToolsLib/jsSync.h"

class CInitializeCorrelationRules;
class CInitializeUserCorrelationRules;
class IPolicyEventInterface;

class CEngineCorrelation : public CEngineBase {
public:
    // `pPrototype` is the sensor's prototype policy event, with which the
    // rule sections are registered; it stays the sensor's.
    explicit CEngineCorrelation(IPolicyEventInterface* pPrototype = nullptr);
    ~CEngineCorrelation() override;

    // No thread is started, paused or stopped.
    int32_t OnStart(uint32_t dwArgument) override;
    int32_t OnStopInit(uint32_t dwArgument) override;
    int32_t OnStop(uint32_t dwArgument) override;
    int32_t OnPauseInit(uint32_t dwArgument) override;
    int32_t OnPause(uint32_t dwArgument) override;
    int32_t OnResume(uint32_t dwArgument) override;
    int32_t OnReloadPolicy(uint32_t dwArgument) override;
    int32_t ConfigureEventSections(CSFEventRegistry* pRegistry) override;
    int32_t PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) override;
    // One correlation alert at a time.  The lock is re-entered when an
    // alert makes another correlation rule fire on the same thread.
    uint8_t ExecuteResponses(AgentEventInfo* pRecord) override;

protected:
    uint32_t _doWork() override;

private:
    IPolicyEventInterface* const m_pPrototype;
    std::unique_ptr<CInitializeCorrelationRules> m_pDefaultReader;
    std::unique_ptr<CInitializeUserCorrelationRules> m_pUserReader;
    qorFastSync m_executeLock;

    // What one rule had counted when a reload paused the engine.
    struct KeptCounts {
        int32_t m_nType = 0;
        int32_t m_nTimeWindow = 0;
        int64_t m_tLastAlert = 0;
        std::vector<CCorrelationRule::Slot> m_Slots;
    };
    // Taken by a reload's pause, by rule name, and handed to the new rules.
    std::map<std::string, KeptCounts> m_KeptCounts;
    void KeepCounts();
    void RestoreCounts();
    // At the stop: says what each rule keeps, as its bound counts it, in
    // the log (what a rule fed distinct values holds is its bound, not
    // their number).
    void SayKeeping();
};
