#include "platform/Process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Refusal.h"
#include "platform/TrustedPath.h"
#include "platform/Wait.h"

extern char** environ;

namespace plat {

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (size_t i = 0; i < commandLine.size(); ++i) {
        char c = commandLine[i];
        if (c == '\\') {
            size_t run = commandLine.find_first_not_of('\\', i);
            if (run == std::string::npos) {
                run = commandLine.size();
            }
            const size_t count = run - i;
            const bool beforeQuote = run < commandLine.size() && commandLine[run] == '"';
            // Before a double quote each pair stands for one backslash, and
            // an odd one out makes the quote literal.
            current.append(beforeQuote ? count / 2 : count, '\\');
            if (beforeQuote && count % 2 != 0) {
                current += '"';
                ++run;
            }
            i = run - 1;
            inArgument = true;
        } else if (c == '"') {
            quoted = !quoted;
            inArgument = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inArgument) {
                arguments.push_back(std::move(current));
                current.clear();
                inArgument = false;
            }
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument) {
        arguments.push_back(std::move(current));
    }
    return arguments;
}

namespace {

// Owns the attribute and file-action objects of one spawn.
class SpawnSetup {
public:
    SpawnSetup() {
        m_bAttrOk = posix_spawnattr_init(&m_attr) == 0;
        m_bActionsOk = posix_spawn_file_actions_init(&m_actions) == 0;
    }
    ~SpawnSetup() {
        if (m_bActionsOk) {
            posix_spawn_file_actions_destroy(&m_actions);
        }
        if (m_bAttrOk) {
            posix_spawnattr_destroy(&m_attr);
        }
    }
    // A new session detaches the child from our terminal and its signals;
    // only the standard streams cross over, and the one descriptor handed
    // over, when there is one.
    int Prepare(int handOver) {
        if (!m_bAttrOk || !m_bActionsOk) {
            return ENOMEM;
        }
        int rc = posix_spawnattr_setflags(
            &m_attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        if (rc == 0)
            rc = posix_spawnattr_setsigmask(&m_attr, &none);
        if (rc == 0)
            rc = posix_spawnattr_setsigdefault(&m_attr, &all);
        if (rc == 0)
            rc = posix_spawn_file_actions_addopen(&m_actions, 0, "/dev/null", O_RDONLY, 0);
        int firstClosed = ChildProcess::kHandedOverDescriptor;
        if (rc == 0 && handOver >= 0) {
            // Only the child's copy loses close-on-exec: the caller's keeps
            // it, so no other program started meanwhile inherits it.
            rc = posix_spawn_file_actions_adddup2(&m_actions, handOver, firstClosed++);
        }
        if (rc == 0)
            rc = posix_spawn_file_actions_addclosefrom_np(&m_actions, firstClosed);
        return rc;
    }
    const posix_spawnattr_t* Attr() const { return &m_attr; }
    const posix_spawn_file_actions_t* Actions() const { return &m_actions; }

private:
    posix_spawnattr_t m_attr;
    posix_spawn_file_actions_t m_actions;
    bool m_bAttrOk = false;
    bool m_bActionsOk = false;
};

// The descriptor a child is to get, held where the child's own set-up
// cannot overwrite it and where the duplication onto the child's number
// really copies it (onto itself it would stay closed on exec): one at or
// below that number is first copied above it.
class HandOverCopy {
public:
    explicit HandOverCopy(int handOver) : m_nDescriptor(handOver) {
        if (handOver >= 0 && handOver <= ChildProcess::kHandedOverDescriptor) {
            m_nDescriptor =
                ::fcntl(handOver, F_DUPFD_CLOEXEC, ChildProcess::kHandedOverDescriptor + 1);
            m_bOwned = m_nDescriptor >= 0;
            m_bReady = m_bOwned;
        }
    }
    ~HandOverCopy() {
        if (m_bOwned) {
            ::close(m_nDescriptor);
        }
    }
    HandOverCopy(const HandOverCopy&) = delete;
    HandOverCopy& operator=(const HandOverCopy&) = delete;
    bool IsReady() const { return m_bReady; }
    int Descriptor() const { return m_nDescriptor; }

private:
    int m_nDescriptor;
    bool m_bOwned = false;
    bool m_bReady = true;
};

int OpenPidFd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

}  // namespace

bool FindProcessAccount(pid_t pid, ProcessAccount& account) {
    if (pid <= 0) {
        return false;
    }
    std::string status;
    const std::string folder = "/proc/" + std::to_string(pid);
    if (!ReadKernelFile(folder + "/status", status)) {
        return false;
    }
    const size_t at = status.find("\nUid:");
    if (at == std::string::npos) {
        return false;
    }
    unsigned long real = 0;
    unsigned long effective = 0;
    if (std::sscanf(status.c_str() + at + 5, "%lu %lu", &real, &effective) != 2) {
        return false;
    }
    account.m_uRealUid = static_cast<uint32_t>(real);
    account.m_uEffectiveUid = static_cast<uint32_t>(effective);
    std::string command;
    ReadKernelFile(folder + "/comm", command);
    while (!command.empty() && command.back() == '\n') {
        command.pop_back();
    }
    // The name is the process's own choice: only printable text is kept.
    for (char& c : command) {
        if (c < 0x20 || c > 0x7e) {
            c = '?';
        }
    }
    account.m_strCommand = command;
    return true;
}

bool ReadProcessStart(pid_t pid, char& state, uint64_t& startTime) {
    std::string text;
    if (!ReadKernelFile("/proc/" + std::to_string(pid) + "/stat", text)) {
        return false;
    }
    // The process's own name may hold blanks and parentheses, so the
    // fields are counted from the last ")": 3 (state) to 22 (start time).
    const size_t close = text.rfind(')');
    unsigned long long start = 0;
    if (close == std::string::npos ||
        std::sscanf(text.c_str() + close + 1,
                    " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d "
                    "%*d %*d %llu",
                    &state, &start) != 2) {
        return false;
    }
    startTime = start;
    return true;
}

bool ProcessAccount::Trusted() const {
    return IsTrustedOwner(m_uRealUid) && IsTrustedOwner(m_uEffectiveUid);
}

uint32_t ProcessAccount::NamedOwner() const {
    return IsTrustedOwner(m_uRealUid) ? m_uEffectiveUid : m_uRealUid;
}

bool IsTrustedProcess(pid_t pid) {
    ProcessAccount account;
    return FindProcessAccount(pid, account) && account.Trusted();
}

bool SignalTrustedProcess(pid_t pid, int signal, const std::string& instead, std::string& why) {
    why.clear();
    const int pidFd = pid > 0 ? OpenPidFd(pid) : -1;
    if (pidFd < 0) {
        const int error = pid > 0 ? errno : ESRCH;
        why = "process " + std::to_string(pid) + ": " + std::strerror(error);
        errno = error;
        return false;
    }
    // Looked at after the descriptor was taken: the account seen is that of
    // the process the descriptor holds, unless it has ended (then the
    // signal below fails).
    ProcessAccount account;
    bool sent = false;
    int error = ESRCH;
    if (!FindProcessAccount(pid, account)) {
        why = "process " + std::to_string(pid) + ": " + std::strerror(ESRCH);
    } else if (!account.Trusted()) {
        why = "process " + std::to_string(pid) + " (" + account.m_strCommand + ") is a process " +
              OwnerText(account.NamedOwner()) + "; " + instead;
        error = EPERM;
    } else if (::syscall(SYS_pidfd_send_signal, pidFd, signal, nullptr, 0) == 0) {
        sent = true;
    } else {
        error = errno;
        why = "process " + std::to_string(pid) + ": " + std::strerror(error);
    }
    ::close(pidFd);
    errno = sent ? 0 : error;
    return sent;
}

namespace {

// Children let go of before they could be waited for (still running, or
// ended but held by a tracer): each is waited for, without blocking, when
// another child starts or is let go of, so that none stays a zombie for
// the life of the process.  Only a child of this process's own is listed,
// and no one else waits for it, so its id cannot be another's meanwhile.
std::mutex g_LeftLock;
std::vector<pid_t> g_LeftChildren;

bool IsReaped(pid_t pid) {
    int status = 0;
    pid_t rc;
    do {
        rc = ::waitpid(pid, &status, WNOHANG);
    } while (rc < 0 && errno == EINTR);
    return rc == pid || (rc < 0 && errno == ECHILD);
}

}  // namespace

void ChildProcess::ReapLeftChildren() {
    std::lock_guard<std::mutex> guard(g_LeftLock);
    std::erase_if(g_LeftChildren, IsReaped);
}

void ChildProcess::LeaveChild(pid_t pid) {
    std::lock_guard<std::mutex> guard(g_LeftLock);
    std::erase_if(g_LeftChildren, IsReaped);
    g_LeftChildren.push_back(pid);
}

size_t ChildProcess::LeftChildren() {
    std::lock_guard<std::mutex> guard(g_LeftLock);
    std::erase_if(g_LeftChildren, IsReaped);
    return g_LeftChildren.size();
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& path,
                                                  const std::vector<std::string>& arguments,
                                                  int handOver) {
    if (path.empty()) {
        SetLastError(kErrInvalidParameter);
        return nullptr;
    }
    ReapLeftChildren();
    HandOverCopy copy(handOver);
    if (!copy.IsReady()) {
        SetLastErrorFromErrno(errno);
        return nullptr;
    }
    std::vector<char*> argv;
    if (arguments.empty()) {
        argv.push_back(const_cast<char*>(path.c_str()));
    }
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    SpawnSetup setup;
    int rc = setup.Prepare(copy.Descriptor());
    pid_t pid = -1;
    if (rc == 0) {
        bool search = path.find('/') == std::string::npos;
        rc = search ? posix_spawnp(&pid, path.c_str(), setup.Actions(), setup.Attr(), argv.data(),
                                   environ)
                    : posix_spawn(&pid, path.c_str(), setup.Actions(), setup.Attr(), argv.data(),
                                  environ);
    }
    if (rc != 0) {
        SetLastErrorFromErrno(rc);
        return nullptr;
    }
    return std::unique_ptr<ChildProcess>(new ChildProcess(pid, OpenPidFd(pid)));
}

ChildProcess::ChildProcess(pid_t pid, int pidFd) : m_pid(pid), m_nPidFd(pidFd) {}

ChildProcess::~ChildProcess() {
    if (!m_bReaped && !Reap()) {
        LeaveChild(m_pid);
    }
    if (m_nPidFd >= 0) {
        ::close(m_nPidFd);
    }
}

bool ChildProcess::Kill() {
    if (m_bReaped) {
        return true;
    }
    if (::kill(m_pid, SIGKILL) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

bool ChildProcess::Reap() {
    int status = 0;
    pid_t rc;
    do {
        rc = ::waitpid(m_pid, &status, WNOHANG);
    } while (rc < 0 && errno == EINTR);
    if (rc == m_pid) {
        m_bReaped = true;
        m_nStatus = status;
    }
    return m_bReaped;
}

std::string ChildProcess::DescribeEnd() const {
    if (WIFSIGNALED(m_nStatus)) {
        return "signal " + std::to_string(WTERMSIG(m_nStatus));
    }
    return "exit code " + std::to_string(WEXITSTATUS(m_nStatus));
}

bool ChildProcess::WaitForExit(uint32_t timeoutMs) {
    if (m_bReaped || Reap()) {
        return true;
    }
    // The process descriptor says when the child has ended, but not that it
    // can be waited for: an ended child that another process traces (a
    // debugger, a sanitizer's leak check stopping its threads) stays the
    // tracer's until it lets go.  So the wait is never a blocking one: it
    // looks again until the child is reaped or the time is up.
    const bool infinite = timeoutMs == kInfinite;
    timespec start;
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    bool ended = m_nPidFd < 0;
    for (;;) {
        timespec now;
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const int64_t elapsedMs = static_cast<int64_t>(now.tv_sec - start.tv_sec) * 1000 +
                                  (static_cast<int64_t>(now.tv_nsec) - start.tv_nsec) / 1000000;
        const int64_t leftMs = infinite ? INT32_MAX : static_cast<int64_t>(timeoutMs) - elapsedMs;
        if (leftMs <= 0) {
            return Reap();
        }
        if (!ended) {
            pollfd pfd{m_nPidFd, POLLIN, 0};
            const int rc =
                ::poll(&pfd, 1, infinite ? -1 : static_cast<int>(leftMs < INT32_MAX ? leftMs : INT32_MAX));
            if (rc > 0) {
                ended = true;
            } else if (rc < 0 && errno != EINTR) {
                ended = true;  // look by waiting instead
            }
        } else {
            const int64_t pauseMs = leftMs < 5 ? leftMs : 5;
            timespec pause{0, static_cast<long>(pauseMs) * 1000 * 1000};
            ::nanosleep(&pause, nullptr);
        }
        if (Reap()) {
            return true;
        }
    }
}

}  // namespace plat
