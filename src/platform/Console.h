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

// Whether the lines that echo each piece of input as it is read (a
// datagram, a log line) are written.  Standard error can lead back into
// the sensor's own input (a journal forwarded to the syslog port, a file a
// log group watches), where each echo would come back as input without end,
// so unless told otherwise the echo is on only while standard error is a
// terminal.
bool InputEchoOn();
// Sets the echo for the whole process.  The host and the plug-in each carry
// a copy of this layer: the choice reaches the plug-in's through the
// environment variable kInputEchoVariable ("1" or "0"), which a copy reads
// once, when it is loaded, so the host calls this before it loads the
// plug-in and before it starts any thread.
void SetInputEcho(bool on);
inline constexpr char kInputEchoVariable[] = "HW_INPUT_ECHO";

}  // namespace plat
