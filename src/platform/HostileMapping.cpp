#include "platform/HostileMapping.h"

#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "platform/FaultTrap.h"
#include "platform/LastError.h"

namespace plat {
namespace {

// A slot's life: free, taken by a Guard filling it in, guarding, and
// leaving while a Release waits for the handlers that look at it.
enum : uint32_t { kSlotFree, kSlotFilling, kSlotGuarding, kSlotLeaving };

// The repair of a guarded range: none yet, under way on some thread, done
// (the range reads zeros), or failed (the fault goes on as any other).
enum : uint32_t { kRepairNone, kRepairUnderWay, kRepairDone, kRepairFailed };

// Read by the fault handler, so only lock-free words, in storage made
// before any thread runs.
struct Slot {
    std::atomic<uint32_t> state{kSlotFree};
    // Handlers looking at the slot now: a Release waits for them, so a
    // range is never mapped over after its owner let it go.
    std::atomic<uint32_t> lookers{0};
    std::atomic<uintptr_t> start{0};
    std::atomic<size_t> length{0};
    std::atomic<int> protection{0};
    std::atomic<uint32_t> repair{kRepairNone};
};
static_assert(std::atomic<uint32_t>::is_always_lock_free && std::atomic<uintptr_t>::is_always_lock_free &&
              std::atomic<size_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

Slot g_slots[HostileMapping::kMaxGuarded];

size_t PageSize() {
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// Maps private zero pages over the slot's range, once: a second thread
// faulting in it meanwhile makes its access again and finds the zeros, or
// faults again until they are there.
bool Repair(Slot& slot, uintptr_t start, size_t length) {
    uint32_t repair = kRepairNone;
    if (!slot.repair.compare_exchange_strong(repair, kRepairUnderWay)) {
        return repair != kRepairFailed;
    }
    // The system call itself: what a checked build puts around mmap is not
    // for a signal handler.
    const long mapped = syscall(SYS_mmap, start, length, slot.protection.load(),
                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    const bool repaired = mapped == static_cast<long>(start);
    slot.repair.store(repaired ? kRepairDone : kRepairFailed);
    return repaired;
}

}  // namespace

bool HostileMapping::Guard(void* start, size_t length, int protection) {
    Release();
    if (start == nullptr || length == 0) {
        SetLastError(kErrInvalidParameter);
        return false;
    }
    InstallFaultHandlers();
    for (size_t i = 0; i < kMaxGuarded; ++i) {
        Slot& slot = g_slots[i];
        uint32_t expected = kSlotFree;
        if (!slot.state.compare_exchange_strong(expected, kSlotFilling)) {
            continue;
        }
        const size_t page = PageSize();
        slot.start.store(reinterpret_cast<uintptr_t>(start));
        // The system maps whole pages: an access past the object's end but
        // inside its last page faults too.
        slot.length.store((length + page - 1) / page * page);
        slot.protection.store(protection);
        slot.repair.store(kRepairNone);
        slot.state.store(kSlotGuarding);
        m_nSlot = static_cast<int>(i);
        m_pLastByte = static_cast<const volatile uint8_t*>(start) + length - 1;
        m_length = length;
        return true;
    }
    SetLastError(kErrNotEnoughMemory);
    return false;
}

void HostileMapping::Release() {
    if (m_nSlot < 0) {
        return;
    }
    Slot& slot = g_slots[m_nSlot];
    slot.state.store(kSlotLeaving);
    // A handler that counted itself in before the state changed may be
    // mapping over the range right now.
    while (slot.lookers.load() != 0) {
        sched_yield();
    }
    slot.start.store(0);
    slot.length.store(0);
    slot.state.store(kSlotFree);
    m_nSlot = -1;
    m_pLastByte = nullptr;
    m_length = 0;
}

bool HostileMapping::Cut() const {
    return m_nSlot >= 0 && g_slots[m_nSlot].repair.load() == kRepairDone;
}

bool HostileMapping::Check() const {
    if (m_pLastByte != nullptr) {
        // Faults, and is repaired, when the object ends before it.
        static_cast<void>(*m_pLastByte);
    }
    return Cut();
}

bool HostileMapping::Check(int fd) const {
    struct stat info;
    if (Check() || m_nSlot < 0 || fstat(fd, &info) != 0 || info.st_size >= static_cast<off_t>(m_length)) {
        return Cut();
    }
    // Counted among the lookers as a fault handler is, so that a Release
    // on another thread waits for the repair.
    Slot& slot = g_slots[m_nSlot];
    slot.lookers.fetch_add(1);
    if (slot.state.load() == kSlotGuarding) {
        Repair(slot, slot.start.load(), slot.length.load());
    }
    slot.lookers.fetch_sub(1);
    return Cut();
}

bool WritableByOthers(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
        return false;
    }
    return info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool OwnedBySelf(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && info.st_uid == geteuid();
}

bool RepairCutMapping(int signal, const siginfo_t* info) {
    // Only a real access past an object's end: a SIGBUS another process
    // sent is not repaired.
    if (signal != SIGBUS || info == nullptr || info->si_code <= 0) {
        return false;
    }
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (Slot& slot : g_slots) {
        slot.lookers.fetch_add(1);
        bool repaired = false;
        bool inside = false;
        if (slot.state.load() == kSlotGuarding) {
            const uintptr_t start = slot.start.load();
            const size_t length = slot.length.load();
            inside = address - start < length;
            if (inside) {
                repaired = Repair(slot, start, length);
            }
        }
        slot.lookers.fetch_sub(1);
        if (inside) {
            return repaired;
        }
    }
    return false;
}

}  // namespace plat
