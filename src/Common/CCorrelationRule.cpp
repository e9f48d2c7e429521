#include "Common/CCorrelationRule.h"

#include <algorithm>
#include <new>

#include "Common/AgentEventInfoDefault.h"
#include "Common/CEngineCorrelation.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Sockets.h"
#include "qorCSFLib/CSFSensor.h"
#include "qorToolsLib/jsFastLock.h"

namespace {

int64_t WallClock() {
    return plat::ReadClock().m_iSeconds;
}

std::atomic<CCorrelationRule::Clock> g_pClock{&WallClock};

}  // namespace

CCorrelationRule::CCorrelationRule() = default;

CCorrelationRule::CCorrelationRule(const CCorrelationRule& source) : Rule(source), ICorrelationRule() {
    *this = source;
}

Rule& CCorrelationRule::operator=(const Rule& source) {
    if (const auto* pCorrelation = dynamic_cast<const CCorrelationRule*>(&source)) {
        return *this = *pCorrelation;
    }
    return Rule::operator=(source);
}

CCorrelationRule& CCorrelationRule::operator=(const CCorrelationRule& source) {
    if (&source == this) {
        return *this;
    }
    Rule::operator=(source);
    m_nCorrelationType = source.m_nCorrelationType;
    m_nThreshold = source.m_nThreshold;
    m_bThrottle = source.m_bThrottle;
    m_nTimeWindow = source.m_nTimeWindow;
    m_tLastAlertTime = source.m_tLastAlertTime.load();
    m_pEngine = source.m_pEngine;
    SetSlots(source.GetSlots());
    return *this;
}

Rule* CCorrelationRule::Clone() const {
    return new (std::nothrow) CCorrelationRule(*this);
}

CCorrelationRule::~CCorrelationRule() = default;

void CCorrelationRule::SetSlots(std::vector<Slot> slots) {
    qorFastLock guard(m_lock, true);
    m_Slots = std::move(slots);
    RecountTotal();
}

std::vector<CCorrelationRule::Slot> CCorrelationRule::GetSlots() const {
    qorFastLock guard(m_lock, true);
    return m_Slots;
}

void CCorrelationRule::SetClock(Clock pClock) {
    g_pClock = pClock != nullptr ? pClock : &WallClock;
}

void CCorrelationRule::RecountTotal() {
    m_qwTotal = 0;
    for (Slot& slot : m_Slots) {
        slot.m_qwHitCount = 0;
        for (const Hit& hit : slot.m_Hits) {
            slot.m_qwHitCount += hit.m_dwCount;
        }
        m_qwTotal += static_cast<uint64_t>(slot.m_dwWeight) * slot.m_qwHitCount;
    }
}

void CCorrelationRule::ExpireHits(Slot& slot, int64_t tCutoff) {
    while (!slot.m_Hits.empty() && slot.m_Hits.front().m_tTime < tCutoff) {
        const uint32_t dwCount = slot.m_Hits.front().m_dwCount;
        slot.m_qwHitCount -= dwCount;
        m_qwTotal -= static_cast<uint64_t>(slot.m_dwWeight) * dwCount;
        slot.m_Hits.pop_front();
    }
}

void CCorrelationRule::AddHit(Slot& slot, int64_t tTime, std::string& strValue) {
    // Hits come in time order unless the clock was set back; a late one
    // goes where its time puts it, so the front is always the oldest.
    auto at = slot.m_Hits.end();
    while (at != slot.m_Hits.begin() && std::prev(at)->m_tTime > tTime) {
        --at;
    }
    if (at != slot.m_Hits.begin()) {
        Hit& previous = *std::prev(at);
        if (previous.m_tTime == tTime && previous.m_strValue == strValue &&
            previous.m_dwCount < UINT32_MAX) {
            ++previous.m_dwCount;
            ++slot.m_qwHitCount;
            m_qwTotal += slot.m_dwWeight;
            return;
        }
    }
    slot.m_Hits.insert(at, Hit{tTime, std::move(strValue), 1});
    ++slot.m_qwHitCount;
    m_qwTotal += slot.m_dwWeight;
}

bool CCorrelationRule::CountHit(const std::string& strFiredRule, const AgentEventInfo* pRecord,
                                int64_t tNow, int64_t tCutoff, uint64_t& qwTotal) {
    qorFastLock guard(m_lock, true);
    Slot* pMatch = nullptr;
    for (Slot& slot : m_Slots) {
        // With two slots for one rule the later one counts.
        if (!slot.m_strRuleName.empty() && slot.m_strRuleName == strFiredRule) {
            pMatch = &slot;
        }
        ExpireHits(slot, tCutoff);
    }
    if (pMatch == nullptr || (m_nCorrelationType != kScan && m_nCorrelationType != kCumulative)) {
        return false;
    }
    m_strHitValue.clear();
    if (pRecord != nullptr) {
        pRecord->GetInfoPairValue(pMatch->m_strInfoField.c_str(), m_strHitValue);
    }
    if (m_nCorrelationType == kScan) {
        m_qwTotal -= static_cast<uint64_t>(pMatch->m_dwWeight) * pMatch->m_qwHitCount;
        pMatch->m_qwHitCount = 0;
        pMatch->m_Hits.clear();
    }
    AddHit(*pMatch, tNow, m_strHitValue);
    qwTotal = m_qwTotal;
    return true;
}

bool CCorrelationRule::Trigger(Rule* pFiredRule, AgentEventInfo* pRecord,
                               std::unique_ptr<AgentEventInfo>& pAlert) {
    if (pFiredRule == nullptr) {
        return true;
    }
    const int64_t tNow = g_pClock.load()();
    const int64_t tCutoff = tNow - m_nTimeWindow;
    if (m_nCorrelationType != kScript) {
        uint64_t qwTotal = 0;
        if (!CountHit(pFiredRule->GetName(), pRecord, tNow, tCutoff, qwTotal)) {
            return true;
        }
        if (qwTotal < static_cast<uint32_t>(m_nThreshold)) {
            return true;
        }
        if (m_bThrottle && m_tLastAlertTime.load() > tCutoff) {
            return true;
        }
    }
    pAlert = MakeAlert(tNow);
    if (!pAlert) {
        plat::ConsoleWrite("Unable to allocate new event to trigger rule.\n");
        return true;
    }
    m_tLastAlertTime = tNow;
    return false;
}

std::unique_ptr<AgentEventInfo> CCorrelationRule::MakeAlert(int64_t tNow) {
    std::unique_ptr<AgentEventInfo> pAlert(new (std::nothrow) AgentEventInfoDefault(this, tNow));
    if (!pAlert) {
        return nullptr;
    }
    uint32_t dwAddress = 0;
    CSFSensor* pSensor = CSFSensor::Current();
    if (pSensor != nullptr && plat::ParseIpv4Address(pSensor->GetSensorAddress(), dwAddress)) {
        pAlert->m_dwSourceAddress = dwAddress;
        pAlert->m_bSourceAddressSet = true;
        pAlert->m_dwDestinationAddress = dwAddress;
        pAlert->m_bDestinationAddressSet = true;
    }
    return pAlert;
}

void CCorrelationRule::RaiseAlert(std::unique_ptr<AgentEventInfo> pAlert) {
    if (!pAlert) {
        return;
    }
    // A rule read outside an engine has nowhere to send its alert.
    if (m_pEngine != nullptr) {
        m_pEngine->ExecuteResponses(pAlert.release());
    }
}
