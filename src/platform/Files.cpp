#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/LastError.h"
#include "platform/OwnFiles.h"
#include "platform/Refusal.h"
#include "platform/TrustedPath.h"

namespace plat {
namespace {

bool FailFromErrno() {
    SetLastErrorFromErrno(errno);
    return false;
}

std::string ParentDirectory(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Walks `path` from the working folder under the trusted-links rule.
// False, with the last error set, when the path names nothing.
bool WalkTrusted(const char* path, TrustedWalk& walked) {
    if (path == nullptr || *path == '\0') {
        errno = ENOENT;
        return FailFromErrno();
    }
    if (!WalkTrustedPath(AT_FDCWD, path, walked)) {
        errno = walked.m_nError;
        return FailFromErrno();
    }
    return true;
}

}  // namespace

bool PathExists(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0 || FailFromErrno();
}

bool SearchPath(const std::string& name, std::string& found) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path != nullptr ? path : "";
    while (!name.empty() && !rest.empty()) {
        size_t colon = rest.find(':');
        std::string directory(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        std::string candidate = (directory.empty() ? std::string(".") : directory) + "/" + name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            found = candidate;
            return true;
        }
    }
    SetLastError(kErrFileNotFound);
    return false;
}

bool GetPathSize(const char* path, uint64_t& size) {
    struct stat info {};
    if (::stat(path, &info) != 0) {
        return FailFromErrno();
    }
    size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool GetPathInfo(const char* path, PathInfo& info, Links links) {
    struct stat own {};
    struct stat target {};
    TrustedWalk walked;
    if (links == Links::kTrustedOnly && WalkTrusted(path, walked)) {
        if (walked.m_bUntrusted && !walked.m_bUntrustedIsLast) {
            SetLastError(kErrStoppedOnSymlink);
            return false;
        }
        own.st_mode = walked.m_bFinalIsLink ? S_IFLNK : walked.m_Info.st_mode;
        target = walked.m_Info;
    } else {
        const uint32_t walkError = GetLastError();
        if (::lstat(path, &own) != 0) {
            return FailFromErrno();
        }
        // A dangling link is still an entry; it is reported as what it is.
        // Any other path the trusted walk could not resolve names nothing.
        if (links == Links::kTrustedOnly && !S_ISLNK(own.st_mode)) {
            SetLastError(walkError);
            return false;
        }
        target = own;
        if (links == Links::kFollow && S_ISLNK(own.st_mode) && ::stat(path, &target) != 0) {
            target = own;
        }
    }
    info.m_bIsLink = S_ISLNK(own.st_mode);
    info.m_bIsDirectory = S_ISDIR(target.st_mode);
    info.m_uSize = static_cast<uint64_t>(target.st_size);
    info.m_iLastWriteTime = static_cast<int64_t>(target.st_mtime);
    return true;
}

bool DeleteFilePath(const char* path) {
    struct stat info {};
    if (::lstat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        SetLastError(kErrAccessDenied);
        return false;
    }
    return ::unlink(path) == 0 || FailFromErrno();
}

bool ReplacePath(const char* destination, const char* source) {
    if (::rename(source, destination) != 0) {
        return FailFromErrno();
    }
    // The rename is only durable once the directory that records it is.
    SyncFolder(ParentDirectory(destination));
    return true;
}

bool RemoveEmptyDirectory(const char* path) {
    return ::rmdir(path) == 0 || FailFromErrno();
}

bool ListDirectory(const char* path, std::vector<DirectoryEntry>& entries, Links links) {
    entries.clear();
    DIR* dir = nullptr;
    if (links == Links::kFollow) {
        dir = ::opendir(path);
    } else {
        TrustedWalk walked;
        if (!WalkTrusted(path, walked)) {
            return false;
        }
        if (walked.m_bUntrusted) {
            SetLastError(kErrStoppedOnSymlink);
            return false;
        }
        // The directory the walk found, opened through its descriptor.
        const int listed = ::openat(walked.m_File.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (listed >= 0 && (dir = ::fdopendir(listed)) == nullptr) {
            const int error = errno;
            ::close(listed);
            errno = error;
        }
    }
    if (dir == nullptr) {
        return FailFromErrno();
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        DirectoryEntry item;
        item.m_sName = name;
        if (entry->d_type == DT_DIR) {
            item.m_bIsDirectory = true;
        } else if (entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            item.m_bIsDirectory =
                ::fstatat(::dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISDIR(info.st_mode);
        }
        entries.push_back(std::move(item));
    }
    ::closedir(dir);
    return true;
}

std::string TempDirectory() {
    const char* env = std::getenv("TMPDIR");
    std::string dir = (env != nullptr && *env != '\0') ? env : "/tmp";
    if (dir.back() != '/') {
        dir.push_back('/');
    }
    return dir;
}

bool LocalTime(time_t value, std::tm& out) {
    if (::localtime_r(&value, &out) == nullptr) {
        SetLastError(kErrInvalidParameter);
        return false;
    }
    return true;
}

namespace {

// The open of what a trusted walk found, to read it: through the walk's
// descriptor, so the file cannot be swapped for another under its name in
// between.  Without /proc the name is opened once more in the folder the
// walk found it in, without following a link or waiting, and must still be
// that file.
FileHandle OpenWalked(const TrustedWalk& walked) {
    constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    const std::string reopen = "/proc/self/fd/" + std::to_string(walked.m_File.Get());
    FileHandle file = ::open(reopen.c_str(), kReadFlags);
    if (file < 0 && errno == ENOENT) {
        file = ::openat(walked.m_Parent.Get(), walked.m_strName.c_str(), kReadFlags | O_NOFOLLOW);
    }
    if (file < 0) {
        FailFromErrno();
        return kInvalidFile;
    }
    struct stat opened {};
    if (::fstat(file, &opened) != 0 || opened.st_dev != walked.m_Info.st_dev ||
        opened.st_ino != walked.m_Info.st_ino) {
        ::close(file);
        SetLastError(kErrBadFileType);
        return kInvalidFile;
    }
    return file;
}

// Refuses `path` for what the walk found there, in the one form; the last
// error becomes `error`.
FileHandle Refuse(const std::string& path, const TrustedWalk& walked, const std::string& what,
                  uint32_t error, std::string* why) {
    if (why != nullptr) {
        Refusal refusal;
        refusal.m_strPath = path;
        if (walked.m_bUntrusted && walked.m_strLinkPath != path) {
            refusal.m_strLink = walked.m_strLinkPath;
        }
        refusal.m_strWhat = what;
        refusal.m_bOwnerKnown = true;
        refusal.m_uOwner = static_cast<uint32_t>(walked.m_Info.st_uid);
        refusal.m_strInstead = walked.m_bUntrusted ? kOpenNotFollowed : kOpenNotRead;
        *why = RefusalText(refusal);
    }
    SetLastError(error);
    return kInvalidFile;
}

}  // namespace

FileHandle OpenFileToRead(const std::string& path, Owners owners, std::string* why) {
    // The walk opens nothing: a FIFO's open would wait for a writer, and a
    // device's could act on the device.
    TrustedWalk walked;
    if (!WalkTrusted(path.c_str(), walked)) {
        if (why != nullptr) {
            *why = path + ": " + std::strerror(walked.m_nError != 0 ? walked.m_nError : errno);
        }
        return kInvalidFile;
    }
    const bool own = owners == Owners::kOwn;
    if (walked.m_bUntrusted) {
        return Refuse(path, walked, "a symbolic link", own ? kErrAccessDenied : kErrStoppedOnSymlink,
                      why);
    }
    const struct stat& info = walked.m_Info;
    if (!S_ISREG(info.st_mode)) {
        return Refuse(path, walked, KindText(info.st_mode),
                      own || S_ISDIR(info.st_mode) ? kErrAccessDenied : kErrBadFileType, why);
    }
    if (own && !IsTrustedOwner(info.st_uid)) {
        return Refuse(path, walked, "a file", kErrAccessDenied, why);
    }
    if (own && info.st_nlink > 1) {
        return Refuse(path, walked, "a file with another name (a hard link)", kErrAccessDenied, why);
    }
    const FileHandle file = OpenWalked(walked);
    if (file == kInvalidFile && why != nullptr) {
        *why = path + ": " + (GetLastError() == kErrBadFileType ? std::string("it was replaced while it was opened")
                                                                : std::strerror(errno));
    }
    return file;
}

FileHandle OpenFileForReading(const char* path) {
    return OpenFileToRead(path != nullptr ? path : "", Owners::kOwn, nullptr);
}

FileHandle OpenRegularFileForReading(const char* path, UntrustedLink* untrusted) {
    TrustedWalk walked;
    if (!WalkTrusted(path, walked)) {
        return kInvalidFile;
    }
    if (walked.m_bUntrusted) {
        if (untrusted != nullptr) {
            untrusted->m_strPath = std::move(walked.m_strLinkPath);
            untrusted->m_uOwner = static_cast<uint32_t>(walked.m_Info.st_uid);
            untrusted->m_strOwner = AccountName(walked.m_Info.st_uid);
        }
        SetLastError(kErrStoppedOnSymlink);
        return kInvalidFile;
    }
    if (!S_ISREG(walked.m_Info.st_mode)) {
        SetLastError(kErrBadFileType);
        return kInvalidFile;
    }
    return OpenWalked(walked);
}

bool ReadKernelFile(const std::string& path, std::string& out, size_t limit) {
    out.clear();
    if (path.rfind("/proc/", 0) != 0 && path.rfind("/sys/", 0) != 0) {
        SetLastError(kErrInvalidParameter);
        return false;
    }
    // Only the kernel makes what is there: no FIFO or another account's
    // link can be met, and none is followed at the last name.
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (file < 0) {
        return FailFromErrno();
    }
    char buffer[4096];
    bool read = true;
    while (out.size() < limit) {
        const ssize_t got = ::read(file, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            read = got == 0 || FailFromErrno();
            break;
        }
        out.append(buffer, static_cast<size_t>(got));
    }
    ::close(file);
    return read;
}

bool SyncFolder(const std::string& path) {
    const int dir = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (dir < 0) {
        return FailFromErrno();
    }
    const bool synced = ::fsync(dir) == 0 || FailFromErrno();
    ::close(dir);
    return synced;
}

bool PathNamesOpenFile(const std::string& path, FileHandle file) {
    struct stat opened {};
    struct stat named {};
    return ::fstat(file, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

FileHandle ReopenDescriptor(int fd, int flags) {
    const std::string reopen = "/proc/self/fd/" + std::to_string(fd);
    const FileHandle file = ::open(reopen.c_str(), (flags & ~O_CREAT) | O_CLOEXEC | O_NOCTTY);
    if (file < 0) {
        FailFromErrno();
        return kInvalidFile;
    }
    return file;
}

FileHandle OpenFileForWriting(const char* path, FileCreation creation) {
    int flags = O_RDWR | O_CREAT;
    flags |= creation == FileCreation::kCreateAlways ? O_TRUNC : O_EXCL;
    FileHandle file = OpenOwnFile(path, flags, 0644);
    if (file < 0) {
        if (GetLastError() == MapErrno(EEXIST)) {
            SetLastError(kErrFileExists);
        }
        return kInvalidFile;
    }
    return file;
}

bool CloseFile(FileHandle file) {
    return ::close(file) == 0 || FailFromErrno();
}

bool GetOpenFileSize(FileHandle file, uint64_t& size) {
    struct stat info {};
    if (::fstat(file, &info) != 0) {
        return FailFromErrno();
    }
    size = static_cast<uint64_t>(info.st_size);
    return true;
}

namespace {

// Repeats `step` (which reads at most the bytes left after `done` and
// answers what read(2) would) until `count` bytes or the end of the file.
template <typename Step>
bool ReadRepeatedly(size_t count, size_t& done, Step step) {
    done = 0;
    while (done < count) {
        const ssize_t n = step(done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return FailFromErrno();
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool ReadFromFile(FileHandle file, void* buffer, size_t count, size_t& done) {
    return ReadRepeatedly(count, done, [&](size_t already) {
        return ::read(file, static_cast<char*>(buffer) + already, count - already);
    });
}

bool WriteToFile(FileHandle file, const void* data, size_t count, size_t& done) {
    done = 0;
    while (done < count) {
        ssize_t n = ::write(file, static_cast<const char*>(data) + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return FailFromErrno();
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SeekFile(FileHandle file, int64_t offset, int64_t& position) {
    const off_t result = offset == kSeekToEnd ? ::lseek(file, 0, SEEK_END)
                                              : ::lseek(file, static_cast<off_t>(offset), SEEK_SET);
    if (result < 0) {
        return FailFromErrno();
    }
    position = static_cast<int64_t>(result);
    return true;
}

bool FindWrittenData(FileHandle file, int64_t offset, int64_t& dataAt) {
    // A duplicate would share the file pointer: it is put back instead.
    const off_t place = ::lseek(file, 0, SEEK_CUR);
    // The size first: bytes a writer appends after the look are no hole.
    struct stat info {};
    if (place < 0 || ::fstat(file, &info) != 0) {
        return FailFromErrno();
    }
    const off_t result = ::lseek(file, static_cast<off_t>(offset), SEEK_DATA);
    const int error = errno;
    ::lseek(file, place, SEEK_SET);
    if (result < 0 && error == ENXIO && offset < info.st_size) {
        dataAt = static_cast<int64_t>(info.st_size);
        return true;
    }
    if (result < 0) {
        errno = error;
        return FailFromErrno();
    }
    dataAt = static_cast<int64_t>(result);
    return true;
}

void FillFileStatus(const struct stat& info, FileStatus& status) {
    status.m_qwSize = static_cast<uint64_t>(info.st_size);
    status.m_llModifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                            static_cast<int64_t>(info.st_mtim.tv_nsec);
    status.m_llChangedNs = static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 +
                           static_cast<int64_t>(info.st_ctim.tv_nsec);
    status.m_qwIdentity = (static_cast<uint64_t>(info.st_dev) << 32) ^
                          static_cast<uint64_t>(info.st_ino);
    status.m_uOwner = static_cast<uint32_t>(info.st_uid);
    status.m_bIsDirectory = S_ISDIR(info.st_mode);
    status.m_bIsRegular = S_ISREG(info.st_mode);
}

int64_t BirthTimeAt(int dir, const char* name, int flags) {
    struct statx info {};
    if (::statx(dir, name, flags | AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BTIME, &info) != 0 ||
        (info.stx_mask & STATX_BTIME) == 0) {
        return 0;
    }
    return static_cast<int64_t>(info.stx_btime.tv_sec) * 1000000000 + static_cast<int64_t>(info.stx_btime.tv_nsec);
}

bool GetFileStatus(const char* path, FileStatus& status) {
    TrustedWalk walked;
    if (!WalkTrusted(path, walked)) {
        return false;
    }
    FillFileStatus(walked.m_Info, status);
    status.m_llBornNs = walked.m_File.Get() >= 0 ? BirthTimeAt(walked.m_File.Get(), "", AT_EMPTY_PATH) : 0;
    return true;
}

bool GetOpenFileStatus(FileHandle file, FileStatus& status) {
    struct stat info {};
    if (::fstat(file, &info) != 0) {
        return FailFromErrno();
    }
    FillFileStatus(info, status);
    return true;
}

int64_t FileClockNowNs() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + static_cast<int64_t>(now.tv_nsec);
}

bool ReadFileAt(FileHandle file, int64_t offset, void* buffer, size_t count, size_t& done) {
    return ReadRepeatedly(count, done, [&](size_t already) {
        return ::pread(file, static_cast<char*>(buffer) + already, count - already,
                       static_cast<off_t>(offset) + static_cast<off_t>(already));
    });
}

const void* MapFileView(FileHandle file, size_t size) {
    void* view = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file, 0);
    if (view == MAP_FAILED) {
        FailFromErrno();
        return nullptr;
    }
    return view;
}

bool UnmapFileView(const void* view, size_t size) {
    return ::munmap(const_cast<void*>(view), size) == 0 || FailFromErrno();
}

}  // namespace plat
