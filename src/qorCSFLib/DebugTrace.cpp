#include <atomic>
#include <cstdarg>
#include <cstring>
#include <string_view>

#include "platform/DebugOutput.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/BoundedFormat.h"

namespace {

std::atomic<bool> g_bDebugLogging{false};

constexpr size_t kTraceBufferSize = 1025;
constexpr size_t kTraceKeptCharacters = 1020;

}  // namespace

void SetDebugLoggingEnabled(bool bEnabled) {
    g_bDebugLogging.store(bEnabled, std::memory_order_relaxed);
}

bool IsDebugLoggingEnabled() {
    return g_bDebugLogging.load(std::memory_order_relaxed);
}

bool DebugTrace(ILogTag*, uint32_t, uint32_t, int, const char*, const char* pszFormat, ...) {
    if (!IsDebugLoggingEnabled()) {
        return true;
    }
    // One byte beyond the formatted text's room, for its line end.
    char szText[kTraceBufferSize + 1];
    va_list args;
    va_start(args, pszFormat);
    int n = BoundedVsnprintf(szText, kTraceBufferSize, pszFormat, args);
    va_end(args);
    size_t length = n >= 0 ? static_cast<size_t>(n) : std::strlen(szText);
    if (n < 0 && length + 1 == kTraceBufferSize) {
        std::memcpy(szText + kTraceKeptCharacters, "...", 4);
        length = kTraceKeptCharacters + 3;
    }
    // A debugger shows every message on a line of its own; the output here
    // is one stream, so a message that does not end its line gets a line
    // end, in the same write, and never runs into the next one.
    if (length == 0 || szText[length - 1] != '\n') {
        szText[length++] = '\n';
    }
    plat::DebugOutput(std::string_view(szText, length));
    return true;
}
