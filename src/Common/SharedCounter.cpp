#include "Common/SharedCounter.h"

#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/jsFastLock.h"

SharedCounter::SharedCounter(uint32_t dwInitial) {
    CSF_TRACE(kCSFLogInfo, "Shared counter init to %lu", static_cast<unsigned long>(dwInitial));
    m_dwValue.store(dwInitial, std::memory_order_relaxed);
}

SharedCounter::~SharedCounter() = default;

SharedCounter& SharedCounter::operator++() {
    jsFastLock guard(m_Lock, true);
    uint32_t dwValue = Value() + 1;
    m_dwValue.store(dwValue, std::memory_order_relaxed);
    CSF_TRACE(kCSFLogInfo, "incremented to %lu", static_cast<unsigned long>(dwValue));
    return *this;
}

SharedCounter& SharedCounter::operator--() {
    jsFastLock guard(m_Lock, true);
    uint32_t dwValue = Value() - 1;
    m_dwValue.store(dwValue, std::memory_order_relaxed);
    CSF_TRACE(kCSFLogInfo, "decremented to %lu", static_cast<unsigned long>(dwValue));
    return *this;
}

SharedCounter& SharedCounter::operator+=(uint32_t dwAmount) {
    jsFastLock guard(m_Lock, true);
    uint32_t dwValue = Value() + dwAmount;
    m_dwValue.store(dwValue, std::memory_order_relaxed);
    CSF_TRACE(kCSFLogInfo, "imcremented (by %d) to %lu", static_cast<int>(dwAmount),
              static_cast<unsigned long>(dwValue));
    return *this;
}

SharedCounter& SharedCounter::operator-=(uint32_t dwAmount) {
    jsFastLock guard(m_Lock, true);
    uint32_t dwValue = Value() - dwAmount;
    m_dwValue.store(dwValue, std::memory_order_relaxed);
    CSF_TRACE(kCSFLogInfo, "decremented (by %d) to %lu", static_cast<int>(dwAmount),
              static_cast<unsigned long>(dwValue));
    return *this;
}

SharedCounter::operator int() const {
    uint32_t dwValue = Value();
    CSF_TRACE(kCSFLogInfo, "converting %ld to int", static_cast<long>(dwValue));
    return static_cast<int>(dwValue);
}

SharedCounter::operator long() const {
    uint32_t dwValue = Value();
    CSF_TRACE(kCSFLogInfo, "converting %ld to long", static_cast<long>(dwValue));
    return static_cast<long>(dwValue);
}

SharedCounter::operator short() const {
    uint32_t dwValue = Value();
    CSF_TRACE(kCSFLogInfo, "converting %ld to short", static_cast<long>(dwValue));
    return static_cast<short>(dwValue & 0xFFFFu);
}

bool SharedCounter::operator<(uint32_t dwValue) const {
    return Value() < dwValue;
}

bool SharedCounter::operator>(uint32_t dwValue) const {
    return Value() > dwValue;
}

bool SharedCounter::operator==(uint32_t dwValue) const {
    return Value() == dwValue;
}

bool SharedCounter::operator<=(uint32_t dwValue) const {
    return Value() <= dwValue;
}

bool SharedCounter::operator>=(uint32_t dwValue) const {
    return Value() >= dwValue;
}
