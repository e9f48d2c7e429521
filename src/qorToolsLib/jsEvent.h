#pragma once
// An event that threads and queues wait on.  Waits of a layer thread are
// cancellation points: a forced stop of the thread ends the wait by
// unwinding the thread's body (see platform/Thread.h).

#include <cstdint>

#include "platform/Event.h"
#include "qorToolsLib/jsBase.h"

class jsEvent : public jsBase {
public:
    jsEvent(bool initiallyNonSignalled, bool manualReset);
    ~jsEvent() override = default;
    jsEvent(const jsEvent&) = delete;
    jsEvent& operator=(const jsEvent&) = delete;

    // Wait status: 0 signalled, 1 time-out, 2 invalid.  plat::kInfinite
    // waits without limit.
    uint32_t Wait(uint32_t ms);
    // 1 done, 0 when the object is invalid.
    int Set();
    int Reset();

private:
    plat::Event m_primitive;
};

class qorSyncEvent : public jsEvent {
public:
    using jsEvent::jsEvent;
};
