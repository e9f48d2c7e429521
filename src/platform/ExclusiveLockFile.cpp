#include "platform/ExclusiveLockFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/FileLock.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/OwnFiles.h"
#include "platform/Refusal.h"
#include "platform/TrustedPath.h"

namespace plat {
namespace {

// A lock file may only ever be read by its holders.
constexpr unsigned kLockFileMode = 0600;

// Removes the lock file at `path` when its holder is gone: a live holder
// keeps a lock on it for as long as it holds it.  False, with the last
// error and `why`, when it is held or is no lock file of this account's.
bool RemoveIfAbandoned(const std::string& path, const std::string& instead, std::string* why) {
    Descriptor fd(OpenOwnFile(path, O_RDONLY, 0, why));
    if (fd.Get() < 0) {
        if (GetLastError() == kErrFileNotFound) {
            return true;  // let go meanwhile
        }
        if (why != nullptr && !instead.empty()) {
            // OpenOwnFile's own "instead" is about the open; the caller's
            // is what matters here.
            *why = WithInstead(*why, instead);
        }
        return false;
    }
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (why != nullptr) {
            *why = LockRefusalText(fd.Get(), path, instead);
        }
        SetLastError(kErrSharingViolation);
        return false;
    }
    // Only the file that was locked, not one a new holder has just put there.
    return !PathNamesOpenFile(path, fd.Get()) || ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace

std::string HostLockFolder() {
    const char* folder = std::getenv("HW_LOCK_DIR");
    return folder != nullptr && folder[0] != '\0' ? folder : "/run/hostwarden";
}

bool ExclusiveLockFile::Acquire(const std::string& folder, const std::string& name,
                                const std::string& instead, std::string* why) {
    if (Held()) {
        return true;
    }
    if (!MakeStateFolder(folder, instead, why)) {
        return false;
    }
    const std::string path = folder + "/" + name;
    std::string scratch = path + ".XXXXXX";
    Descriptor fd(CreateUniqueOwnFile(scratch, kLockFileMode, why));
    if (fd.Get() < 0) {
        return false;
    }
    // A file nobody else has seen yet: the lock is had at once.
    ::flock(fd.Get(), LOCK_EX | LOCK_NB);
    bool linked = ::link(scratch.c_str(), path.c_str()) == 0;
    uint32_t error = linked ? kErrSuccess : MapErrno(errno);
    if (!linked && errno == EEXIST) {
        if (RemoveIfAbandoned(path, instead, why)) {
            linked = ::link(scratch.c_str(), path.c_str()) == 0;
            error = linked ? kErrSuccess : errno == EEXIST ? kErrSharingViolation : MapErrno(errno);
            if (!linked && why != nullptr) {
                *why = path + ": " + std::strerror(errno) + "; " + instead;
            }
        } else {
            error = GetLastError();
        }
    } else if (!linked && why != nullptr) {
        *why = path + ": " + std::strerror(errno) + "; " + instead;
    }
    ::unlink(scratch.c_str());
    if (!linked) {
        SetLastError(error);
        return false;
    }
    m_nFd = fd.Release();
    m_strPath = path;
    SetLastError(kErrSuccess);
    return true;
}

bool ExclusiveLockFile::Release() {
    if (!Held()) {
        return false;
    }
    // Removed while still locked: a new holder's file cannot be the one
    // removed.
    if (PathNamesOpenFile(m_strPath, m_nFd)) {
        ::unlink(m_strPath.c_str());
    }
    ::close(m_nFd);
    m_nFd = -1;
    m_strPath.clear();
    return true;
}

}  // namespace plat
