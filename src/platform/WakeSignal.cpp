#include "platform/WakeSignal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/LastError.h"

namespace plat {

WakeSignal::WakeSignal() : m_hSignal(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeSignal::~WakeSignal() {
    if (m_hSignal >= 0) {
        ::close(m_hSignal);
    }
}

void WakeSignal::Signal() {
    if (m_hSignal < 0) {
        return;
    }
    uint64_t one = 1;
    // Fails only when the counter is about to overflow, which still leaves
    // it signalled.
    ssize_t written = ::write(m_hSignal, &one, sizeof one);
    (void)written;
}

void WakeSignal::Clear() {
    if (m_hSignal < 0) {
        return;
    }
    uint64_t count = 0;
    ssize_t read = ::read(m_hSignal, &count, sizeof count);
    (void)read;
}

WakeSignal::Wait WakeSignal::WaitSocket(SocketHandle socket, int timeoutMs) const {
    pollfd entries[2] = {{socket, POLLIN, 0}, {m_hSignal, POLLIN, 0}};
    const nfds_t count = m_hSignal >= 0 ? 2 : 1;
    int ready;
    do {
        ready = ::poll(entries, count, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        SetLastError(MapSocketErrno(errno));
        return Wait::kFailed;
    }
    if (ready == 0) {
        return Wait::kTimedOut;
    }
    if (count == 2 && (entries[1].revents & POLLIN) != 0) {
        return Wait::kWoken;
    }
    if ((entries[0].revents & POLLNVAL) != 0) {
        SetLastError(kWsaNotSocket);
        return Wait::kFailed;
    }
    return Wait::kReadable;
}

}  // namespace plat
