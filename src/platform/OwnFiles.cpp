#include "platform/OwnFiles.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/NameTakeBack.h"
#include "platform/Refusal.h"
#include "platform/TrustedPath.h"

namespace plat {
namespace {

bool Failed(const std::string& path, std::string* why, int err) {
    SetLastErrorFromErrno(err);
    if (why != nullptr) {
        *why = path + ": " + std::strerror(err);
    }
    return false;
}

// What is done instead of opening a refused name, by the open's purpose.
const char* NotDone(int flags) {
    return (flags & O_ACCMODE) == O_RDONLY ? kOpenNotRead : kOpenNotWritten;
}

bool Refused(std::string* why, const Refusal& refusal) {
    SetLastError(kErrAccessDenied);
    if (why != nullptr) {
        *why = RefusalText(refusal);
    }
    return false;
}

// Refuses the path for what `info` describes: `what` (KindText unless
// given) and its owner.
bool RefusedFor(const std::string& path, std::string* why, const struct stat& info, int flags,
                const std::string& what = std::string()) {
    Refusal refusal;
    refusal.m_strPath = path;
    refusal.m_strWhat = what.empty() ? KindText(info.st_mode) : what;
    refusal.m_bOwnerKnown = true;
    refusal.m_uOwner = static_cast<uint32_t>(info.st_uid);
    refusal.m_strInstead = NotDone(flags);
    return Refused(why, refusal);
}

// Refuses the path for the symbolic link `link`, which another account
// owns: the path's own name when `bLast`, else a folder on the way.
bool RefusedLink(const std::string& path, std::string* why, bool bLast, std::string link,
                 uid_t owner) {
    if (link.rfind("./", 0) == 0) {
        link.erase(0, 2);
    }
    Refusal refusal;
    refusal.m_strPath = path;
    // A folder made or walked is itself the name: the link is no folder
    // on its way.
    refusal.m_strLink = bLast || link == path ? std::string() : link;
    refusal.m_strWhat = "a symbolic link";
    refusal.m_bOwnerKnown = true;
    refusal.m_uOwner = static_cast<uint32_t>(owner);
    refusal.m_strInstead = kOpenNotFollowed;
    return Refused(why, refusal);
}

// Reads the symbolic link `name` of `dir` into `target` when root or this
// account made it.  The link is held open while it is looked at and read,
// so another link put in its place meanwhile is not the one read.
bool TrustedLinkTarget(int dir, const std::string& name, bool bLast, int& links,
                       std::string& target, const std::string& path, std::string* why) {
    if (++links > kMaxLinks) {
        return Failed(path, why, ELOOP);
    }
    Descriptor link;
    struct stat info {};
    if (!LookAt(dir, name, link, info)) {
        return Failed(path, why, errno);
    }
    if (!S_ISLNK(info.st_mode)) {
        return Failed(path, why, ENOTDIR);
    }
    if (!IsTrustedOwner(info.st_uid)) {
        return RefusedLink(path, why, bLast, name, info.st_uid);
    }
    return ReadLinkTarget(link.Get(), target) || Failed(path, why, errno);
}

// Walks `folder` from `base` (or from "/" when it is absolute), making
// missing folders when `make` asks, and answers a path descriptor of the
// folder it names, or -1.  Symbolic links on the way are followed only
// when root or this account made them.
int OpenFolderPath(int base, const std::string& folder, bool make, int& links,
                   const std::string& path, std::string* why) {
    TrustedWalk walk;
    walk.m_bMakeFolders = make;
    walk.m_nLinks = links;
    if (!WalkTrustedPath(base, folder, walk)) {
        Failed(path, why, walk.m_nError);
        return -1;
    }
    links = walk.m_nLinks;
    if (walk.m_bUntrusted) {
        RefusedLink(path, why, false, walk.m_strLinkPath, walk.m_Info.st_uid);
        return -1;
    }
    if (!S_ISDIR(walk.m_Info.st_mode)) {
        Failed(path, why, ENOTDIR);
        return -1;
    }
    return walk.m_File.Release();
}

// Splits `path` into its folder and its last name.
bool SplitFolderAndLeaf(const std::string& path, std::string& folder, std::string& leaf,
                        std::string* why) {
    const std::vector<std::string> parts = PathNames(path);
    if (parts.empty() || path.back() == '/' || parts.back() == "..") {
        return Failed(path, why, EISDIR);
    }
    leaf = parts.back();
    const size_t slash = path.rfind('/');
    folder = slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
    return true;
}

// Splits `path` and opens the folder holding it as OpenFolderPath does
// (a path descriptor), counting the links followed on the way; -1 when
// either fails.
int OpenFolderOf(const std::string& path, std::string& folder, std::string& leaf, int& links,
                 std::string* why) {
    if (!SplitFolderAndLeaf(path, folder, leaf, why)) {
        return -1;
    }
    return OpenFolderPath(AT_FDCWD, folder, false, links, path, why);
}

// Whether the file `info` describes may be opened as this account's own.
// A character device (only root can make one: /dev/null, say) is taken as
// it is.
bool CheckOwnFile(const struct stat& info, int flags, const std::string& path, std::string* why) {
    if (S_ISCHR(info.st_mode)) {
        return true;
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        return RefusedFor(path, why, info, flags);
    }
    if (info.st_nlink > 1) {
        return RefusedFor(path, why, info, flags, "a file with another name (a hard link)");
    }
    return true;
}

// Names what stands at `leaf` of `dir` when an open of it failed with `err`
// and it is something this account may not open (another account's file,
// a FIFO, a folder): the system's protections of shared folders answer
// "permission denied" for those, which says neither what nor whose.
bool RefusedWhatIsThere(int dir, const std::string& leaf, int flags, int err,
                        const std::string& path, std::string* why) {
    struct stat info {};
    if (::fstatat(dir, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(info.st_mode)) {
        return Failed(path, why, err);
    }
    if (err == ENXIO || err == EISDIR || !CheckOwnFile(info, flags, path, nullptr)) {
        return RefusedFor(path, why, info, flags);
    }
    return Failed(path, why, err);
}

int OpenOwnFileIn(int base, const std::string& name, int flags, unsigned mode, int& links,
                  const std::string& path, std::string* why) {
    std::string folder;
    std::string leaf;
    if (!SplitFolderAndLeaf(name, folder, leaf, why)) {
        return -1;
    }
    Descriptor dir(OpenFolderPath(base, folder, false, links, path, why));
    if (dir.Get() < 0) {
        return -1;
    }
    // Without blocking: a FIFO put in the file's place would otherwise hold
    // the open until someone reads it.
    const int wanted = flags & (O_ACCMODE | O_CREAT | O_EXCL | O_APPEND);
    Descriptor file(::openat(dir.Get(), leaf.c_str(),
                             wanted | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                             static_cast<mode_t>(mode)));
    if (file.Get() < 0) {
        const int err = errno;
        std::string target;
        if (err == ELOOP) {
            return TrustedLinkTarget(dir.Get(), leaf, true, links, target, path, why)
                       ? OpenOwnFileIn(dir.Get(), target, flags, mode, links, path, why)
                       : -1;
        }
        RefusedWhatIsThere(dir.Get(), leaf, flags, err, path, why);
        return -1;
    }
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0) {
        Failed(path, why, errno);
        return -1;
    }
    if (!CheckOwnFile(info, flags, path, why)) {
        return -1;
    }
    const int status = ::fcntl(file.Get(), F_GETFL);
    if (status < 0 || ::fcntl(file.Get(), F_SETFL, status & ~O_NONBLOCK) != 0 ||
        ((flags & O_TRUNC) != 0 && S_ISREG(info.st_mode) && ::ftruncate(file.Get(), 0) != 0)) {
        Failed(path, why, errno);
        return -1;
    }
    return file.Release();
}

// The folder that holds `path` as a file made there may hold it: whoever
// owns that folder may remove or replace what is in it at will, and the
// lines written there with it.  One another account made in a folder of
// root's or this account's with the sticky bit (a name taken first in
// /tmp) is taken back and made anew, `takenBack` saying so; elsewhere such
// a folder is refused.  True when the folder is root's or this account's
// (or cannot be told: the open says why).
bool HoldingFolderIsOwn(const std::string& path, std::string* why, std::string* takenBack) {
    std::string folder;
    std::string leaf;
    int links = 0;
    Descriptor dir(OpenFolderOf(path, folder, leaf, links, nullptr));
    struct stat info {};
    if (dir.Get() < 0 || ::fstat(dir.Get(), &info) != 0 || IsTrustedOwner(info.st_uid)) {
        return true;
    }
    std::string parent;
    std::string name;
    int parentLinks = 0;
    Descriptor up(folder.empty() ? -1 : OpenFolderOf(folder, parent, name, parentLinks, nullptr));
    struct stat upInfo {};
    TakenBack taken;
    if (up.Get() >= 0 && ::fstat(up.Get(), &upInfo) == 0 && IsTrustedOwner(upInfo.st_uid) &&
        (upInfo.st_mode & S_ISVTX) != 0 &&
        TakeBackName(up.Get(), parent.empty() ? "." : parent, name, S_IFDIR | 0755,
                     [](const struct stat& out) { return !IsTrustedOwner(out.st_uid); },
                     taken) == TakeBackOutcome::kTaken) {
        if (takenBack != nullptr && taken.m_bFound) {
            *takenBack = RefusalText(folder, KindText(taken.m_mode), static_cast<uint32_t>(taken.m_owner),
                                     TakenBackInstead(taken, "folder"));
        }
        return true;
    }
    Refusal refusal;
    refusal.m_strPath = folder;
    refusal.m_strWhat = KindText(info.st_mode);
    refusal.m_bOwnerKnown = true;
    refusal.m_uOwner = static_cast<uint32_t>(info.st_uid);
    refusal.m_strInstead = "no file is written in it, where that account could remove what is written";
    return Refused(why, refusal);
}

}  // namespace

int OpenOwnFile(const std::string& path, int flags, unsigned mode, std::string* why) {
    int links = 0;
    return OpenOwnFileIn(AT_FDCWD, path, flags, mode, links, path, why);
}

int OpenOwnFileTakingBack(const std::string& path, int flags, unsigned mode, std::string* why,
                          std::string* takenBack) {
    if ((flags & O_CREAT) != 0 && !HoldingFolderIsOwn(path, why, takenBack)) {
        return -1;
    }
    const int fd = OpenOwnFile(path, flags, mode, why);
    if (fd >= 0 || GetLastError() != kErrAccessDenied || (flags & O_CREAT) == 0) {
        return fd;
    }
    std::string folder;
    std::string leaf;
    int links = 0;
    Descriptor dir(OpenFolderOf(path, folder, leaf, links, nullptr));
    struct stat folderInfo {};
    struct stat info {};
    // Only where the sticky bit keeps others from a name once it is this
    // account's: elsewhere they could take it again at will.
    if (dir.Get() < 0 || ::fstat(dir.Get(), &folderInfo) != 0 || !IsTrustedOwner(folderInfo.st_uid) ||
        (folderInfo.st_mode & S_ISVTX) == 0 || ::fstatat(dir.Get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        IsTrustedOwner(info.st_uid)) {
        // The refusal stands as OpenOwnFile said it.
        SetLastError(kErrAccessDenied);
        return -1;
    }
    TakenBack taken;
    const TakeBackOutcome outcome =
        TakeBackName(dir.Get(), folder.empty() ? "." : folder, leaf, mode,
                     [](const struct stat& out) { return !IsTrustedOwner(out.st_uid); }, taken);
    if (outcome != TakeBackOutcome::kTaken) {
        // What another account put there stays, as OpenOwnFile said.
        SetLastError(kErrAccessDenied);
        return -1;
    }
    if (takenBack != nullptr && taken.m_bFound) {
        *takenBack = RefusalText(path, KindText(taken.m_mode), static_cast<uint32_t>(taken.m_owner),
                                 TakenBackInstead(taken, "file"));
    }
    return OpenOwnFile(path, flags, mode, why);
}

bool MakeOwnFolders(const std::string& path, std::string* why) {
    int links = 0;
    Descriptor dir(OpenFolderPath(AT_FDCWD, path, true, links, path, why));
    return dir.Get() >= 0;
}

bool MayReplaceOwnFile(const std::string& path, std::string* why) {
    std::string folder;
    std::string leaf;
    int links = 0;
    Descriptor dir(OpenFolderOf(path, folder, leaf, links, why));
    if (dir.Get() < 0) {
        return false;
    }
    struct stat info {};
    if (::fstatat(dir.Get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT || Failed(path, why, errno);
    }
    // The rename takes the name only: a link of root's or this account's,
    // or a file with another name, loses just this name, and a folder makes
    // the move fail by itself.
    if (S_ISLNK(info.st_mode)) {
        std::string target;
        return TrustedLinkTarget(dir.Get(), leaf, true, links, target, path, why);
    }
    if (!S_ISDIR(info.st_mode) && info.st_uid != ::geteuid()) {
        return RefusedFor(path, why, info, O_WRONLY);
    }
    return true;
}

bool MakeStateFolder(const std::string& path, const std::string& instead, std::string* why) {
    int links = 0;
    Descriptor dir(OpenFolderPath(AT_FDCWD, path, true, links, path, why));
    if (dir.Get() < 0) {
        return false;
    }
    struct stat info {};
    if (::fstat(dir.Get(), &info) != 0) {
        return Failed(path, why, errno);
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0 && IsTrustedOwner(info.st_uid)) {
        return true;
    }
    Refusal refusal;
    refusal.m_strPath = path;
    refusal.m_strWhat = "a directory";
    refusal.m_bOwnerKnown = true;
    refusal.m_uOwner = static_cast<uint32_t>(info.st_uid);
    refusal.m_strInstead = instead;
    if (info.st_uid == ::geteuid()) {
        // This account's own folder that others may write (made under a
        // loose umask): it is closed, since what is kept in it must be.
        Descriptor open(::openat(dir.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (open.Get() >= 0 && ::fchmod(open.Get(), info.st_mode & 07755) == 0) {
            return true;
        }
        refusal.m_strWhat = "a directory other accounts may write, which";
    } else if (IsTrustedOwner(info.st_uid)) {
        refusal.m_strWhat = "a directory other accounts may write, which";
    }
    return Refused(why, refusal);
}

int OpenStateFile(const std::string& path, int flags, unsigned mode, std::string* why) {
    Descriptor file(OpenOwnFile(path, flags, mode, why));
    struct stat info {};
    if (file.Get() < 0 || ::fstat(file.Get(), &info) != 0) {
        return -1;
    }
    // Made earlier with a mode that lets others read it (by an older
    // version, or under a loose umask): they could then lock it too.
    if ((info.st_mode & 07777) != mode && ::fchmod(file.Get(), mode) != 0) {
        Failed(path, why, errno);
        return -1;
    }
    return file.Release();
}

int CreateUniqueOwnFile(std::string& path, unsigned mode, std::string* why) {
    std::string folder;
    std::string leaf;
    int links = 0;
    const size_t marks = path.size() >= 6 && path.compare(path.size() - 6, 6, "XXXXXX") == 0 ? 6 : 0;
    if (marks == 0 || !SplitFolderAndLeaf(path, folder, leaf, why)) {
        return marks == 0 ? (Failed(path, why, EINVAL), -1) : -1;
    }
    Descriptor dir(OpenFolderPath(AT_FDCWD, folder, false, links, path, why));
    if (dir.Get() < 0) {
        return -1;
    }
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[6];
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            return (Failed(path, why, errno), -1);
        }
        for (size_t i = 0; i < 6; ++i) {
            leaf[leaf.size() - 6 + i] = kLetters[random[i] % (sizeof kLetters - 1)];
        }
        const int file = ::openat(dir.Get(), leaf.c_str(),
                                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  static_cast<mode_t>(mode));
        if (file >= 0) {
            path.replace(path.size() - 6, 6, leaf.substr(leaf.size() - 6));
            return file;
        }
        if (errno != EEXIST) {
            return (Failed(path, why, errno), -1);
        }
    }
    return (Failed(path, why, EEXIST), -1);
}

bool CopyOwnFile(const std::string& source, const std::string& destination, std::string* why) {
    Descriptor from(OpenOwnFile(source, O_RDONLY, 0, why));
    if (from.Get() < 0) {
        return false;
    }
    Descriptor to(OpenOwnFile(destination, O_WRONLY | O_CREAT | O_TRUNC, 0644, why));
    if (to.Get() < 0) {
        return false;
    }
    char buffer[65536];
    for (;;) {
        size_t got = 0;
        if (!ReadFromFile(from.Get(), buffer, sizeof buffer, got)) {
            return Failed(source, why, errno);
        }
        size_t put = 0;
        if (got > 0 && !WriteToFile(to.Get(), buffer, got, put)) {
            return Failed(destination, why, errno);
        }
        if (got < sizeof buffer) {
            return true;
        }
    }
}

}  // namespace plat
