#pragma once
// What code lies at an address: the module (the program or a shared
// library) and its loadable segment, and the nearest exported symbol.

#include <cstdint>
#include <string>

namespace plat {

// The module holding `address`, the 1-based index of its loadable segment
// that holds it and the offset into that segment.  False when no module
// holds the address; the segment is then 0 and the offset the address.
bool FindModuleSegment(uintptr_t address, std::string& path, uint32_t& segment, uintptr_t& offset);

// The nearest symbol the dynamic linker knows at or below `address`,
// demangled, and the distance from it.
bool FindSymbol(uintptr_t address, std::string& name, uintptr_t& displacement);

}  // namespace plat
