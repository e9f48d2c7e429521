#pragma once
// A bound met at each look over the same things (a log group's scan of its
// files, an audit rule's look at its file patterns): each look says how
// much the bound left out, and what an earlier look already left out is not
// counted again, so a folder that stays as it is counts its files once
// however many looks meet it, and counts again only what grows.  That holds
// across the object too: the input's rule or group may be read afresh at
// every policy load, and a look made through the new object counts only
// what grew since the last look through the old one at the same bound.
// The bound's handle (Common/InputBounds.h) is taken the first time
// something is left out, so a group that never reaches it takes no place in
// the table of bounds.  An input that a load removes ends its bound (End);
// one that comes back then counts what its looks find afresh.

#include <cstdint>
#include <string>
#include <utility>

#include "Common/InputBounds.h"

class ScanBound {
public:
    ScanBound(std::string strLimit, const char* pszWhat, InputBound::Fate fate = InputBound::Fate::kLost)
        : m_strLimit(std::move(strLimit)), m_pszWhat(pszWhat), m_fate(fate) {}

    // What the bound left out at this look at `strInput` (the same input
    // every time), which is the input of the rule `strRule` when given
    // (InputBounds::EndRulesExcept).
    void LeftOutAtScan(const std::string& strInput, uint64_t qwNow,
                       const std::string& strRule = std::string()) {
        if (m_pBound == nullptr) {
            if (qwNow == 0) {
                return;
            }
            m_pBound = &InputBounds::Instance().Bound(strInput, m_strLimit, m_pszWhat, strRule, nullptr, m_fate);
        }
        // The bound keeps what its last look found, whichever object made
        // it, and a bound ended since counts afresh.
        m_pBound->LeftOutAtLook(qwNow);
    }

    // The input is gone: its bound, when it reached it, ends.
    void End() {
        if (m_pBound != nullptr) {
            InputBounds::Instance().End(*m_pBound);
        }
    }

private:
    std::string m_strLimit;
    const char* m_pszWhat;
    InputBound::Fate m_fate;
    InputBound* m_pBound = nullptr;
};
