#pragma once
// The process environment and questions about the process that only the
// system can answer.

#include <cstdint>
#include <string>

namespace plat {

// True when the variable `name` had exactly `value` in the environment the
// process started with (inherited from its parent), rather than having
// been put there by the process itself since.  When the starting
// environment cannot be read the answer is true, the cautious one for a
// caller deciding whether to trust the value.
bool IsInheritedEnvironmentValue(const char* name, const char* value);

// The value of an environment variable; false when it is not set.
bool GetEnvironmentText(const char* name, std::string& value);

// Puts name=value into the environment of the process (and so of the
// children it starts), replacing an older value.  False for a name the
// environment cannot hold (empty or holding "=").
bool SetEnvironmentText(const char* name, const char* value);

// The id of the running process.
uint32_t CurrentProcessId();

// The folder of the running program's file, ending with "/"; empty when it
// cannot be found.
std::string ExecutableDirectory();

}  // namespace plat
