#pragma once
// An auto-reset event that can also be signalled by changes to a file made
// by any process, and waited on together with others.  Each event is a pair
// of descriptors (its own signal and, once a file is watched, the file's
// change watch), so one poll waits on many events at once and a waiter sees
// an append made by another process without that process knowing of it.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Wait.h"

namespace plat {

class ChangeEvent {
public:
    // Unsignalled, watching nothing.
    ChangeEvent();
    ~ChangeEvent();
    ChangeEvent(const ChangeEvent&) = delete;
    ChangeEvent& operator=(const ChangeEvent&) = delete;

    // False when the system refused the descriptor; such an event is never
    // signalled and its waits only time out.
    bool IsValid() const { return m_hSignal >= 0; }

    void Set();
    // Signals the event whenever the file is written, truncated, moved or
    // removed; replaces the file watched before.  0 or an error number.
    uint32_t WatchFile(const std::string& path);
    // kWaitSignalled (and the event is reset) or kWaitTimeout.
    WaitResult Wait(uint32_t ms);

    // Waits for any of the events: the index of one that was signalled
    // (and is now reset), or -1 when `ms` pass first.  Null entries and
    // invalid events are passed over; with none to wait on it still waits
    // the whole time, so a caller's loop never spins.
    static int WaitAny(ChangeEvent* const* events, size_t count, uint32_t ms);

private:
    // Takes back what was signalled.
    void Drain();

    int m_hSignal;
    int m_hWatch = -1;
};

}  // namespace plat
