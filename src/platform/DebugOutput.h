#pragma once
// The debugger output channel: where debug traces go when they are switched
// on.  There is no debugger to attach to here, so the text goes to the
// console sink (standard error) unless a test or the host installs a sink of
// its own.

#include <functional>
#include <string_view>

namespace plat {

using DebugOutputSink = std::function<void(std::string_view)>;

// Installs a sink; an empty function restores the console.  Returns the
// previous sink.
DebugOutputSink SetDebugOutputSink(DebugOutputSink sink);

// Writes one text as it stands (no line end is added).
void DebugOutput(std::string_view text);

// Whether the debug output is the console (no sink installed): a trace of
// what the console is shown anyway would then say it twice.
bool DebugOutputIsConsole();

}  // namespace plat
