#pragma once
// Questions about the process environment that only the system can answer.

namespace plat {

// True when the variable `name` had exactly `value` in the environment the
// process started with (inherited from its parent), rather than having
// been put there by the process itself since.  When the starting
// environment cannot be read the answer is true, the cautious one for a
// caller deciding whether to trust the value.
bool IsInheritedEnvironmentValue(const char* name, const char* value);

}  // namespace plat
