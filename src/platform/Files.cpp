#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/LastError.h"
#include "platform/OwnFiles.h"

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

bool GetPathInfo(const char* path, PathInfo& info) {
    struct stat own {};
    if (::lstat(path, &own) != 0) {
        return Fail();
    }
    info.m_bIsLink = S_ISLNK(own.st_mode);
    struct stat target = own;
    // A dangling link is still an entry; it is reported as what it is.
    if (info.m_bIsLink && ::stat(path, &target) != 0) {
        target = own;
    }
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

bool ListDirectory(const char* path, std::vector<DirectoryEntry>& entries) {
    entries.clear();
    DIR* dir = ::opendir(path);
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
            std::string full = std::string(path) + "/" + name;
            item.m_bIsDirectory = ::lstat(full.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
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

FileHandle OpenRegularFileForReading(const char* path) {
    // A path-only descriptor opens nothing: a FIFO's open would wait for a
    // writer, and a device's could act on the device.
    const int located = ::open(path, O_PATH | O_CLOEXEC);
    if (located < 0) {
        Fail();
        return kInvalidFile;
    }
    struct stat found {};
    if (::fstat(located, &found) != 0) {
        Fail();
        ::close(located);
        return kInvalidFile;
    }
    if (!S_ISREG(found.st_mode)) {
        ::close(located);
        SetLastError(kErrBadFileType);
        return kInvalidFile;
    }
    // Opened again through the located descriptor, the file cannot be
    // swapped for another under its name in between.  Without /proc the
    // name is opened once more, without waiting, and must still be that
    // file.
    constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    const std::string reopen = "/proc/self/fd/" + std::to_string(located);
    FileHandle file = ::open(reopen.c_str(), kReadFlags);
    if (file < 0 && errno == ENOENT) {
        file = ::open(path, kReadFlags);
    }
    if (file < 0) {
        Fail();
        ::close(located);
        return kInvalidFile;
    }
    ::close(located);
    struct stat opened {};
    if (::fstat(file, &opened) != 0 || opened.st_dev != found.st_dev || opened.st_ino != found.st_ino) {
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
    struct stat info {};
    if (::stat(path, &info) != 0) {
        return Fail();
    }
    FillFileStatus(info, status);
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
