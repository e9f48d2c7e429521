#pragma once
// How long the calling thread slept since the clock was made: the time it
// was off the processor of its own accord (on a lock, a futex, a timer, a
// read), apart from the time it ran and the time it was ready but waited
// for a processor.  A step that must not wait is told from one that waited
// out a deadline by this, whatever else the machine is doing: however busy
// it is, a thread that never waits never sleeps, while wall time grows
// with every thread that runs beside it.
//
// The system's figures of the thread's running and queueing are read from
// /proc/thread-self/schedstat; where it can not be read, the sleep is taken
// as the whole wall time, which is at least as strict.

#include <chrono>
#include <cstdio>

namespace hwtest {

class SleepClock {
public:
    SleepClock() : m_start(std::chrono::steady_clock::now()), m_bKnown(Read(m_llRunNs, m_llQueuedNs)) {}

    std::chrono::nanoseconds Slept() const {
        const auto wall = std::chrono::steady_clock::now() - m_start;
        long long llRunNs = 0;
        long long llQueuedNs = 0;
        if (!m_bKnown || !Read(llRunNs, llQueuedNs)) {
            return wall;
        }
        const auto busy = std::chrono::nanoseconds((llRunNs - m_llRunNs) + (llQueuedNs - m_llQueuedNs));
        return busy < wall ? std::chrono::duration_cast<std::chrono::nanoseconds>(wall - busy)
                           : std::chrono::nanoseconds(0);
    }
    // The wall time since the clock was made, for the messages.
    std::chrono::steady_clock::duration Wall() const { return std::chrono::steady_clock::now() - m_start; }

private:
    static bool Read(long long& llRunNs, long long& llQueuedNs) {
        std::FILE* pFile = std::fopen("/proc/thread-self/schedstat", "r");
        if (pFile == nullptr) {
            return false;
        }
        const bool bRead = std::fscanf(pFile, "%lld %lld", &llRunNs, &llQueuedNs) == 2;
        std::fclose(pFile);
        return bRead;
    }

    std::chrono::steady_clock::time_point m_start;
    long long m_llRunNs = 0;
    long long m_llQueuedNs = 0;
    bool m_bKnown = false;
};

// Milliseconds, for a message.
template <typename Duration>
long long Ms(Duration duration) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
}

}  // namespace hwtest
