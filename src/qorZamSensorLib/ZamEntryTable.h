#pragma once
// Entry points of the signature module, taken by index through its one
// exported name.  Each missing entry is logged by name; the others are
// still taken so that one log shows every gap.

#include <cstddef>
#include <cstdint>

#include "qorZamSensorLib/ZamModuleApi.h"

class DynamicLibrary;
class ICSFHostServices;

namespace zam {

struct EntryName {
    uint32_t m_dwIndex;
    const char* m_pszName;
};

// `zamSymbol` of the library, or null after logging its absence.
ZamSymbolFn FindSymbolEntry(DynamicLibrary& library, ICSFHostServices* pLogger);

// One entry through `zamSymbol`; null after logging its absence.
void* TakeEntry(ZamSymbolFn symbol, const EntryName& entry, ICSFHostServices* pLogger);

// Fills `entries[i]` for each row of the table; false when any is missing.
bool TakeEntries(ZamSymbolFn symbol, const EntryName* pTable, size_t count, void** pEntries,
                 ICSFHostServices* pLogger);

template <typename F>
F EntryAs(void* entry) {
    return reinterpret_cast<F>(entry);
}

}  // namespace zam
