#pragma once
// Results and limits shared by every wait of the layer's locks, events,
// semaphores and threads.

#include <chrono>
#include <cstdint>

namespace plat {

enum WaitResult : uint32_t {
    kWaitSignalled = 0,  // signalled, acquired or ended
    kWaitTimeout = 1,
    kWaitFailed = 2,  // abandoned lock, failed call, invalid object
};

// A wait of this many milliseconds has no limit.
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// The deadline of a wait of `ms` milliseconds from now; time_point::max()
// for kInfinite.
inline std::chrono::steady_clock::time_point DeadlineAfter(uint32_t ms) {
    if (ms == kInfinite) {
        return std::chrono::steady_clock::time_point::max();
    }
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace plat
