#include "qorZamSensorLib/ZamEntryTable.h"

#include "qorToolsLib/DynamicLibrary.h"
#include "qorZamSensorLib/ZamLog.h"

namespace zam {

namespace {
constexpr const char* kNotFound = "%s: ZAM entry-point not found\n";
}

ZamSymbolFn FindSymbolEntry(DynamicLibrary& library, ICSFHostServices* pLogger) {
    auto symbol = GetProcAs<ZamSymbolFn>(library, "zamSymbol");
    if (symbol == nullptr) {
        ZAM_LOG(pLogger, kCSFLogError, kNotFound, "zamSymbol");
    }
    return symbol;
}

void* TakeEntry(ZamSymbolFn symbol, const EntryName& entry, ICSFHostServices* pLogger) {
    void* found = symbol(entry.m_dwIndex);
    if (found == nullptr) {
        ZAM_LOG(pLogger, kCSFLogError, kNotFound, entry.m_pszName);
    }
    return found;
}

bool TakeEntries(ZamSymbolFn symbol, const EntryName* pTable, size_t count, void** pEntries,
                 ICSFHostServices* pLogger) {
    bool all = true;
    for (size_t i = 0; i < count; ++i) {
        pEntries[i] = TakeEntry(symbol, pTable[i], pLogger);
        all = all && pEntries[i] != nullptr;
    }
    return all;
}

}  // namespace zam
