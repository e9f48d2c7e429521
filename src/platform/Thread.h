#pragma once
// Threads of the layer.  A thread is created parked at its start gate, can
// be given its priority there, and runs its routine once resumed.
//
// No thread is ever killed: a thread may hold a process-wide lock at any
// moment, and killing it would leave that lock held for good.  Cancel makes
// a thread still parked at its gate leave there with kExitCodeStopped, and
// makes a running thread unwind from the next cancellable wait it enters
// (see CancelWake below) by a ThreadCancelled exception; its routine's
// caller turns that into kExitCodeStopped.  A running thread that never
// waits is not stopped by Cancel.

#include <sys/types.h>

#include <cstdint>
#include <memory>

#include "platform/Wait.h"

namespace plat {

constexpr uint32_t kStillActive = 259;
constexpr uint32_t kExitCodeStopped = 0xDEAD;

// Unwinds a cancelled thread from its wait.  Deliberately not derived from
// std::exception, so a body that catches those lets it pass.
struct ThreadCancelled {};

struct ThreadControl;

class Thread {
public:
    using Routine = uint32_t (*)(void* argument);

    Thread() = default;
    ~Thread() { Close(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts a thread parked at its gate; it runs `routine` after Resume.
    // Returns once the thread's id is known.  False, with the last error
    // set, when the system refuses or a thread already exists.
    bool Create(Routine routine, void* argument);
    bool Resume();

    // Asks the thread to end without killing it (see above).  False when
    // there is no thread.
    bool Cancel();

    // kWaitSignalled once the thread has ended, kWaitTimeout, or
    // kWaitFailed when there is no thread.
    WaitResult Join(uint32_t ms) const;

    // kStillActive until the thread ends; kExitCodeStopped without a thread.
    uint32_t ExitCode() const;
    bool Exists() const { return m_control != nullptr; }
    uint32_t Id() const;
    bool IsCurrent() const;

    // Keeps `priority` (-2 lowest to 2 highest) and applies it where the
    // system permits (raising it may need privileges).  True when applied;
    // a parked thread applies it itself when it passes its gate.
    bool SetPriority(int priority);
    int Priority() const;

    // Lets go of the thread: an ended one is reaped, a parked one leaves at
    // its gate, a running one runs on unowned.
    void Close();

    static uint32_t CurrentId();

private:
    std::shared_ptr<ThreadControl> m_control;
};

// Cancellation points.  An object that a cancellable wait sleeps on
// implements WakeForCancel, which must wake every sleeper so that each
// re-checks CancelRequested.
class CancelWake {
public:
    virtual void WakeForCancel() = 0;

protected:
    ~CancelWake() = default;
};

// Whether the calling thread has been asked to cancel (false on threads
// that the layer did not create).
bool CancelRequested();

// Registers `wake` as what the calling thread is about to sleep on; throws
// ThreadCancelled when a cancel has already been asked.
void EnterCancellableWait(CancelWake* wake);

// Unregisters it; true when a cancel was asked meanwhile (the caller then
// throws ThreadCancelled once its own locks are released).
bool LeaveCancellableWait();

}  // namespace plat
