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
// the table of bounds.

#include <cstdint>
#include <map>
#include <mutex>
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
        if (m_pBound == nullptr) {
            if (qwNow == 0) {
                return;
            }
            m_pBound = &InputBounds::Instance().Bound(strInput, m_strLimit, m_pszWhat);
            m_qwLast = LastLook(m_pBound, nullptr);
        }
        if (qwNow > m_qwLast) {
            m_pBound->LeftOut(qwNow - m_qwLast);
        }
        m_qwLast = qwNow;
        LastLook(m_pBound, &qwNow);
    }

private:
    // What the last look at `pBound` left out, kept as `pqwNow` when given.
    // A bound's handle lives as long as the process, and the table of
    // bounds is bounded, so this is too.
    static uint64_t LastLook(const InputBound* pBound, const uint64_t* pqwNow) {
        static std::mutex s_lock;
        static std::map<const InputBound*, uint64_t> s_looks;
        std::lock_guard<std::mutex> guard(s_lock);
        uint64_t& qwLast = s_looks[pBound];
        if (pqwNow != nullptr) {
            qwLast = *pqwNow;
        }
        return qwLast;
    }

    std::string m_strLimit;
    const char* m_pszWhat;
    InputBound* m_pBound = nullptr;
    uint64_t m_qwLast = 0;
};
