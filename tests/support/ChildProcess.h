#pragma once
// A program the tests run as a real peer (snmptrapd, socat, helper
// programs).  The child is killed and reaped when the object goes away, so
// a failing test leaves nothing behind.

#include <sys/types.h>

#include <string>
#include <vector>

namespace hwtest {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (searched on PATH) with the test's environment plus
    // `extraEnvironment` ("NAME=value").  Standard output and standard error
    // go to `outputFile` when given, else to /dev/null; standard input comes
    // from /dev/null unless `connectStdin` asks for a pipe (WriteStdin).
    // False while a process started before has not been waited for.
    bool Start(const std::vector<std::string>& argv, const std::string& outputFile = "",
               const std::vector<std::string>& extraEnvironment = {}, bool connectStdin = false);

    // Sends standard error to its own file (before Start); by default it
    // shares the output file.
    void SetErrorFile(const std::string& path) { m_errorFile = path; }

    bool WriteStdin(const std::string& bytes);
    void CloseStdin();

    pid_t Pid() const { return m_pid; }
    bool IsRunning();
    // Waits for the exit; true with the exit code (or 128 + signal) when it
    // came within `seconds`.
    bool Wait(double seconds, int& exitCode);
    // SIGTERM, a grace period, then SIGKILL; always reaps.
    void Stop();

private:
    std::string m_errorFile;
    pid_t m_pid = -1;
    int m_stdinFd = -1;
    bool m_reaped = false;
    int m_status = 0;
};

}  // namespace hwtest
