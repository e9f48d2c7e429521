#include "HostPidFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "HostFileReading.h"
#include "platform/OwnFiles.h"

namespace {

// The holder of a write lock on the whole file, or 0.
pid_t LockHolder(int fd) {
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    if (::fcntl(fd, F_GETLK, &query) != 0 || query.l_type == F_UNLCK) {
        return 0;
    }
    return query.l_pid;
}

}  // namespace

HostPidFile::~HostPidFile() {
    if (m_nFd < 0) {
        return;
    }
    // Unlinked while still locked, so that no other host can take the root
    // between the two steps and lose its file to this removal.
    ::unlink(m_strPath.c_str());
    ::close(m_nFd);
}

bool HostPidFile::Acquire(const std::string& root, std::string& error) {
    const std::string path = root + "/" + kFileName;
    std::string problem;
    int fd = plat::OpenOwnFile(path, O_RDWR | O_CREAT, 0644, &problem);
    if (fd < 0) {
        error = "cannot open the pid file: " + problem;
        return false;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_SETLK, &lock) != 0) {
        pid_t holder = LockHolder(fd);
        error = "another hwhost" + (holder > 0 ? " (pid " + std::to_string(holder) + ")" : "") +
                " runs on the sensor root " + root;
        ::close(fd);
        return false;
    }
    const std::string text = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    m_strPath = path;
    m_nFd = fd;
    return true;
}

pid_t HostPidFile::FindRunning(const std::string& root, std::string* pProblem) {
    // Only a file root or this account made names a host: another
    // account's could name any process of its own.
    std::string problem;
    int fd = OpenHostFileForReading(root + "/" + kFileName, problem);
    if (pProblem != nullptr) {
        *pProblem = problem;
    }
    if (fd < 0) {
        return 0;
    }
    // The lock, not the text, tells: the text may be what a host that died
    // left behind.
    pid_t holder = LockHolder(fd);
    ::close(fd);
    return holder;
}
