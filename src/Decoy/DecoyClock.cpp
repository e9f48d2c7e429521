#include "Decoy/DecoyClock.h"

#include <atomic>

#include "platform/Clock.h"

namespace {

uint32_t WallClock() {
    return static_cast<uint32_t>(plat::ReadClock().m_iSeconds);
}

std::atomic<DecoyTimeSource> g_pSource{&WallClock};

}  // namespace

uint32_t DecoyTimeNow() {
    return g_pSource.load(std::memory_order_relaxed)();
}

DecoyTimeSource SetDecoyTimeSource(DecoyTimeSource source) {
    DecoyTimeSource previous = g_pSource.exchange(source != nullptr ? source : &WallClock);
    return previous == &WallClock ? nullptr : previous;
}
