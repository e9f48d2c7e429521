#pragma once
// The alert records the IDS slaves hand to the master engine's thread.  A
// push onto a full queue is refused and the record stays with the slave.

#include "Common/AgentEventInfo.h"
#include "Common/BoundedQueue.h"

class IDSEventQueue : public BoundedQueue<AgentEventInfo> {
public:
    static constexpr uint32_t kCapacity = 256;
    IDSEventQueue() : BoundedQueue<AgentEventInfo>(kQueueRefuseWhenFull) {}
};
