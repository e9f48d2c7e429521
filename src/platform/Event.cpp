#include "platform/Event.h"

namespace plat {

bool Event::Set() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_signalled = true;
    // Every sleeper re-checks; for an auto-reset event only the first to
    // run takes the signal.  Waking just one could pick a cancelled
    // sleeper that leaves without taking it.
    m_changed.notify_all();
    return true;
}

bool Event::Reset() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_signalled = false;
    return true;
}

void Event::WakeForCancel() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_changed.notify_all();
}

WaitResult Event::Wait(uint32_t ms, bool cancellable) {
    if (cancellable) {
        EnterCancellableWait(this);
    }
    bool signalled;
    {
        std::unique_lock<std::mutex> guard(m_lock);
        auto ready = [&] { return m_signalled || (cancellable && CancelRequested()); };
        if (ms == kInfinite) {
            m_changed.wait(guard, ready);
        } else if (ms != 0) {
            m_changed.wait_until(guard, DeadlineAfter(ms), ready);
        }
        signalled = m_signalled && !(cancellable && CancelRequested());
        if (signalled && !m_manualReset) {
            m_signalled = false;
        }
    }
    // A signal already taken is not thrown away: the thread goes on with it
    // and meets the cancel at its next wait.
    if (cancellable && LeaveCancellableWait() && !signalled) {
        throw ThreadCancelled{};
    }
    return signalled ? kWaitSignalled : kWaitTimeout;
}

}  // namespace plat
