#pragma once
// Shared libraries loaded at run time.
//
// The system names the outside libraries it loads by their Windows names
// ("DUSKDLL.DLL", "tarn.dll").  On this system each is a stand-in shared
// library installed beside the module that loads it, and the name maps as
// follows:
//   - a name ending in ".dll" (any case) becomes "lib" + its lower-case
//     file name without ".dll" + ".so": in the folder the name gives (either
//     separator) when that file is there, and otherwise in the directory of
//     the module holding this code (the plug-in, or a test program):
//     "DUSKDLL.DLL" -> "<dir>/libduskdll.so", "/srv/hw/Duskwall/qor-zam1.dll"
//     -> "/srv/hw/Duskwall/libqor-zam1.so" when present, else
//     "<dir>/libqor-zam1.so";
//   - any other name containing "/" is a path and is loaded as it is;
//   - any other name goes to the system's loader search unchanged.

#include <string>

namespace plat {

using ModuleHandle = void*;

std::string MapLibraryName(const char* name);

// The directory of the module (shared library or program) that holds this
// code, without a trailing "/".
std::string ThisModuleDirectory();

// Null with last error kErrModNotFound when the library cannot be loaded.
ModuleHandle LoadModule(const char* name);
// False with last error kErrInvalidHandle when the handle is not a loaded
// library.
bool FreeModule(ModuleHandle module);
// Null with last error kErrProcNotFound when the library has no such entry.
void* FindModuleSymbol(ModuleHandle module, const char* name);

// The loader's text for the last failure on this thread, for traces.
std::string LastLoaderMessage();

}  // namespace plat
