#pragma once
// Child processes: started without a shell in a session of their own, ended
// with SIGKILL, waited for with a time-out.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plat {

// Splits a command line into arguments the way a command line is written:
// blanks separate arguments, double quotes group blanks into one argument
// and are removed.  Backslashes are literal except directly before a double
// quote: there 2n of them give n backslashes and the quote keeps its
// meaning, 2n+1 give n backslashes and a literal quote.  No other character
// has a meaning; nothing is expanded.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// PROCESSES OF OTHER ACCOUNTS.  A process id read from a file, or from a
// lock the system says someone holds, may name a process of any account:
// only one whose real and effective user are root or this process's own
// account counts as one of the sensor's, and only such a process is ever
// signalled by id.

// The real and effective user of process `pid` and its command name (as the
// system has it, at most 15 characters); false when there is no such
// process.
struct ProcessAccount {
    uint32_t m_uRealUid = 0;
    uint32_t m_uEffectiveUid = 0;
    std::string m_strCommand;

    // Both its users are root or this process's account.
    bool Trusted() const;
    // The account a refusal names as the process's owner: its real user,
    // or its effective user when the real one is root or this account.
    uint32_t NamedOwner() const;
};
bool FindProcessAccount(pid_t pid, ProcessAccount& account);

// The state letter ('Z' for a process ended but not yet waited for) and
// the start time (clock ticks since boot) of process `pid`, which together
// with its id tell it from a later process given the same id; false when
// there is no such process.
bool ReadProcessStart(pid_t pid, char& state, uint64_t& startTime);

// Whether process `pid` runs as root or as this process's account (both
// its real and its effective user).
bool IsTrustedProcess(pid_t pid);

// Sends `signal` to process `pid` only when it runs as root or this
// process's account, through a descriptor of the process, so a process
// that ended meanwhile and whose id another took is not the one signalled.
// False with `why` saying so (another account's process named in the one
// refusal form, with `instead`) or giving the system's reason; errno is
// ESRCH when the process has ended, EPERM when it is another account's.
bool SignalTrustedProcess(pid_t pid, int signal, const std::string& instead, std::string& why);

class ChildProcess {
public:
    // The descriptor number under which a child finds the one descriptor
    // handed over to it.
    static constexpr int kHandedOverDescriptor = 3;

    // Starts `path` (searched on PATH when it has no "/") with `arguments`
    // (the first is the program's own name).  The child gets a new session,
    // standard input from /dev/null, the caller's standard output and error,
    // and no other descriptor, except `handOver` (when 0 or above) as
    // descriptor kHandedOverDescriptor.  Null, with the last error set, on
    // failure.
    static std::unique_ptr<ChildProcess> Start(const std::string& path,
                                               const std::vector<std::string>& arguments,
                                               int handOver = -1);

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Reaps the child when it has ended; a running child is left running,
    // and reaped once it has ended (see LeftChildren).
    ~ChildProcess();

    // How many children let go of before they could be waited for are not
    // waited for yet (each is, without blocking, whenever a child starts or
    // is let go of, or this is asked).
    static size_t LeftChildren();

    pid_t Pid() const { return m_pid; }

    // Sends SIGKILL.  False, with the last error set, when the signal could
    // not be sent; an ended but unreaped child still counts as killed.
    bool Kill();

    // Waits at most `timeoutMs` (kInfinite: without a bound) for the child
    // to end and reaps it.  True when it has ended (now or before) and is
    // reaped; an ended child that a tracer still holds is waited for only
    // within the bound.
    bool WaitForExit(uint32_t timeoutMs);

    // The wait status once reaped.
    bool HasExited() const { return m_bReaped; }
    int ExitStatus() const { return m_nStatus; }
    // How the reaped child ended, for logs: "exit code 1", "signal 9".
    std::string DescribeEnd() const;

private:
    ChildProcess(pid_t pid, int pidFd);
    // Waits for the child without blocking: true once it is reaped.
    bool Reap();
    static void ReapLeftChildren();
    static void LeaveChild(pid_t pid);

    pid_t m_pid;
    int m_nPidFd;
    bool m_bReaped = false;
    int m_nStatus = 0;
};

}  // namespace plat
