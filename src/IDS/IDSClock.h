#pragma once
// The clock of the network side: whole seconds of the system clock.  Block
// periods and repeat-filter intervals are counted in it; tests replace it to
// step over an interval without waiting for it.

#include <cstdint>

using IDSClockFunction = int64_t (*)();

// The current time in seconds.
int64_t IDSNow();

// Null restores the system clock.
void SetIDSClock(IDSClockFunction pClock);
