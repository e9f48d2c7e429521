#pragma once
// Stack tracebacks of a trapped processor fault, written through a
// printf-style sink or into a buffer.  Each frame gives its instruction
// address, frame, return address and first four frame words, then its
// position: the nearest symbol, else the module's segment and offset,
// else "<>".

#include <cstddef>
#include <cstdint>

#include "platform/FaultTrap.h"

// Receives report text as a printf format and its arguments.
using QorReportSink = void (*)(const char* format, ...);

// Does nothing without a sink.
void StackTrace(const plat::FaultRecord* context, QorReportSink sink);

// Writes into `buffer`, lowers `room` by what it wrote and returns the
// position after the text.  Stops when the room is used up; the text is
// always terminated.
char* StackTraceToBuffer(char* buffer, size_t& room, const plat::FaultRecord* context);

// The module holding `address` (its path cut to `nameSize`), the 1-based
// segment and the offset in it.  False when no module holds the address:
// the section is then 0 and the offset the address itself.
bool FindModuleSection(uintptr_t address, char* name, size_t nameSize, uint32_t& section,
                       uintptr_t& offset);
