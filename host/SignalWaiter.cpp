#include "SignalWaiter.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>
#include <initializer_list>

SignalWaiter::SignalWaiter() {
    sigemptyset(&m_signals);
    for (int signal : {SIGHUP, SIGUSR1, SIGUSR2, SIGINT, SIGTERM}) {
        sigaddset(&m_signals, signal);
    }
    pthread_sigmask(SIG_BLOCK, &m_signals, &m_previous);
}

SignalWaiter::~SignalWaiter() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }

HostSignal SignalWaiter::Wait(uint32_t timeoutMs) {
    for (;;) {
        int signal = 0;
        if (timeoutMs == 0xFFFFFFFFu) {
            if (sigwait(&m_signals, &signal) != 0) {
                continue;
            }
        } else {
            timespec timeout{static_cast<time_t>(timeoutMs / 1000),
                             static_cast<long>(timeoutMs % 1000) * 1000000L};
            signal = sigtimedwait(&m_signals, nullptr, &timeout);
            if (signal < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return HostSignal::kNone;
            }
        }
        switch (signal) {
            case SIGHUP:
                return HostSignal::kReload;
            case SIGUSR1:
                return HostSignal::kPause;
            case SIGUSR2:
                return HostSignal::kResume;
            default:
                return HostSignal::kStop;
        }
    }
}
