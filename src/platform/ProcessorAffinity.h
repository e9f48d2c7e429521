#pragma once
// The processors the process may run on, as masks of the first 32
// processors of the machine (bit n for processor n).

#include <cstdint>

namespace plat {

// The process's mask and the mask of every processor the machine has.
// False, with the last error set, when the system cannot answer.
bool GetProcessAffinity(uint32_t& processMask, uint32_t& systemMask);

// Restricts every thread of the process to the processors of `mask`.
// False, with the last error set, when a thread refuses the mask.
bool SetProcessAffinity(uint32_t mask);

}  // namespace plat
