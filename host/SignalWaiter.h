#pragma once
// The host's control signals.  The constructor blocks them in the calling
// thread, and so in every thread started after it (a plug-in thread never
// takes one), and starts a thread of its own that takes each signal as it
// arrives, while the main thread may be busy carrying out a command.
//
// Signals are not a queue of commands but requests for a state: a stop
// stays asked for, a reload is asked for once however often it came, and
// of the pause and resume signals only the last one counts.  Standard
// signals that are pending together come in the order of their numbers,
// not the order they were sent in, so only signals taken as they arrive
// tell which came last.

#include <chrono>
#include <csignal>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

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

    // Waits at most `timeoutMs` (0xFFFFFFFF without limit) for something to
    // do and answers it: a stop before anything else, then a reload, then
    // kPause or kResume, whichever of the two was received last (once per
    // signal received since the last answer).
    HostSignal Wait(uint32_t timeoutMs);

    // Whether a stop signal has been taken, and when (`pAskedAt`): a stop
    // ends the host within a bound counted from it.
    bool StopAsked(std::chrono::steady_clock::time_point* pAskedAt = nullptr) const;
    // Signals taken so far, of any kind.
    uint64_t Received() const;
    // Whether a signal taken asks for something Wait has not answered yet.
    bool Pending() const;

private:
    void Catch();
    // The next signal taken, or -1 when none was (the waiter may be ending).
    int NextSignal();
    HostSignal TakeLocked();
    bool AskedLocked() const;

    sigset_t m_signals;
    sigset_t m_previous;
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_bStop = false;
    std::chrono::steady_clock::time_point m_stopAskedAt{};
    bool m_bReload = false;
    // The run state the last pause or resume signal asked for, until Wait
    // hands it out.
    HostSignal m_state = HostSignal::kNone;
    bool m_bQuit = false;
    uint64_t m_qwReceived = 0;
    // The signals as a descriptor, and the one that ends the catching
    // thread's wait (-1 when it could not be made).
    int m_signalFd = -1;
    int m_quitFd = -1;
    std::thread m_catcher;
};
