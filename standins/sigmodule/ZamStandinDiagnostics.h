#pragma once
// What the module lets its own tests see, through two indices of
// `zamSymbol` beyond the contract's: process-wide counters, and the
// callbacks one instance has registered.

#include <atomic>
#include <cstdint>

namespace sigmod {

constexpr uint32_t kDiagnosticsIndex = 250;      // const ModuleCounters* ()
constexpr uint32_t kCallbackMaskIndex = 251;     // uint32_t (handle)
constexpr uint32_t kLastParameterIndex = 252;    // const char* (handle): "name=value"

// Slave threads create and use instances side by side, hence atomics.
struct ModuleCounters {
    std::atomic<uint32_t> m_dwInitializeCalls{0};
    std::atomic<uint32_t> m_dwFinalizeCalls{0};
    std::atomic<uint32_t> m_dwCoalescerInitializeCalls{0};
    std::atomic<uint32_t> m_dwCoalescerFinalizeCalls{0};
    std::atomic<uint32_t> m_dwLiveInstances{0};
    std::atomic<uint32_t> m_dwLiveCoalescers{0};
    std::atomic<uint32_t> m_dwLastCustomerId{0};
    // Frames too short or inconsistent to read as far as their headers say.
    std::atomic<uint32_t> m_dwMalformedFrames{0};
};

// Bits of the callback mask, one per registered callback.
constexpr uint32_t kCallbackIp = 1u << 0;
constexpr uint32_t kCallbackIcmp = 1u << 1;
constexpr uint32_t kCallbackTcp = 1u << 2;
constexpr uint32_t kCallbackUdp = 1u << 3;
constexpr uint32_t kCallbackRpc = 1u << 4;
constexpr uint32_t kCallbackReassembled = 1u << 5;
constexpr uint32_t kCallbackUserDefined = 1u << 6;
constexpr uint32_t kCallbackMac = 1u << 7;

}  // namespace sigmod
