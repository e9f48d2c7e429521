#pragma once
// A signal that a thread blocked on a socket can be woken by.  Closing a
// socket under a thread that waits on it neither wakes that thread on Linux
// nor is safe (the descriptor number may be handed out again at once), so a
// socket loop waits on its socket and on this signal together, and the
// socket is closed only after the loop's thread has ended.

#include "platform/Sockets.h"

namespace plat {

class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    // False when the system refused the descriptor; waits then see only
    // their socket and their time-out.
    bool IsValid() const { return m_hSignal >= 0; }
    // Signals may pile up; a waiter sees them all as one.
    void Signal();
    // Takes back whatever was signalled.
    void Clear();

    enum class Wait { kReadable, kWoken, kTimedOut, kFailed };
    // Waits until the socket has a datagram (or an error) to read, or the
    // signal is given, or `timeoutMs` pass.  A signal wins over data.
    Wait WaitSocket(SocketHandle socket, int timeoutMs) const;

private:
    friend class SocketWatchSet;
    int m_hSignal;
};

}  // namespace plat
