#pragma once
// A clock the tests move by hand, installed for the scope of a test.

#include <atomic>
#include <cstdint>

#include "IDS/IDSClock.h"

class ScopedTestClock {
public:
    explicit ScopedTestClock(int64_t nStart = 1'000'000) {
        Now() = nStart;
        SetIDSClock([] { return Now().load(); });
    }
    ~ScopedTestClock() { SetIDSClock(nullptr); }
    ScopedTestClock(const ScopedTestClock&) = delete;
    ScopedTestClock& operator=(const ScopedTestClock&) = delete;

    void Advance(int64_t nSeconds) { Now() += nSeconds; }
    int64_t Get() const { return Now().load(); }

private:
    static std::atomic<int64_t>& Now() {
        static std::atomic<int64_t> nNow{0};
        return nNow;
    }
};
