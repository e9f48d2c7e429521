#pragma once
// A correlation rule: it watches other rules, each with a weight, and
// raises an alert of its own when the weighted count of their recent alerts
// within its time window reaches its threshold.  It has no thread: it runs
// in the correlation gate of a watched rule, on whichever thread reports
// that rule's alert.
//
// SCAN keeps only the newest alert of each watched rule, so it counts how
// many different rules fired in the window; CUMULATIVE counts every alert;
// SCRIPT fires on every alert of a watched rule and leaves the decision to
// the rule's script.  With the throttle on, a rule fires at most once per
// window.
//
// A busy watched rule may put hundreds of thousands of hits in a window, so
// the cost of an alert must not depend on how many there are: each slot
// keeps its hits oldest first and lets them go from the front, hits of one
// second with one value share an entry, and the weighted total is kept
// running rather than summed again.  What a slot keeps is bounded
// (CCorrelationRuleHits.h): past the bound the oldest hits are still
// counted but lose their value, which is said once as the rule's bound.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Common/CCorrelationRuleHits.h"
#include "Common/ICorrelationRule.h"
#include "Common/InputBounds.h"
#include "Common/Rule.h"
#include "qorToolsLib/jsSync.h"

class CEngineCorrelation;

class CCorrelationRule : public Rule, public ICorrelationRule {
public:
    enum CorrelationType : int32_t {
        kScan = 0,
        kCumulative = 1,
        kScript = 2,
    };

    // One watched rule.  A slot whose rule was not found keeps an empty
    // name and matches nothing.
    struct Slot {
        std::string m_strRuleName;
        std::string m_strInfoField;  // the record pair whose value a hit keeps
        uint32_t m_dwWeight = 0;
        CCorrelationRuleHits m_Hits;
    };

    // The source of the current time in seconds since 1970.
    using Clock = int64_t (*)();

    CCorrelationRule();
    CCorrelationRule(const CCorrelationRule& source);
    // The Rule part, and from another correlation rule every field but the
    // lock, slots and hits included.
    Rule& operator=(const Rule& source) override;
    CCorrelationRule& operator=(const CCorrelationRule& source);
    Rule* Clone() const override;
    ~CCorrelationRule() override;
    bool IsRule() const override { return true; }

    bool Trigger(Rule* pFiredRule, AgentEventInfo* pRecord, std::unique_ptr<AgentEventInfo>& pAlert) override;
    void RaiseAlert(std::unique_ptr<AgentEventInfo> pAlert) override;

    void SetCorrelationType(int32_t nType) { m_nCorrelationType = nType; }
    int32_t GetCorrelationType() const { return m_nCorrelationType; }
    void SetThreshold(int32_t nThreshold) { m_nThreshold = nThreshold; }
    int32_t GetThreshold() const { return m_nThreshold; }
    void SetThrottle(bool bThrottle) { m_bThrottle = bThrottle; }
    bool GetThrottle() const { return m_bThrottle; }
    void SetTimeWindow(int32_t nSeconds) { m_nTimeWindow = nSeconds; }
    int32_t GetTimeWindow() const { return m_nTimeWindow; }
    int64_t GetLastAlertTime() const { return m_tLastAlertTime.load(); }
    void SetLastAlertTime(int64_t tTime) { m_tLastAlertTime = tTime; }
    void SetEngine(CEngineCorrelation* pEngine) { m_pEngine = pEngine; }
    CEngineCorrelation* GetEngine() const { return m_pEngine; }

    // Replaces the slots, hits included.
    void SetSlots(std::vector<Slot> slots);
    // What the slots keep now, as their bound counts it: the entries of hits
    // kept with their value, the bytes of those values, and the entries of
    // folded hits.
    struct Keeping {
        size_t m_nKeptEntries = 0;
        size_t m_nKeptBytes = 0;
        size_t m_nFoldedEntries = 0;
    };
    Keeping KeepingNow() const;
    std::vector<Slot> GetSlots() const;

    // Installs the clock every correlation rule reads; null restores the
    // wall clock.
    static void SetClock(Clock pClock);

private:
    // Steps of Trigger under the lock: drops hits older than `tCutoff`,
    // records the hit and answers the weighted total, and how many hits
    // lost their value to the bound.  False when the fired rule is not
    // watched (or the type counts nothing).
    bool CountHit(const std::string& strFiredRule, const AgentEventInfo* pRecord, int64_t tNow,
                  int64_t tCutoff, uint64_t& qwTotal, uint64_t& qwFolded);
    // Says and counts hits that lost their value to the bound.
    void SayFolded(uint64_t qwFolded);
    // A new alert of this rule, from the sensor's own address to itself;
    // null when it cannot be made.
    std::unique_ptr<AgentEventInfo> MakeAlert(int64_t tNow);
    // With the lock held: the hits of a slot older than `tCutoff` go.
    void ExpireHits(Slot& slot, int64_t tCutoff);
    // With the lock held: the slots' weighted total from scratch.
    void RecountTotal();

    int32_t m_nCorrelationType = kScan;
    int32_t m_nThreshold = 0;
    bool m_bThrottle = false;
    int32_t m_nTimeWindow = 0;
    // Read under the lock by one reporting thread while another, firing,
    // writes it outside the lock.
    std::atomic<int64_t> m_tLastAlertTime{0};
    CEngineCorrelation* m_pEngine = nullptr;
    mutable qorFastSync m_lock;
    std::vector<Slot> m_Slots;
    // The sum over the slots of weight times hits, kept with every change.
    uint64_t m_qwTotal = 0;
    // The record value a hit keeps, reused from alert to alert.
    std::string m_strHitValue;
    // The bound of what the slots keep, once it was first reached.
    InputBoundHandle m_FoldBound;
};
