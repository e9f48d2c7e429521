#pragma once
// The one sink for lines that the library writes to the process's standard
// streams (regular-expression errors, mapping failures, notices).  It goes
// to standard error unless a test or the host installs its own sink.

#include <cstdarg>
#include <functional>
#include <string_view>

namespace plat {

using ConsoleSink = std::function<void(std::string_view)>;

// Installs a sink; an empty function restores standard error.  Returns the
// previous sink so a test can put it back.
ConsoleSink SetConsoleSink(ConsoleSink sink);

void ConsoleWrite(std::string_view text);
void ConsolePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ConsoleVPrintf(const char* format, va_list args);

// For lines written at the rate input arrives (one per datagram, one per
// log line): they are gathered and go out together when enough have come,
// before any line written the ordinary way, at ConsoleFlush, and at exit.
// The text of every line stays as it is.  A sink that is installed gets
// each line at once.
void ConsoleWriteGathered(std::string_view text);
void ConsolePrintfGathered(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes out what is gathered; a writer calls it when it runs out of work.
void ConsoleFlush();

}  // namespace plat
