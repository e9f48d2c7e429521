#pragma once
// Starting and ending helper processes (the script process among them).
// A process is started directly from its path and argument list, never
// through a shell.

#include <cstdint>
#include <memory>

#include "platform/Process.h"

using ProcessHandle = std::unique_ptr<plat::ChildProcess>;

// Starts `pszApplication` with the arguments of `pszCommandLine` (split as
// a command line is written; its first argument is the program's own name).
// Without an application path the command line's first argument names the
// program.  `handOver` (when 0 or above) is the one descriptor the process
// inherits, as plat::ChildProcess::kHandedOverDescriptor.  Null when the
// process could not be created.
ProcessHandle StartProcess(const char* pszApplication, const char* pszCommandLine,
                           int handOver = -1);

// Kills the process and waits at most `dwSeconds` for it to end.  0 for a
// null handle and after the wait (ended or not); the system error number
// when the process could not be killed.
uint32_t TerminateProcessAndWait(plat::ChildProcess* pProcess, uint32_t dwSeconds);
