#include "platform/DurableFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/OwnFiles.h"

namespace plat {
namespace {

// A size the file reports is only a hint; it never makes the read reserve
// more than this up front.
constexpr uint64_t kMaxReserve = 64u << 20;

uint32_t FailAt(FileStep step, uint32_t error, FileStep* failed) {
    if (failed != nullptr) {
        *failed = step;
    }
    SetLastError(error);
    return error;
}

}  // namespace

uint32_t ReadWholeFile(const std::string& path, std::string& out, FileStep* failed,
                       uint64_t limit, std::string* why, Owners owners) {
    out.clear();
    FileHandle file = OpenFileToRead(path, owners, why);
    if (file == kInvalidFile) {
        return FailAt(FileStep::kOpen, GetLastError(), failed);
    }
    uint64_t size = 0;
    if (GetOpenFileSize(file, size)) {
        out.reserve(static_cast<size_t>(std::min({size, kMaxReserve, limit})));
    }
    const uint64_t most = limit == UINT64_MAX ? limit : limit + 1;
    char buffer[65536];
    while (out.size() < most) {
        size_t done = 0;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof buffer, most - out.size()));
        if (!ReadFromFile(file, buffer, want, done)) {
            uint32_t error = GetLastError();
            CloseFile(file);
            out.clear();
            return FailAt(FileStep::kRead, error, failed);
        }
        out.append(buffer, done);
        if (done < want) {
            break;
        }
    }
    CloseFile(file);
    return FailAt(FileStep::kNone, kErrSuccess, failed);
}

uint32_t ReplaceFileDurably(const std::string& path, const std::string& tempPath,
                            std::string_view bytes, FileStep* failed, std::string* why,
                            unsigned stateMode) {
    if (!MayReplaceOwnFile(path, why) || !MayReplaceOwnFile(tempPath, why)) {
        return FailAt(FileStep::kOpen, GetLastError(), failed);
    }
    if (!DeleteFilePath(tempPath.c_str()) && GetLastError() != kErrFileNotFound) {
        return FailAt(FileStep::kOpen, GetLastError(), failed);
    }
    const int file = OpenOwnFile(tempPath, O_RDWR | O_CREAT | O_EXCL, stateMode != 0 ? stateMode : 0644, why);
    if (file < 0) {
        return FailAt(FileStep::kOpen, GetLastError(), failed);
    }
    // The old file's mode is kept (MayReplaceOwnFile has seen that it is
    // this account's regular file), but never the right of others to write;
    // a state file gets its own mode whatever the umask or the old file had.
    struct stat existing {};
    if (stateMode != 0) {
        ::fchmod(file, stateMode);
    } else if (::lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        ::fchmod(file, existing.st_mode & 07755);
    }
    size_t done = 0;
    bool written = WriteToFile(file, bytes.data(), bytes.size(), done);
    uint32_t error = written ? kErrSuccess : GetLastError();
    // The data must be on disk before the rename makes it the file.
    if (written && ::fsync(file) != 0) {
        written = false;
        error = MapErrno(errno);
    }
    if (!CloseFile(file) && written) {
        written = false;
        error = GetLastError();
    }
    if (!written) {
        DeleteFilePath(tempPath.c_str());
        return FailAt(FileStep::kWrite, error, failed);
    }
    if (!ReplacePath(path.c_str(), tempPath.c_str())) {
        return FailAt(FileStep::kMove, GetLastError(), failed);
    }
    return FailAt(FileStep::kNone, kErrSuccess, failed);
}

}  // namespace plat
