#pragma once
// Tells the packet library's client when the machine's set of network
// interfaces changes: a thread listens to the kernel's link notifications
// and calls the client's routine after each batch of them.

#include "rawpacket/PacketDllApi.h"

namespace shim {

// A routine starts the watch (or replaces the routine); null ends it.
void SetLinkRoutine(rp::PacketNotifyFn routine);

}  // namespace shim
