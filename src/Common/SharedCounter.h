#pragma once
// An unsigned 32-bit counter that several threads change under its own
// lock, with a debug trace of every change.  Reads take no lock: a reader
// sees the old value or the new one.

#include <atomic>
#include <cstdint>

#include "qorToolsLib/jsSync.h"

class SharedCounter {
public:
    explicit SharedCounter(uint32_t dwInitial);
    SharedCounter(const SharedCounter&) = delete;
    SharedCounter& operator=(const SharedCounter&) = delete;
    virtual ~SharedCounter();

    // Changes wrap around at 32 bits.
    virtual SharedCounter& operator++();
    virtual SharedCounter& operator--();
    virtual SharedCounter& operator+=(uint32_t dwAmount);
    virtual SharedCounter& operator-=(uint32_t dwAmount);

    virtual operator int() const;
    virtual operator long() const;
    // The low 16 bits.
    virtual operator short() const;

    virtual bool operator<(uint32_t dwValue) const;
    virtual bool operator>(uint32_t dwValue) const;
    virtual bool operator==(uint32_t dwValue) const;
    virtual bool operator<=(uint32_t dwValue) const;
    virtual bool operator>=(uint32_t dwValue) const;

    uint32_t Value() const { return m_dwValue.load(std::memory_order_relaxed); }

private:
    std::atomic<uint32_t> m_dwValue;
    jsFastSync m_Lock;
};
