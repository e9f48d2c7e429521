#include "SignalWaiter.h"

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <initializer_list>

namespace {

// How often the catching thread looks whether it should end.
constexpr long kCatchSliceNs = 200 * 1000000L;

}  // namespace

SignalWaiter::SignalWaiter() {
    sigemptyset(&m_signals);
    for (int signal : {SIGHUP, SIGUSR1, SIGUSR2, SIGINT, SIGTERM}) {
        sigaddset(&m_signals, signal);
    }
    pthread_sigmask(SIG_BLOCK, &m_signals, &m_previous);
    m_catcher = std::thread([this] { Catch(); });
}

SignalWaiter::~SignalWaiter() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bQuit = true;
    }
    m_catcher.join();
    pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}

void SignalWaiter::Catch() {
    const timespec slice{0, kCatchSliceNs};
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_bQuit) {
                return;
            }
        }
        const int signal = sigtimedwait(&m_signals, nullptr, &slice);
        if (signal < 0) {
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(m_lock);
            ++m_qwReceived;
            switch (signal) {
                case SIGHUP:
                    m_bReload = true;
                    break;
                case SIGUSR1:
                    m_state = HostSignal::kPause;
                    break;
                case SIGUSR2:
                    m_state = HostSignal::kResume;
                    break;
                default:
                    if (!m_bStop) {
                        m_stopAskedAt = std::chrono::steady_clock::now();
                    }
                    m_bStop = true;
                    break;
            }
        }
        m_changed.notify_all();
    }
}

HostSignal SignalWaiter::TakeLocked() {
    if (m_bStop) {
        return HostSignal::kStop;
    }
    if (m_bReload) {
        m_bReload = false;
        return HostSignal::kReload;
    }
    const HostSignal state = m_state;
    m_state = HostSignal::kNone;
    return state;
}

bool SignalWaiter::AskedLocked() const {
    return m_bStop || m_bReload || m_state != HostSignal::kNone;
}

HostSignal SignalWaiter::Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(m_lock);
    auto asked = [this] { return AskedLocked(); };
    if (timeoutMs == 0xFFFFFFFFu) {
        m_changed.wait(guard, asked);
    } else {
        m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), asked);
    }
    return TakeLocked();
}

bool SignalWaiter::Pending() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return AskedLocked();
}

bool SignalWaiter::StopAsked(std::chrono::steady_clock::time_point* pAskedAt) const {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_bStop && pAskedAt != nullptr) {
        *pAskedAt = m_stopAskedAt;
    }
    return m_bStop;
}

uint64_t SignalWaiter::Received() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_qwReceived;
}
