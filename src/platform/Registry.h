#pragma once
// The registry: a tree of keys holding named string and 32-bit word values,
// kept in the settings text format at <platform root>/registry.txt.
//
// Keys are opened by path (backslash separated, names compared without
// regard to ASCII case) under one of the predefined roots, and walked by
// index; the answers follow the conventions registry callers rely on:
// 2 for a missing key or value, 259 past the last entry, 234 when a name or
// data buffer is too small (the sizes needed are reported back).
//
// Changes are visible to the process at once and reach the file, merged
// with what other processes wrote meanwhile, when the process closes its
// last open key or calls RegistryFlush.  The file format keeps neither
// leading or trailing white space nor NUL characters of a string, so the
// registry stores strings trimmed and cut at their first NUL.

#include <cstdint>
#include <string>

namespace plat {

using RegistryKey = uint32_t;

// Predefined roots; always open, closing them does nothing.
enum : RegistryKey {
    kRegistryClassesRoot = 1,
    kRegistryCurrentUser = 2,
    kRegistryLocalMachine = 3,
    kRegistryUsers = 4,
    kRegistryCurrentConfig = 5,
};

// Value types.
enum : uint32_t {
    kRegistryString = 1,  // text, handed over and back with its terminating NUL
    kRegistryWord = 4,    // 32-bit word in host byte order
};

// The folder of the file-backed platform state: $QOR_PLATFORM_ROOT when set
// and not empty, else /var/lib/hostwarden/platform.
std::string PlatformRoot();

// Opens an existing key below `parent`; an empty or null path opens
// `parent` again.  2 when a key of the path is missing.
uint32_t RegistryOpenKey(RegistryKey parent, const char* subKey, RegistryKey* key);

// Opens the key, creating every missing key of the path.
uint32_t RegistryCreateKey(RegistryKey parent, const char* subKey, RegistryKey* key);

uint32_t RegistryCloseKey(RegistryKey key);

// The name of sub-key `index` in stored order.  `nameSize` holds the
// buffer's size in bytes on entry and the name's length (without NUL) on
// return; on 234 it holds the size needed, NUL included.
uint32_t RegistryEnumKey(RegistryKey key, uint32_t index, char* name, uint32_t* nameSize);

// Value `index` in stored order.  `nameSize` as for RegistryEnumKey; `type`
// may be null; `dataSize` holds the data buffer's size on entry and the
// data's size on return.  A null `data` asks for the sizes only.  234 when
// either buffer is too small, with both sizes set to what is needed.
uint32_t RegistryEnumValue(RegistryKey key, uint32_t index, char* name, uint32_t* nameSize,
                           uint32_t* type, uint8_t* data, uint32_t* dataSize);

// One value by name, with the same buffer rules as RegistryEnumValue.
uint32_t RegistryQueryValue(RegistryKey key, const char* name, uint32_t* type, uint8_t* data,
                            uint32_t* dataSize);

// Creates or replaces a value.  Strings are read up to their first NUL or
// `size` bytes; words need `size` 4.  87 for a name the file format cannot
// hold (empty, holding "=", "[", ";" or a line feed, or with white space at
// either end) and for any other type.
uint32_t RegistrySetValue(RegistryKey key, const char* name, uint32_t type, const uint8_t* data,
                          uint32_t size);

// Writes pending changes to the file now.
uint32_t RegistryFlush();

}  // namespace plat
