#pragma once
// The process environment and questions about the process that only the
// system can answer.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// A list of texts as one variable: each text preceded by its length and a
// colon, so a text may hold any byte the environment can.  Reading a value
// not so written gives the texts before the first that is not.
bool SetEnvironmentList(const char* name, const std::vector<std::string>& texts);
bool GetEnvironmentList(const char* name, std::vector<std::string>& texts);

// The files the host writes (its log, alert, message and status files, a
// folder it writes files into ending with "/"), each as "<what>=<path>",
// as a list in the environment: set by the host before it loads the
// plug-in, so that no input of the sensor reads the sensor's own output.
inline constexpr char kOwnOutputsVariable[] = "HW_OWN_OUTPUTS";

// Copies `source` into `output`, replacing each reference %NAME% by the
// value of the environment variable NAME; a reference to an unset variable
// and a lone "%" stay as written.  The copy is cut to `size` - 1 characters
// and terminated.  Answers the length of the whole expansion plus one, so a
// caller can tell that it was cut.
size_t ExpandEnvironmentStrings(const char* source, char* output, size_t size);

// The id of the running process.
uint32_t CurrentProcessId();

// The folder of the running program's file, ending with "/"; empty when it
// cannot be found.
std::string ExecutableDirectory();

}  // namespace plat
