#include "Common/CCorrelationRuleHits.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

// The granule a time falls in; times before 1970 round down too.
int64_t GranuleOf(int64_t tTime, int64_t tGranule) {
    const int64_t tQuotient = tTime / tGranule;
    return tTime % tGranule < 0 ? tQuotient - 1 : tQuotient;
}

}  // namespace

int64_t CCorrelationRuleHits::FoldGranule(int32_t nWindow) {
    if (nWindow <= kFoldedEntries) {
        return 1;
    }
    return (static_cast<int64_t>(nWindow) + kFoldedEntries - 1) / kFoldedEntries;
}

uint64_t CCorrelationRuleHits::KeptCount() const {
    uint64_t qwKept = 0;
    for (size_t n = 0; n < m_nKept; ++n) {
        qwKept += At(n).m_dwCount;
    }
    return qwKept;
}

void CCorrelationRuleHits::Release(Kept& entry) {
    m_nKeptBytes -= entry.m_strValue.size();
    if (entry.m_strValue.capacity() > kReusedBuffer) {
        std::string().swap(entry.m_strValue);
    } else {
        entry.m_strValue.clear();
    }
}

void CCorrelationRuleHits::AddFolded(int64_t tTime, uint64_t qwCount, int64_t tGranule) {
    const int64_t nGranule = GranuleOf(tTime, tGranule);
    auto at = m_Folded.end();
    while (at != m_Folded.begin() && GranuleOf(std::prev(at)->m_tTime, tGranule) > nGranule) {
        --at;
    }
    if (at != m_Folded.begin() && GranuleOf(std::prev(at)->m_tTime, tGranule) == nGranule) {
        Folded& shared = *std::prev(at);
        shared.m_qwCount += qwCount;
        shared.m_tTime = std::max(shared.m_tTime, tTime);
        return;
    }
    m_Folded.insert(at, Folded{tTime, qwCount});
    // Only a clock set back and forth, or a window made longer, spreads
    // folded hits over more entries than a window takes: the oldest then
    // join the next, which keeps them counted a little longer.
    while (m_Folded.size() > static_cast<size_t>(kFoldedEntries) + 2) {
        m_Folded[1].m_qwCount += m_Folded.front().m_qwCount;
        m_Folded.pop_front();
    }
}

uint64_t CCorrelationRuleHits::FoldOldest(int64_t tGranule) {
    Kept& oldest = At(0);
    // Hits without a value lose nothing to the fold.
    const uint64_t qwHits = oldest.m_strValue.empty() ? 0 : oldest.m_dwCount;
    AddFolded(oldest.m_tTime, oldest.m_dwCount, tGranule);
    Release(oldest);
    m_nHead = (m_nHead + 1) % m_Ring.size();
    --m_nKept;
    return qwHits;
}

void CCorrelationRuleHits::MakeRoom() {
    if (m_nKept < m_Ring.size()) {
        return;
    }
    std::rotate(m_Ring.begin(), m_Ring.begin() + static_cast<std::ptrdiff_t>(m_nHead),
                m_Ring.end());
    m_nHead = 0;
    m_Ring.resize(std::min(std::max<size_t>(16, m_Ring.size() * 2), kMaxKept));
}

CCorrelationRuleHits::Kept& CCorrelationRuleHits::InsertAt(size_t nAt) {
    MakeRoom();
    // The free entry moves to its place with its buffer.
    for (size_t n = m_nKept; n > nAt; --n) {
        std::swap(At(n), At(n - 1));
    }
    ++m_nKept;
    return At(nAt);
}

uint64_t CCorrelationRuleHits::Add(int64_t tTime, const std::string& strValue, int64_t tGranule) {
    ++m_qwCount;
    size_t nAt = m_nKept;
    while (nAt > 0 && At(nAt - 1).m_tTime > tTime) {
        --nAt;
    }
    if (nAt > 0) {
        Kept& previous = At(nAt - 1);
        if (previous.m_tTime == tTime && previous.m_dwCount < UINT32_MAX &&
            previous.m_strValue == strValue) {
            ++previous.m_dwCount;
            return 0;
        }
    }
    if (strValue.size() > kMaxValueBytes) {
        AddFolded(tTime, 1, tGranule);
        return 1;
    }
    uint64_t qwFolded = 0;
    while (m_nKept == kMaxKept || m_nKeptBytes + strValue.size() > kMaxKeptBytes) {
        // Older than everything kept: this hit is the one to fold.
        if (nAt == 0) {
            AddFolded(tTime, 1, tGranule);
            return qwFolded + (strValue.empty() ? 0 : 1);
        }
        qwFolded += FoldOldest(tGranule);
        --nAt;
    }
    Kept& entry = InsertAt(nAt);
    entry.m_tTime = tTime;
    entry.m_dwCount = 1;
    entry.m_strValue.assign(strValue);
    m_nKeptBytes += strValue.size();
    return qwFolded;
}

uint64_t CCorrelationRuleHits::Expire(int64_t tCutoff) {
    uint64_t qwGone = 0;
    while (m_nKept > 0 && At(0).m_tTime < tCutoff) {
        qwGone += At(0).m_dwCount;
        Release(At(0));
        m_nHead = (m_nHead + 1) % m_Ring.size();
        --m_nKept;
    }
    while (!m_Folded.empty() && m_Folded.front().m_tTime < tCutoff) {
        qwGone += m_Folded.front().m_qwCount;
        m_Folded.pop_front();
    }
    m_qwCount -= qwGone;
    return qwGone;
}

void CCorrelationRuleHits::Clear() {
    for (size_t n = 0; n < m_nKept; ++n) {
        Release(At(n));
    }
    m_nHead = 0;
    m_nKept = 0;
    m_nKeptBytes = 0;
    m_Folded.clear();
    m_qwCount = 0;
}
