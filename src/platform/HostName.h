#pragma once
// The machine's own host name.

#include <string>

namespace plat {

// False, with the last error set, when the name cannot be read.
bool GetHostName(std::string& name);

}  // namespace plat
