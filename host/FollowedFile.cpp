#include "FollowedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/OwnFiles.h"
#include "platform/OwnOutputs.h"
#include "platform/Refusal.h"

FollowedFile::~FollowedFile() {
    Close();
}

bool FollowedFile::Open(const std::string& path, std::string& problem, Clock::time_point now) {
    m_strPath = path;
    return Reopen(problem, now);
}

bool FollowedFile::Reopen(std::string& problem, Clock::time_point now) {
    // The file open until now is let go whatever comes of the open: a
    // rotation's SIGHUP means it, and a file gone from its path takes
    // nothing anyone will read.
    LetGo();
    m_lastPathCheck = now;
    const size_t slash = m_strPath.rfind('/');
    if (slash != std::string::npos && slash > 0 &&
        !plat::MakeOwnFolders(m_strPath.substr(0, slash), &problem)) {
        return false;
    }
    std::string takenBack;
    const int fd =
        plat::OpenOwnFileTakingBack(m_strPath, O_WRONLY | O_CREAT | O_APPEND, 0644, &problem, &takenBack);
    if (!takenBack.empty()) {
        if (m_takeBackReport) {
            m_takeBackReport(takenBack);
        } else {
            plat::WarnOfRefusal(takenBack);
        }
    }
    if (fd < 0) {
        return false;
    }
    if (!m_strOwnOutput.empty()) {
        plat::OwnOutputs::Instance().Opened(fd, m_strOwnOutput.c_str());
    }
    if (m_bNonBlocking) {
        // The descriptor is this process's own open file: its flags are
        // nobody else's.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    m_nFd = fd;
    ++m_qwOpens;
    struct stat status {};
    if (::fstat(fd, &status) == 0) {
        m_device = status.st_dev;
        m_inode = status.st_ino;
    }
    return true;
}

bool FollowedFile::Follow(std::string& problem, Clock::time_point now) {
    if (m_strPath.empty()) {
        return m_nFd >= 0;
    }
    // A removed file is seen at once (one fstat a write); a file renamed
    // away, whose path then names another file or none, within a second.
    struct stat status {};
    bool bGone = m_nFd < 0 || (::fstat(m_nFd, &status) == 0 && status.st_nlink == 0);
    if (!bGone && (now - m_lastPathCheck >= kPathCheckInterval || now < m_lastPathCheck)) {
        m_lastPathCheck = now;
        bGone = ::lstat(m_strPath.c_str(), &status) != 0 || status.st_ino != m_inode ||
                status.st_dev != m_device;
    }
    return !bGone || Reopen(problem, now);
}

void FollowedFile::LetGo() {
    if (m_nFd >= 0) {
        ::close(m_nFd);
        m_nFd = -1;
    }
}

void FollowedFile::Close() {
    LetGo();
    m_strPath.clear();
}

bool CutWrittenPiece(int fd, uint64_t bytes, std::string& problem) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        problem = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        problem = "what was taken cannot be taken back";
        return false;
    }
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end < 0) {
        problem = std::strerror(errno);
        return false;
    }
    if (static_cast<uint64_t>(end) < bytes || status.st_size != end) {
        problem = "the file no longer ends where it was written to";
        return false;
    }
    const off_t cut = end - static_cast<off_t>(bytes);
    if (::ftruncate(fd, cut) != 0) {
        problem = std::strerror(errno);
        return false;
    }
    // A descriptor without O_APPEND (standard output sent to a file) would
    // write on at its old offset and leave a hole of zeros.
    ::lseek(fd, cut, SEEK_SET);
    return true;
}
