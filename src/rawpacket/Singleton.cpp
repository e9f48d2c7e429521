#include "rawpacket/Singleton.h"

#include <array>

namespace rp {
namespace {

constexpr int kSlots = 8;

// Releases what is registered when the process ends, in slot order, up to
// the first empty slot.
struct SingletonTable {
    std::array<Singleton*, kSlots> m_Slots{};
    ~SingletonTable() {
        for (Singleton*& object : m_Slots) {
            if (object == nullptr) {
                break;
            }
            Singleton* released = object;
            object = nullptr;
            released->release();
        }
    }
};

SingletonTable& Table() {
    static SingletonTable table;
    return table;
}

}  // namespace

Singleton* registerSingleton(Singleton* object, int& slot) {
    SingletonTable& table = Table();
    if (object != nullptr) {
        for (int i = 0; i < kSlots; ++i) {
            if (table.m_Slots[i] == nullptr) {
                table.m_Slots[i] = object;
                slot = i + 1;
                object->setSlot(slot);
                return object;
            }
        }
        slot = kSlots;
        return nullptr;
    }
    if (slot == -1) {
        table.m_Slots.fill(nullptr);
        slot = kSlots;
        return nullptr;
    }
    if (slot >= 1 && slot <= kSlots) {
        return table.m_Slots[slot - 1];
    }
    slot = kSlots;
    return nullptr;
}

}  // namespace rp
