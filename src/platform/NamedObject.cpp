#include "platform/NamedObject.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/LastError.h"

namespace plat {
namespace {

// Open-file-description locks: owned by the descriptor, not the process,
// so threads do not share them and a downgrade from exclusive to shared is
// atomic.
bool SetLock(int fd, short type, bool wait) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    int rc;
    do {
        rc = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (rc != 0 && errno == EINTR && wait);
    return rc == 0;
}

// The name was removed by its last user after this process opened it.
bool Unlinked(int fd) {
    struct stat info;
    return fstat(fd, &info) != 0 || info.st_nlink == 0;
}

}  // namespace

std::string SharedObjectPath(const std::string& name) {
    if (name.empty() || name.size() > NAME_MAX - 4 || name.find('\0') != std::string::npos) {
        return {};
    }
    std::string path = "/hw." + name;
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] == '/' || path[i] == '\\')
            path[i] = '_';
    }
    return path;
}

bool NamedObject::Open(const std::string& name, bool create, const Initialiser& initialise) {
    Close();
    std::string path = SharedObjectPath(name);
    if (path.empty()) {
        SetLastError(kErrInvalidParameter);
        return false;
    }
    // A retry follows only a race with the last user removing the name.
    for (;;) {
        int fd = shm_open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
        if (fd < 0) {
            SetLastErrorFromErrno(errno);
            return false;
        }
        if (SetLock(fd, F_WRLCK, false)) {
            if (Unlinked(fd)) {
                close(fd);
                continue;
            }
            if (!create) {
                // Left by processes that are gone: as good as missing.
                shm_unlink(path.c_str());
                close(fd);
                SetLastError(kErrFileNotFound);
                return false;
            }
            SetLastError(kErrSuccess);
            if (ftruncate(fd, 0) != 0 || !initialise(fd)) {
                if (GetLastError() == kErrSuccess)
                    SetLastErrorFromErrno(errno);
                shm_unlink(path.c_str());
                close(fd);
                return false;
            }
            SetLock(fd, F_RDLCK, false);
            m_fresh = true;
        } else {
            // Another user holds it, or is laying it out right now.
            if (!SetLock(fd, F_RDLCK, true)) {
                SetLastErrorFromErrno(errno);
                close(fd);
                return false;
            }
            if (Unlinked(fd)) {
                close(fd);
                continue;
            }
            m_fresh = false;
        }
        m_fd = fd;
        m_path = path;
        SetLastError(m_fresh ? kErrSuccess : kErrAlreadyExists);
        return true;
    }
}

void NamedObject::Close() {
    if (m_fd < 0) {
        return;
    }
    if (SetLock(m_fd, F_WRLCK, false) && !Unlinked(m_fd)) {
        shm_unlink(m_path.c_str());
    }
    close(m_fd);
    m_fd = -1;
    m_fresh = false;
    m_path.clear();
}

}  // namespace plat
