#pragma once
// The root of the thread, lock, event and semaphore family.  An object
// whose constructor could not obtain its system resource is invalid, and
// the operations that would touch the resource refuse.

#include <cstdint>

class jsBase {
public:
    virtual bool IsValid() const { return m_uValid != 0; }
    virtual ~jsBase() = default;

protected:
    explicit jsBase(uint32_t valid = 1) : m_uValid(valid) {}
    jsBase(const jsBase&) = default;
    jsBase& operator=(const jsBase&) = default;

    uint32_t m_uValid;
};
