#pragma once
// The host's control signals, taken synchronously by the main thread.  The
// constructor blocks them in the calling thread, and so in every thread
// started after it: they then reach only Wait, never a plug-in thread.

#include <csignal>
#include <cstdint>

enum class HostSignal {
    kNone,     // the deadline passed
    kReload,   // SIGHUP
    kPause,    // SIGUSR1
    kResume,   // SIGUSR2
    kStop,     // SIGINT or SIGTERM
};

class SignalWaiter {
public:
    SignalWaiter();
    ~SignalWaiter();
    SignalWaiter(const SignalWaiter&) = delete;
    SignalWaiter& operator=(const SignalWaiter&) = delete;

    // Waits at most `timeoutMs` (0xFFFFFFFF without limit) for the next
    // control signal.
    HostSignal Wait(uint32_t timeoutMs);

private:
    sigset_t m_signals;
    sigset_t m_previous;
};
