#include "platform/SocketWatchSet.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "platform/LastError.h"
#include "platform/WakeSignal.h"

namespace plat {

SocketWatchSet::SocketWatchSet(size_t capacity) {
    m_sockets.reserve(capacity);
    m_polls.reserve(capacity + 1);
}

SocketWatchSet::~SocketWatchSet() = default;

void SocketWatchSet::Clear() {
    m_sockets.clear();
    m_polls.clear();
}

bool SocketWatchSet::Add(SocketHandle socket) {
    if (socket == kInvalidSocket || Contains(socket)) {
        return false;
    }
    m_sockets.push_back(socket);
    return true;
}

bool SocketWatchSet::Contains(SocketHandle socket) const {
    return std::find(m_sockets.begin(), m_sockets.end(), socket) != m_sockets.end();
}

int SocketWatchSet::Wait(int timeoutMs, const WakeSignal* wake, bool& woken) {
    woken = false;
    m_polls.clear();
    for (SocketHandle socket : m_sockets) {
        m_polls.push_back(pollfd{socket, POLLIN, 0});
    }
    const bool bWake = wake != nullptr && wake->IsValid();
    if (bWake) {
        m_polls.push_back(pollfd{wake->m_hSignal, POLLIN, 0});
    }
    int ready;
    do {
        ready = ::poll(m_polls.data(), m_polls.size(), timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        SetLastError(MapSocketErrno(errno));
        return -1;
    }
    if (bWake && (m_polls.back().revents & POLLIN) != 0) {
        woken = true;
        return 0;
    }
    int count = 0;
    for (size_t n = 0; n < m_sockets.size(); ++n) {
        if ((m_polls[n].revents & POLLNVAL) != 0) {
            SetLastError(kWsaNotSocket);
            return -1;
        }
        if (m_polls[n].revents != 0) {
            ++count;
        }
    }
    return count;
}

bool SocketWatchSet::IsReady(SocketHandle socket) const {
    for (size_t n = 0; n < m_sockets.size() && n < m_polls.size(); ++n) {
        if (m_sockets[n] == socket) {
            return m_polls[n].revents != 0;
        }
    }
    return false;
}

}  // namespace plat
