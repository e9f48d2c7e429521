#include "SignalWaiter.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <initializer_list>

SignalWaiter::SignalWaiter() {
    sigemptyset(&m_signals);
    for (int signal : {SIGHUP, SIGUSR1, SIGUSR2, SIGINT, SIGTERM}) {
        sigaddset(&m_signals, signal);
    }
    pthread_sigmask(SIG_BLOCK, &m_signals, &m_previous);
    // The catching thread sleeps until a signal comes or the waiter ends,
    // never on a timer: an idle host wakes for nothing.
    m_signalFd = signalfd(-1, &m_signals, SFD_CLOEXEC);
    m_quitFd = eventfd(0, EFD_CLOEXEC);
    m_catcher = std::thread([this] { Catch(); });
}

SignalWaiter::~SignalWaiter() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bQuit = true;
    }
    if (m_quitFd >= 0) {
        const uint64_t one = 1;
        // Nothing to do when it fails: the counter is already non-zero.
        [[maybe_unused]] const ssize_t written = write(m_quitFd, &one, sizeof one);
    }
    m_catcher.join();
    for (int fd : {m_signalFd, m_quitFd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}

int SignalWaiter::NextSignal() {
    if (m_signalFd < 0 || m_quitFd < 0) {
        // Without the descriptors (none left at the start): the slices of a
        // timed wait, looking between them whether the waiter ends.
        const timespec slice{0, 200 * 1000000L};
        return sigtimedwait(&m_signals, nullptr, &slice);
    }
    pollfd fds[2] = {{m_signalFd, POLLIN, 0}, {m_quitFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 || (fds[0].revents & POLLIN) == 0) {
        return -1;
    }
    signalfd_siginfo info{};
    if (read(m_signalFd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
        return -1;
    }
    return static_cast<int>(info.ssi_signo);
}

void SignalWaiter::Catch() {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_bQuit) {
                return;
            }
        }
        const int signal = NextSignal();
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
