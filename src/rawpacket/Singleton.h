#pragma once
// The process-wide registry of the library's singletons (the packet library
// loader, the driver registry, the driver-kind table): eight slots,
// released in slot order when the process ends.

#include <cstdint>

namespace rp {

class Singleton {
public:
    explicit Singleton(uint32_t identifier) : m_dwIdentifier(identifier) {}
    virtual ~Singleton() = default;
    virtual void release() = 0;

    uint32_t identifier() const { return m_dwIdentifier; }
    int slot() const { return m_nSlot; }
    void setSlot(int slot) { m_nSlot = slot; }

private:
    uint32_t m_dwIdentifier;
    int m_nSlot = 8;
};

// With an object: stores it in the first free slot and answers it with the
// slot number (1 to 8); a full table answers null and slot 8.  Without one:
// slot -1 empties the table, slot 1 to 8 answers that slot's object, any
// other slot null and slot 8.
Singleton* registerSingleton(Singleton* object, int& slot);

}  // namespace rp
