#pragma once
// The library's trace: a process-wide level (0 at load, so nothing is
// written), a prefix and a stream.  A caller traces at a fixed level; the
// line is written when the library's level is at least that high.

#include <ostream>
#include <string>
#include <string_view>

namespace rp {

// Driver events named in trace lines.
enum : int {
    kEvDrvOpened = 101,
    kEvDrvStarted = 102,
    kEvDrvStopped = 103,
    kEvDrvPacketRecv = 104,
    kEvDrvPacketSent = 105,
    kEvDrvCaptureBufCreated = 106,
    kEvDrvInitialized = 107,
    kEvDrvTerminated = 108,
    kEvDrvDllLoaded = 109,
    kEvDrvDllUnloaded = 110,
    kEvDrvDiagnosticStarted = 111,
};

// Explicit set-up: a negative level means 200; a stream or prefix given
// replaces the current one; then "QOR_TRACE_LEVEL" ("...rp=<n>...") may
// raise the level.
void initTrace(int level, std::ostream* stream, const char* prefix);
void setTraceStream(std::ostream* stream);
// The stream set, or null for the process's standard error (through the
// console sink).
std::ostream* traceStream();
int traceLevel();
void setTraceLevel(int level);
const std::string& tracePrefix();

const char* levelName(int level);
const char* eventName(int code);

// Writes prefix, level name, text and a newline when the library's level is
// at least `level`.
void traceAt(int level, std::string_view text);
inline bool traceOn(int level) { return traceLevel() >= level; }

}  // namespace rp
