#pragma once
// A set of sockets waited on together, with a wake signal beside them: the
// read set of a listener loop.  Unlike the classic read set it has no
// 64-socket limit and no descriptor-number limit, so every socket a loop
// opens is also watched.
//
// The set is used by one thread at a time; it keeps its own array between
// waits, so a wait allocates nothing.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/Sockets.h"

struct pollfd;

namespace plat {

class WakeSignal;

class SocketWatchSet {
public:
    // Room for `capacity` sockets before the set has to grow.
    explicit SocketWatchSet(size_t capacity = 0);
    ~SocketWatchSet();
    SocketWatchSet(const SocketWatchSet&) = delete;
    SocketWatchSet& operator=(const SocketWatchSet&) = delete;

    void Clear();
    // False when the socket is in the set already (or invalid).
    bool Add(SocketHandle socket);
    bool Contains(SocketHandle socket) const;
    size_t Count() const { return m_sockets.size(); }

    // Waits until some socket has something to read (for a listener, a
    // pending connection), `wake` is signalled, or `timeoutMs` pass.
    // Answers how many sockets are ready, 0 when the time ran out or the
    // wait was woken (`woken` tells which), -1 on failure with the last
    // error set.  IsReady then tells each socket's part.
    int Wait(int timeoutMs, const WakeSignal* wake, bool& woken);
    bool IsReady(SocketHandle socket) const;

private:
    std::vector<SocketHandle> m_sockets;
    // The sockets and the wake signal as the system call takes them, with
    // what it answered; kept between waits.
    std::vector<pollfd> m_polls;
};

}  // namespace plat
