#include "HostFileReading.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Files.h"
#include "platform/LastError.h"

int OpenHostFileForReading(const std::string& path, std::string& problem) {
    problem.clear();
    plat::UntrustedLink link;
    const int fd = plat::OpenRegularFileForReading(path.c_str(), &link);
    if (fd < 0) {
        const int error = errno;
        switch (plat::GetLastError()) {
            case plat::kErrFileNotFound:
            case plat::kErrPathNotFound:
                break;
            case plat::kErrStoppedOnSymlink:
                problem = path + " is not read: the symbolic link " + link.m_strPath +
                          " belongs to another account (" +
                          (link.m_strOwner.empty() ? std::string() : link.m_strOwner + ", ") +
                          "uid " + std::to_string(link.m_uOwner) + ") and is not followed";
                break;
            case plat::kErrBadFileType:
                problem = path + " is not read: it is not a regular file (a FIFO, socket or device)";
                break;
            default:
                problem = "cannot open " + path + ": " + std::strerror(error);
                break;
        }
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        problem = "cannot open " + path + ": " + std::strerror(errno);
    } else if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
        problem = path + " is not read: it is owned by another account (uid " +
                  std::to_string(info.st_uid) + ")";
    } else if (info.st_nlink > 1) {
        problem = path + " is not read: it has another name (a hard link)";
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
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
