#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/LastError.h"
#include "platform/OwnFiles.h"
#include "platform/TrustedPath.h"

namespace plat {
namespace {

bool Fail() {
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

std::string AccountNameOf(uid_t owner) {
    char buffer[4096];
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(owner, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return std::string();
}

// Walks `path` from the working folder under the trusted-links rule.
// False, with the last error set, when the path names nothing.
bool WalkTrusted(const char* path, TrustedWalk& walked) {
    if (path == nullptr || *path == '\0') {
        errno = ENOENT;
        return Fail();
    }
    if (!WalkTrustedPath(AT_FDCWD, path, walked)) {
        errno = walked.m_nError;
        return Fail();
    }
    return true;
}

}  // namespace

bool PathExists(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0 || Fail();
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
        return Fail();
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
            return Fail();
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
    return ::unlink(path) == 0 || Fail();
}

bool ReplacePath(const char* destination, const char* source) {
    if (::rename(source, destination) != 0) {
        return Fail();
    }
    // The rename is only durable once the directory that records it is.
    int dir = ::open(ParentDirectory(destination).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool RemoveEmptyDirectory(const char* path) {
    return ::rmdir(path) == 0 || Fail();
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
        return Fail();
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

FileHandle OpenFileForReading(const char* path) {
    FileHandle file = ::open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        Fail();
        return kInvalidFile;
    }
    struct stat info {};
    if (::fstat(file, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(file);
        SetLastError(kErrAccessDenied);
        return kInvalidFile;
    }
    return file;
}

FileHandle OpenRegularFileForReading(const char* path, UntrustedLink* untrusted) {
    // The walk opens nothing: a FIFO's open would wait for a writer, and a
    // device's could act on the device.
    TrustedWalk walked;
    if (!WalkTrusted(path, walked)) {
        return kInvalidFile;
    }
    if (walked.m_bUntrusted) {
        if (untrusted != nullptr) {
            untrusted->m_strPath = std::move(walked.m_strLinkPath);
            untrusted->m_uOwner = static_cast<uint32_t>(walked.m_Info.st_uid);
            untrusted->m_strOwner = AccountNameOf(walked.m_Info.st_uid);
        }
        SetLastError(kErrStoppedOnSymlink);
        return kInvalidFile;
    }
    if (!S_ISREG(walked.m_Info.st_mode)) {
        SetLastError(kErrBadFileType);
        return kInvalidFile;
    }
    // Opened again through the walk's descriptor, the file cannot be
    // swapped for another under its name in between.  Without /proc the
    // name is opened once more in the directory the walk found it in,
    // without following a link or waiting, and must still be that file.
    constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    const std::string reopen = "/proc/self/fd/" + std::to_string(walked.m_File.Get());
    FileHandle file = ::open(reopen.c_str(), kReadFlags);
    if (file < 0 && errno == ENOENT) {
        file = ::openat(walked.m_Parent.Get(), walked.m_strName.c_str(), kReadFlags | O_NOFOLLOW);
    }
    if (file < 0) {
        Fail();
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
    return ::close(file) == 0 || Fail();
}

bool GetOpenFileSize(FileHandle file, uint64_t& size) {
    struct stat info {};
    if (::fstat(file, &info) != 0) {
        return Fail();
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
            return Fail();
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
            return Fail();
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SeekFile(FileHandle file, int64_t offset, int64_t& position) {
    const off_t result = offset == kSeekToEnd ? ::lseek(file, 0, SEEK_END)
                                              : ::lseek(file, static_cast<off_t>(offset), SEEK_SET);
    if (result < 0) {
        return Fail();
    }
    position = static_cast<int64_t>(result);
    return true;
}

namespace {

void FillFileStatus(const struct stat& info, FileStatus& status) {
    status.m_qwSize = static_cast<uint64_t>(info.st_size);
    status.m_llModifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                            static_cast<int64_t>(info.st_mtim.tv_nsec);
    status.m_qwIdentity = (static_cast<uint64_t>(info.st_dev) << 32) ^
                          static_cast<uint64_t>(info.st_ino);
    status.m_bIsDirectory = S_ISDIR(info.st_mode);
    status.m_bIsRegular = S_ISREG(info.st_mode);
}

}  // namespace

bool GetFileStatus(const char* path, FileStatus& status) {
    TrustedWalk walked;
    if (!WalkTrusted(path, walked)) {
        return false;
    }
    FillFileStatus(walked.m_Info, status);
    return true;
}

bool GetOpenFileStatus(FileHandle file, FileStatus& status) {
    struct stat info {};
    if (::fstat(file, &info) != 0) {
        return Fail();
    }
    FillFileStatus(info, status);
    return true;
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
        Fail();
        return nullptr;
    }
    return view;
}

bool UnmapFileView(const void* view, size_t size) {
    return ::munmap(const_cast<void*>(view), size) == 0 || Fail();
}

}  // namespace plat
