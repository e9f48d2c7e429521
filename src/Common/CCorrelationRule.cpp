#include "Common/CCorrelationRule.h"

#include <algorithm>
#include <new>

#include "Common/AgentEventInfoDefault.h"
#include "Common/CEngineCorrelation.h"
#include "Common/InputBounds.h"
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

CCorrelationRule::Keeping CCorrelationRule::KeepingNow() const {
    qorFastLock guard(m_lock, true);
    Keeping keeping;
    for (const Slot& slot : m_Slots) {
        keeping.m_nKeptEntries += slot.m_Hits.KeptEntries();
        keeping.m_nKeptBytes += slot.m_Hits.KeptBytes();
        keeping.m_nFoldedEntries += slot.m_Hits.FoldedEntries();
    }
    return keeping;
}

void CCorrelationRule::SetClock(Clock pClock) {
    g_pClock = pClock != nullptr ? pClock : &WallClock;
}

void CCorrelationRule::RecountTotal() {
    m_qwTotal = 0;
    for (const Slot& slot : m_Slots) {
        m_qwTotal += static_cast<uint64_t>(slot.m_dwWeight) * slot.m_Hits.Count();
    }
}

void CCorrelationRule::ExpireHits(Slot& slot, int64_t tCutoff) {
    m_qwTotal -= static_cast<uint64_t>(slot.m_dwWeight) * slot.m_Hits.Expire(tCutoff);
}

bool CCorrelationRule::CountHit(const std::string& strFiredRule, const AgentEventInfo* pRecord,
                                int64_t tNow, int64_t tCutoff, uint64_t& qwTotal,
                                uint64_t& qwFolded) {
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
        m_qwTotal -= static_cast<uint64_t>(pMatch->m_dwWeight) * pMatch->m_Hits.Count();
        pMatch->m_Hits.Clear();
    }
    qwFolded = pMatch->m_Hits.Add(tNow, m_strHitValue,
                                  CCorrelationRuleHits::FoldGranule(m_nTimeWindow));
    m_qwTotal += pMatch->m_dwWeight;
    qwTotal = m_qwTotal;
    return true;
}

void CCorrelationRule::SayFolded(uint64_t qwFolded) {
    m_FoldBound.LeftOut(
        [&]() -> InputBound& {
            return InputBounds::Instance().Bound(
                "correlation rule " + GetName(),
                "at most " + std::to_string(CCorrelationRuleHits::kMaxKept) +
                    " hits of each watched rule kept with their value (" +
                    std::to_string(CCorrelationRuleHits::kMaxKeptBytes / 1024) +
                    " KiB of values), older hits only counted",
                "hit values", GetName());
        },
        qwFolded);
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
        uint64_t qwFolded = 0;
        if (!CountHit(pFiredRule->GetName(), pRecord, tNow, tCutoff, qwTotal, qwFolded)) {
            return true;
        }
        if (qwFolded != 0) {
            SayFolded(qwFolded);
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
