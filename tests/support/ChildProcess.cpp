#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/TestUtil.h"

extern char** environ;

namespace hwtest {

ChildProcess::~ChildProcess() {
    CloseStdin();
    Stop();
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& outputFile,
                         const std::vector<std::string>& extraEnvironment, bool connectStdin) {
    if (argv.empty() || (m_pid > 0 && !m_reaped)) {
        return false;
    }
    CloseStdin();
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        envStrings.emplace_back(*entry);
    }
    envStrings.insert(envStrings.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> env;
    for (auto& entry : envStrings) {
        env.push_back(entry.data());
    }
    env.push_back(nullptr);

    int stdinPipe[2] = {-1, -1};
    if (connectStdin && ::pipe2(stdinPipe, O_CLOEXEC) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (connectStdin) {
        posix_spawn_file_actions_adddup2(&actions, stdinPipe[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    const char* out = outputFile.empty() ? "/dev/null" : outputFile.c_str();
    posix_spawn_file_actions_addopen(&actions, 1, out, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (m_errorFile.empty()) {
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, m_errorFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (connectStdin) {
        ::close(stdinPipe[0]);
        m_stdinFd = rc == 0 ? stdinPipe[1] : -1;
        if (rc != 0) {
            ::close(stdinPipe[1]);
        }
    }
    if (rc != 0) {
        return false;
    }
    m_pid = pid;
    m_reaped = false;
    return true;
}

bool ChildProcess::WriteStdin(const std::string& bytes) {
    size_t done = 0;
    while (m_stdinFd >= 0 && done < bytes.size()) {
        ssize_t n = ::write(m_stdinFd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return done == bytes.size();
}

void ChildProcess::CloseStdin() {
    if (m_stdinFd >= 0) {
        ::close(m_stdinFd);
        m_stdinFd = -1;
    }
}

bool ChildProcess::IsRunning() {
    if (m_pid <= 0 || m_reaped) {
        return false;
    }
    pid_t done = ::waitpid(m_pid, &m_status, WNOHANG);
    if (done == m_pid) {
        m_reaped = true;
        return false;
    }
    return true;
}

bool ChildProcess::Wait(double seconds, int& exitCode) {
    if (m_pid <= 0) {
        return false;
    }
    if (!WaitUntil([this] { return !IsRunning(); }, seconds)) {
        return false;
    }
    exitCode = WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 128 + WTERMSIG(m_status);
    return true;
}

void ChildProcess::Stop() {
    if (m_pid <= 0 || !IsRunning()) {
        return;
    }
    ::kill(m_pid, SIGTERM);
    if (!WaitUntil([this] { return !IsRunning(); }, 5.0)) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &m_status, 0);
        m_reaped = true;
    }
}

}  // namespace hwtest
