#include "platform/TextFile.h"

#include <errno.h>
#include <stdio.h>
#include <sys/types.h>

#include "platform/Files.h"
#include "platform/LastError.h"

namespace plat {
namespace {

ssize_t ReadTranslated(void* cookie, char* buffer, size_t size) {
    FILE* file = static_cast<FILE*>(cookie);
    size_t n = 0;
    while (n < size) {
        int c = std::getc(file);
        if (c == EOF) {
            break;
        }
        if (c == '\r') {
            int next = std::getc(file);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file);
            }
        }
        buffer[n++] = static_cast<char>(c);
    }
    if (n == 0 && std::ferror(file)) {
        return -1;
    }
    return static_cast<ssize_t>(n);
}

int CloseTranslated(void* cookie) {
    return std::fclose(static_cast<FILE*>(cookie));
}

}  // namespace

FILE* OpenTextFileForRead(const char* path) {
    if (path == nullptr) {
        SetLastError(kErrInvalidParameter);
        return nullptr;
    }
    const FileHandle fd = OpenFileForReading(path);
    if (fd == kInvalidFile) {
        return nullptr;
    }
    FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        SetLastErrorFromErrno(errno);
        CloseFile(fd);
        return nullptr;
    }
    cookie_io_functions_t functions{};
    functions.read = ReadTranslated;
    functions.close = CloseTranslated;
    FILE* translated = ::fopencookie(file, "r", functions);
    if (translated == nullptr) {
        SetLastErrorFromErrno(errno);
        std::fclose(file);
    }
    return translated;
}

}  // namespace plat
