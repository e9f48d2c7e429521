#include "HostPidFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "HostFileReading.h"
#include "platform/FileLock.h"
#include "platform/Files.h"
#include "platform/OwnFiles.h"
#include "platform/Process.h"
#include "platform/Refusal.h"

namespace {

// Opens again a pid file replaced under this host at most this often.
constexpr int kTakeAttempts = 8;

// The host that a write lock on the open pid file `fd` shows, or 0: only
// a write lock of a process of root or this account is a host's.
pid_t LockingHost(int fd) {
    bool bWrite = false;
    const pid_t holder = plat::RecordLockHolder(fd, &bWrite);
    return holder > 0 && bWrite && plat::IsTrustedProcess(holder) ? holder : 0;
}

}  // namespace

HostPidFile::~HostPidFile() {
    if (m_nFd < 0) {
        return;
    }
    // Unlinked while still locked, so that no other host can take the root
    // between the two steps and lose its file to this removal.
    if (plat::PathNamesOpenFile(m_strPath, m_nFd)) {
        ::unlink(m_strPath.c_str());
    }
    ::close(m_nFd);
}

bool HostPidFile::Acquire(const std::string& root, std::string& error) {
    const std::string path = root + "/" + kFileName;
    for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
        std::string problem;
        const int fd = plat::OpenStateFile(path, O_RDWR | O_CREAT, plat::kStateFileMode, &problem);
        if (fd < 0) {
            error = "cannot open the pid file: " + problem;
            return false;
        }
        if (!plat::TryRecordWriteLock(fd)) {
            if (const pid_t host = LockingHost(fd); host > 0) {
                error = "another hwhost (pid " + std::to_string(host) + ") runs on the sensor root " + root;
                ::close(fd);
                return false;
            }
            // Left by a host that died, and locked by someone else: the
            // name is given a new file, which that lock does not reach.
            plat::WarnOfRefusal(plat::LockRefusalText(fd, path, "it is replaced"));
            if (plat::PathNamesOpenFile(path, fd) && ::unlink(path.c_str()) != 0 && errno != ENOENT) {
                error = "cannot replace the pid file " + path + ": " + std::strerror(errno);
                ::close(fd);
                return false;
            }
            ::close(fd);
            continue;
        }
        // Another host may have replaced the file between the open and the
        // lock: the lock must be on the file the name names.
        if (!plat::PathNamesOpenFile(path, fd)) {
            ::close(fd);
            continue;
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
    error = "cannot take the pid file " + path + ": it is replaced again and again";
    return false;
}

pid_t HostPidFile::FindRunning(const std::string& root, std::string* pProblem) {
    // Only a file root or this account made names a host: another
    // account's could name any process of its own.
    const std::string path = root + "/" + kFileName;
    std::string problem;
    int fd = OpenHostFileForReading(path, problem);
    if (fd < 0) {
        if (pProblem != nullptr) {
            *pProblem = problem;
        }
        return 0;
    }
    // The lock, not the text, tells: the text may be what a host that died
    // left behind.
    const pid_t host = LockingHost(fd);
    if (host == 0 && plat::RecordLockHolder(fd) != 0) {
        problem = plat::LockRefusalText(fd, path, "it names no hwhost");
    }
    ::close(fd);
    if (pProblem != nullptr) {
        *pProblem = problem;
    }
    return host;
}
