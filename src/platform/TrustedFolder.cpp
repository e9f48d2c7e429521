#include "platform/TrustedFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/LastError.h"
#include "platform/TrustedPath.h"

namespace plat {
namespace {

bool FailWith(int error) {
    errno = error;
    SetLastErrorFromErrno(error);
    return false;
}

void Fill(const struct stat& info, bool bIsLink, bool bUntrusted, FolderEntryStatus& status) {
    status = FolderEntryStatus();
    FillFileStatus(info, status.m_Status);
    status.m_uOwner = static_cast<uint32_t>(info.st_uid);
    status.m_bTrustedOwner = IsTrustedOwner(info.st_uid);
    status.m_bIsLink = bIsLink;
    status.m_bUntrustedLink = bUntrusted;
}

bool IsOneName(std::string_view relative) {
    return !relative.empty() && relative != "." && relative != ".." &&
           relative.find('/') == std::string_view::npos;
}

}  // namespace

TrustedFolder& TrustedFolder::operator=(TrustedFolder&& other) noexcept {
    if (this != &other) {
        Close();
        m_nFd = std::exchange(other.m_nFd, -1);
    }
    return *this;
}

void TrustedFolder::Close() {
    if (m_nFd >= 0) {
        ::close(m_nFd);
        m_nFd = -1;
    }
}

bool TrustedFolder::Open(const TrustedFolder* base, std::string_view relative, bool bFollowLinks) {
    Close();
    const int dir = base != nullptr && base->IsOpen() ? base->m_nFd : AT_FDCWD;
    // A folder is opened to read its names: nothing waits, and what is not
    // a folder is refused by the open itself.
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (!bFollowLinks) {
        const std::string name(relative);
        const int fd = ::openat(dir, name.c_str(), kFlags | O_NOFOLLOW);
        if (fd < 0) {
            return FailWith(errno == ELOOP ? ENOTDIR : errno);
        }
        m_nFd = fd;
        return true;
    }
    TrustedWalk walk;
    if (!WalkTrustedPath(dir, relative, walk)) {
        return FailWith(walk.m_nError);
    }
    if (walk.m_bUntrusted) {
        SetLastError(kErrStoppedOnSymlink);
        return false;
    }
    if (!S_ISDIR(walk.m_Info.st_mode)) {
        return FailWith(ENOTDIR);
    }
    // The folder the walk found, through its descriptor.
    const int fd = ::openat(walk.m_File.Get(), ".", kFlags);
    if (fd < 0) {
        return FailWith(errno);
    }
    m_nFd = fd;
    return true;
}

bool TrustedFolder::List(size_t nMax, const std::function<void(std::string_view, bool)>& take,
                         size_t& nRead, bool& bComplete) const {
    nRead = 0;
    bComplete = true;
    if (!IsOpen()) {
        return FailWith(EBADF);
    }
    // A listing of its own, so the folder's descriptor keeps no place.
    const int listed = ::openat(m_nFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listed < 0) {
        return FailWith(errno);
    }
    DIR* dir = ::fdopendir(listed);
    if (dir == nullptr) {
        const int error = errno;
        ::close(listed);
        return FailWith(error);
    }
    int error = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            error = errno;
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        if (nRead == nMax) {
            bComplete = false;
            break;
        }
        ++nRead;
        take(entry->d_name, entry->d_type == DT_DIR);
    }
    ::closedir(dir);
    return error == 0 || FailWith(error);
}

bool TrustedFolder::Describe(std::string_view relative, FolderEntryStatus& status) const {
    const int dir = IsOpen() ? m_nFd : AT_FDCWD;
    if (IsOneName(relative)) {
        // Most names are no link: one look at the entry says all.
        const std::string name(relative);
        struct stat info {};
        if (::fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return FailWith(errno);
        }
        if (!S_ISLNK(info.st_mode)) {
            Fill(info, false, false, status);
            status.m_Status.m_llBornNs = S_ISREG(info.st_mode) ? BirthTimeAt(dir, name.c_str(), 0) : 0;
            return true;
        }
        if (!IsTrustedOwner(info.st_uid)) {
            Fill(info, true, true, status);
            return true;
        }
    }
    TrustedWalk walk;
    if (!WalkTrustedPath(dir, relative, walk)) {
        return FailWith(walk.m_nError);
    }
    if (walk.m_bUntrusted && !walk.m_bUntrustedIsLast) {
        SetLastError(kErrStoppedOnSymlink);
        return false;
    }
    Fill(walk.m_Info, walk.m_bFinalIsLink, walk.m_bUntrusted, status);
    if (!walk.m_bUntrusted && S_ISREG(walk.m_Info.st_mode) && walk.m_File.Get() >= 0) {
        status.m_Status.m_llBornNs = BirthTimeAt(walk.m_File.Get(), "", AT_EMPTY_PATH);
    }
    return true;
}

}  // namespace plat
