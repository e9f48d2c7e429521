#pragma once
// The clock of the decoy code: whole seconds since 1970, 32 bits, the unit
// of hold times and the refusal period.  Tests put their own clock in, so
// that a 60-second hold can run out without waiting for it.

#include <cstdint>

using DecoyTimeSource = uint32_t (*)();

uint32_t DecoyTimeNow();
// Installs `source` (null: the wall clock again) and answers the previous.
DecoyTimeSource SetDecoyTimeSource(DecoyTimeSource source);
