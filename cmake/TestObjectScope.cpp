// Compiled into every test program: its named shared objects get a scope
// of their own, so tests running side by side (and the programs each one
// starts, which inherit the scope) never meet another test's objects or a
// sensor's on the same machine.

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/NamedObject.h"

namespace {

const bool g_bScoped = [] {
    const std::string scope = "t" + std::to_string(::getpid());
    return ::setenv(plat::kObjectScopeVariable, scope.c_str(), 1) == 0;
}();

}  // namespace
