#include "IDS/IDSClock.h"

#include <atomic>
#include <ctime>

namespace {

std::atomic<IDSClockFunction> g_pClock{nullptr};

}  // namespace

int64_t IDSNow() {
    IDSClockFunction pClock = g_pClock.load(std::memory_order_relaxed);
    return pClock != nullptr ? pClock() : static_cast<int64_t>(std::time(nullptr));
}

void SetIDSClock(IDSClockFunction pClock) {
    g_pClock.store(pClock, std::memory_order_relaxed);
}
