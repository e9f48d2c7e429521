#pragma once
// A process-local event, manual- or auto-reset.  An auto-reset event lets
// exactly one waiter through per Set; a manual-reset one stays signalled
// until Reset.

#include <condition_variable>
#include <mutex>

#include "platform/Thread.h"
#include "platform/Wait.h"

namespace plat {

class Event final : public CancelWake {
public:
    Event(bool manualReset, bool initiallySignalled)
        : m_manualReset(manualReset), m_signalled(initiallySignalled) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool Set();
    bool Reset();

    // kWaitSignalled (consuming the signal of an auto-reset event) or
    // kWaitTimeout.  A cancellable wait is a cancellation point of layer
    // threads: it throws ThreadCancelled when the thread is cancelled
    // before or during the wait.
    WaitResult Wait(uint32_t ms, bool cancellable = false);

    void WakeForCancel() override;

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    const bool m_manualReset;
    bool m_signalled;
};

}  // namespace plat
