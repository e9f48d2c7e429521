#include "TextLogs/ReadChain.h"

#include <algorithm>
#include <cstring>

void ReadChain::Reset(int64_t llFrom) {
    m_Digest = PrefixDigest();
    m_llFrom = llFrom;
    m_Marks.clear();
    m_llNextMark = 1;
    m_bInHead = true;
    m_llTailStart = llFrom;
    m_AtTailStart = PrefixDigest();
    m_AtHalf = PrefixDigest();
}

void ReadChain::Absorb(const char* pBytes, size_t nCount) {
    while (nCount != 0) {
        size_t nTake = nCount;
        bool bMark = false;
        if (m_llFrom == 0) {
            // The line end that makes the next mark, when it may lie here.
            const int64_t llEnd = End();
            const int64_t llSearch = std::max(llEnd, m_llNextMark - 1);
            const int64_t llStop = llEnd + static_cast<int64_t>(nCount);
            if (llSearch < llStop) {
                const char* pFrom = pBytes + (llSearch - llEnd);
                if (const void* pNewline = std::memchr(pFrom, '\n', static_cast<size_t>(llStop - llSearch))) {
                    nTake = static_cast<size_t>(static_cast<const char*>(pNewline) - pBytes) + 1;
                    bMark = true;
                }
            }
        }
        AbsorbPiece(pBytes, static_cast<int64_t>(nTake));
        if (bMark) {
            AddMark();
        }
        pBytes += nTake;
        nCount -= nTake;
    }
}

void ReadChain::AbsorbZeros(int64_t llCount) {
    if (llCount > 0) {
        AbsorbPiece(nullptr, llCount);
    }
}

void ReadChain::AbsorbPiece(const char* pBytes, int64_t llCount) {
    const int64_t llEnd = End();
    const int64_t llNewEnd = llEnd + llCount;
    // The tail begins at a multiple of kTailHalf from the run's start, at
    // least kTailHalf before the end once that much was read.
    int64_t llStart = m_llTailStart;
    if (llNewEnd - llStart >= 2 * kTailHalf) {
        llStart += (llNewEnd - llStart - kTailHalf) / kTailHalf * kTailHalf;
    }
    int64_t llFed = llEnd;
    const auto FeedTo = [&](int64_t llTo) {
        if (pBytes != nullptr) {
            m_Digest.Feed(pBytes + (llFed - llEnd), static_cast<size_t>(llTo - llFed));
        } else {
            m_Digest.FeedZeros(llTo - llFed);
        }
        llFed = llTo;
    };
    if (llStart != m_llTailStart) {
        if (llStart <= llEnd) {
            // One half on: the digest there was kept when it was read.
            m_AtTailStart = m_AtHalf;
        } else {
            FeedTo(llStart);
            m_AtTailStart = m_Digest;
        }
    }
    const int64_t llHalf = llStart + kTailHalf;
    if (llHalf > llEnd && llHalf <= llNewEnd) {
        FeedTo(llHalf);
        m_AtHalf = m_Digest;
    }
    FeedTo(llNewEnd);
    // The tail's bytes: what it keeps of the old ones, then the new.
    const auto Put = [&](char* pTo, int64_t llFrom, int64_t llTo) {
        if (pBytes != nullptr) {
            std::memcpy(pTo, pBytes + (llFrom - llEnd), static_cast<size_t>(llTo - llFrom));
        } else {
            std::memset(pTo, 0, static_cast<size_t>(llTo - llFrom));
        }
    };
    if (llStart >= llEnd) {
        Put(m_Tail.data(), llStart, llNewEnd);
    } else {
        if (llStart != m_llTailStart) {
            std::memmove(m_Tail.data(), m_Tail.data() + (llStart - m_llTailStart), static_cast<size_t>(llEnd - llStart));
        }
        Put(m_Tail.data() + (llEnd - llStart), llEnd, llNewEnd);
    }
    m_llTailStart = llStart;
}

void ReadChain::AddMark() {
    const int64_t llEnd = End();
    m_Marks.push_back(Mark{llEnd, Digest(), m_bInHead});
    if (m_bInHead && m_Marks.size() < kHeadLines && llEnd < kHeadBytes) {
        m_llNextMark = llEnd + 1;
        return;
    }
    m_bInHead = false;
    int64_t llPower = 1;
    while (llPower > 0 && llPower <= llEnd) {
        llPower *= 2;
    }
    m_llNextMark = llPower > 0 ? llPower : INT64_MAX;
}

void ReadChain::SetTailBefore(const char* pBytes, size_t nCount) {
    nCount = std::min(nCount, m_Tail.size() - 1);
    std::memcpy(m_Tail.data(), pBytes, nCount);
    m_llTailStart = End() - static_cast<int64_t>(nCount);
}
