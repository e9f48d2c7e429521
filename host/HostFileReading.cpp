#include "HostFileReading.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Files.h"
#include "platform/LastError.h"

int OpenHostFileForReading(const std::string& path, std::string& problem) {
    problem.clear();
    std::string why;
    const int fd = plat::OpenFileToRead(path, plat::Owners::kOwn, &why);
    if (fd < 0) {
        const uint32_t error = plat::GetLastError();
        if (error != plat::kErrFileNotFound && error != plat::kErrPathNotFound) {
            problem = why;
        }
    }
    return fd;
}

bool ReadHostFile(const std::string& path, size_t limit, std::string& text, std::string& problem) {
    text.clear();
    const int fd = OpenHostFileForReading(path, problem);
    if (fd < 0) {
        return false;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            problem = "cannot read " + path + ": " + std::strerror(errno);
            break;
        }
        if (got == 0) {
            break;
        }
        if (text.size() + static_cast<size_t>(got) > limit) {
            problem = path + " is not read: it is larger than " + std::to_string(limit) + " bytes";
            break;
        }
        text.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    if (!problem.empty()) {
        text.clear();
        return false;
    }
    return true;
}
