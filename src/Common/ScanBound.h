#pragma once
// A bound met at each look over the same things (a log group's scan of its
// files, an audit rule's look at its file patterns): each look says how
// much the bound left out, and what an earlier look already left out is not
// counted again, so a folder that stays as it is counts its files once
// however many looks meet it, and counts again only what grows.  The bound's handle (Common/InputBounds.h) is taken the first
// time something is left out, so a group that never reaches it takes no
// place in the table of bounds.

#include <cstdint>
#include <string>
#include <utility>

#include "Common/InputBounds.h"

class ScanBound {
public:
    ScanBound(std::string strLimit, const char* pszWhat)
        : m_strLimit(std::move(strLimit)), m_pszWhat(pszWhat) {}

    // What the bound left out at this look at `strInput` (the same input
    // every time).
    void LeftOutAtScan(const std::string& strInput, uint64_t qwNow) {
        if (qwNow > m_qwLast) {
            if (m_pBound == nullptr) {
                m_pBound = &InputBounds::Instance().Bound(strInput, m_strLimit, m_pszWhat);
            }
            m_pBound->LeftOut(qwNow - m_qwLast);
        }
        m_qwLast = qwNow;
    }

private:
    std::string m_strLimit;
    const char* m_pszWhat;
    InputBound* m_pBound = nullptr;
    uint64_t m_qwLast = 0;
};
