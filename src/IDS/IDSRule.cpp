#include "IDS/IDSRule.h"

#include <algorithm>
#include <new>
#include <string>

#include "Common/InputBounds.h"
#include "IDS/IDSClock.h"

CIDSRule::CIDSRule() = default;

CIDSRule::CIDSRule(const CIDSRule& source) : Rule(source) {
    CopyOwnFields(source);
    m_TValues = source.m_TValues;
}

CIDSRule::~CIDSRule() = default;

Rule* CIDSRule::Clone() const {
    return new (std::nothrow) CIDSRule(*this);
}

CIDSRule& CIDSRule::operator=(const CIDSRule& source) {
    if (this != &source) {
        Rule::operator=(source);
        CopyOwnFields(source);
    }
    return *this;
}

void CIDSRule::CopyOwnFields(const CIDSRule& source) {
    m_dwEventId = source.m_dwEventId;
    m_nTID = source.m_nTID;
    m_dwRuleKind = source.m_dwRuleKind;
    m_dwUnused = source.m_dwUnused;
    m_dwProtocolType = source.m_dwProtocolType;
    m_wPort = source.m_wPort;
    m_wAllow = source.m_wAllow;
    m_wReportOnly = source.m_wReportOnly;
    m_wUnused = source.m_wUnused;
    m_strAddresses = source.m_strAddresses;
    std::copy(std::begin(source.m_dwParameters), std::end(source.m_dwParameters), m_dwParameters);
    m_Filter = source.m_Filter;
    {
        std::scoped_lock guard(m_FilterLock, source.m_FilterLock);
        m_History = source.m_History;
    }
    m_strPolicyPath = source.m_strPolicyPath;
    m_strShortName = source.m_strShortName;
}

size_t CIDSRule::HistorySize() const {
    std::lock_guard<std::mutex> guard(m_FilterLock);
    return m_History.size();
}

void CIDSRule::Filter(uint32_t dwSrc, uint32_t dwDst, uint32_t dwSrcPort, uint32_t dwDstPort,
                      bool& bFiltered, bool& bNonFiltered) {
    bFiltered = false;
    bNonFiltered = false;
    if (m_Filter.OwnFilter == 0) {
        return;
    }
    bool bForgot = false;
    {
        std::lock_guard<std::mutex> guard(m_FilterLock);
        FilterLocked(dwSrc, dwDst, dwSrcPort, dwDstPort, bFiltered, bNonFiltered, bForgot);
    }
    if (bForgot) {
        // The forgotten packet's repeats alert again until it is learnt
        // anew: said, outside the rule's lock, as the filter's bound.
        m_FilterBound.LeftOut([&]() -> InputBound& {
            return InputBounds::Instance().Bound(
                "rule " + GetName(), "repeat filter of " + std::to_string(kMaxHistory) + " packets",
                "remembered packets", GetName(), nullptr, InputBound::Fate::kNotLost);
        });
    }
}

void CIDSRule::FilterLocked(uint32_t dwSrc, uint32_t dwDst, uint32_t dwSrcPort, uint32_t dwDstPort,
                            bool& bFiltered, bool& bNonFiltered, bool& bForgot) {
    const FilterSettings& f = m_Filter;
    const int64_t nNow = IDSNow();

    auto stale = [&](const std::shared_ptr<FilterHistory>& pEntry) {
        if (f.NoiseThreshold != 0) {
            return pEntry->count >= f.NoiseThreshold;
        }
        return nNow - static_cast<int64_t>(pEntry->firstTime) >= static_cast<int64_t>(f.IgnoreInterval);
    };
    m_History.erase(std::remove_if(m_History.begin(), m_History.end(), stale), m_History.end());

    FilterHistory* pEntry = nullptr;
    try {
        if (f.UseEngineDefault == 0) {
            for (const std::shared_ptr<FilterHistory>& pCandidate : m_History) {
                const FilterHistory& e = *pCandidate;
                if ((f.UseSourceAddress == 0 || e.srcAddress == dwSrc) &&
                    (f.UseDestAddress == 0 || e.dstAddress == dwDst) &&
                    (f.UseSourcePort == 0 || e.srcPort == dwSrcPort) &&
                    (f.UseDestPort == 0 || e.dstPort == dwDstPort) && e.srcAddress != 0 &&
                    e.dstAddress != 0) {
                    pEntry = pCandidate.get();
                    break;
                }
            }
            if (pEntry == nullptr) {
                if (m_History.size() >= kMaxHistory) {
                    m_History.erase(m_History.begin());
                    bForgot = true;
                }
                auto pNew = std::make_shared<FilterHistory>();
                *pNew = FilterHistory{dwSrc, dwDst, dwSrcPort, dwDstPort, 0, 0};
                m_History.push_back(pNew);
                pEntry = pNew.get();
            }
        } else {
            if (m_History.empty()) {
                m_History.push_back(std::make_shared<FilterHistory>());
            }
            pEntry = m_History.front().get();
        }
    } catch (const std::bad_alloc&) {
        // Without memory for the history the match is let through unfiltered.
        return;
    }

    ++pEntry->count;
    const uint32_t dwNow = static_cast<uint32_t>(nNow);
    if (f.NoiseThreshold == 0 && f.IgnoreInterval != 0) {
        if (pEntry->count == 1) {
            pEntry->firstTime = dwNow;
        } else if (nNow - static_cast<int64_t>(pEntry->firstTime) < static_cast<int64_t>(f.IgnoreInterval)) {
            bFiltered = true;
        }
    }
    if (f.NoiseThreshold != 0) {
        if (pEntry->firstTime == 0) {
            pEntry->firstTime = dwNow;
        }
        if (pEntry->count < f.NoiseThreshold) {
            bNonFiltered = true;
        }
    }
    if (f.FloodProtection != 0 && pEntry->count >= 2) {
        bNonFiltered = true;
    }
}
