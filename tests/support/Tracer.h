#pragma once
// A process that traces another, as a debugger or a sanitizer's leak check
// does: while it holds a process that has ended, that process is the
// tracer's to wait for, not its parent's.

#include <dirent.h>
#include <poll.h>
#include <sys/ptrace.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace hwtest {

// Traces `pid` from its making until Release, or for at most `seconds`.
// Attached() is false where this process may not trace it (not root).
class Tracer {
public:
    explicit Tracer(pid_t pid, int seconds = 60) {
        int attached[2];
        if (::pipe(m_release) != 0) {
            return;
        }
        if (::pipe(attached) != 0) {
            ::close(m_release[0]);
            ::close(m_release[1]);
            m_release[0] = m_release[1] = -1;
            return;
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(m_release[1]);
            ::close(attached[0]);
            const char ok = ::ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) == 0 ? '1' : '0';
            (void)!::write(attached[1], &ok, 1);
            pollfd pfd{m_release[0], POLLIN, 0};
            ::poll(&pfd, 1, seconds * 1000);
            ::_exit(0);
        }
        ::close(m_release[0]);
        m_release[0] = -1;
        ::close(attached[1]);
        char ok = '0';
        m_bAttached = m_pid > 0 && ::read(attached[0], &ok, 1) == 1 && ok == '1';
        ::close(attached[0]);
    }
    ~Tracer() { Release(); }
    Tracer(const Tracer&) = delete;
    Tracer& operator=(const Tracer&) = delete;

    bool Attached() const { return m_bAttached; }

    // Lets go of the process and waits for the tracer's end.
    void Release() {
        if (m_release[1] >= 0) {
            ::close(m_release[1]);
            m_release[1] = -1;
        }
        if (m_pid > 0) {
            int status = 0;
            ::waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
    }

private:
    pid_t m_pid = -1;
    int m_release[2] = {-1, -1};
    bool m_bAttached = false;
};

// A child of `parent` (its first found), or 0.
inline pid_t FindChildOf(pid_t parent) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return 0;
    }
    pid_t found = 0;
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // pid (comm) state ppid ...: the name may hold spaces and brackets.
        const size_t close = text.rfind(')');
        int ppid = 0;
        char state = 0;
        if (close != std::string::npos &&
            std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent) {
            found = static_cast<pid_t>(pid);
            break;
        }
    }
    ::closedir(proc);
    return found;
}

}  // namespace hwtest
