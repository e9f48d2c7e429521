#include "rawpacket/AdapterLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "rawpacket/RpErrors.h"

namespace rp {
namespace {

// Takes over a lock file whose holder is gone: a live holder keeps an
// exclusive file lock on it for as long as it holds the adapter.
bool RemoveIfAbandoned(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT;
    }
    bool removed = false;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        struct stat opened {};
        struct stat named {};
        // Only the file we locked, not one a new holder has just put there.
        if (::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 && opened.st_ino == named.st_ino &&
            opened.st_dev == named.st_dev) {
            removed = ::unlink(path.c_str()) == 0;
        }
    }
    ::close(fd);
    return removed;
}

}  // namespace

AdapterLock::AdapterLock(const std::string& adapterName, bool acquireNow) : m_strName(lockNameOf(adapterName)) {
    if (acquireNow && !acquire()) {
        throwResourceError(adapterName + " is not accessible", m_dwLastError, "rp_util", 88);
    }
}

AdapterLock::~AdapterLock() { release(); }

std::string AdapterLock::lockNameOf(const std::string& adapterName) {
    std::string name = adapterName;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}

std::string AdapterLock::lockNameFor(const std::string& adapterName) {
    if (adapterName.size() >= 2 && adapterName.compare(adapterName.size() - 2, 2, "-p") == 0) {
        return adapterName.substr(0, adapterName.size() - 2);
    }
    return adapterName;
}

std::string AdapterLock::lockDirectory() {
    std::string dir = plat::TempDirectory();
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    return dir;
}

bool AdapterLock::acquire() {
    if (m_bHeld) {
        return true;
    }
    std::string dir = lockDirectory();
    struct stat info {};
    if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        m_dwLastError = static_cast<uint32_t>(errno != 0 ? errno : ENOTDIR);
        return false;
    }
    std::string path = dir + "/qor_" + m_strName + ".lck";
    // The file appears under its name already locked, so nobody can take a
    // newly made lock for an abandoned one.
    std::string scratch = path + ".XXXXXX";
    int fd = ::mkostemp(scratch.data(), O_CLOEXEC);
    if (fd < 0) {
        m_dwLastError = plat::MapErrno(errno);
        return false;
    }
    ::flock(fd, LOCK_EX);
    bool linked = ::link(scratch.c_str(), path.c_str()) == 0;
    if (!linked && errno == EEXIST && RemoveIfAbandoned(path)) {
        linked = ::link(scratch.c_str(), path.c_str()) == 0;
    }
    int linkError = errno;
    ::unlink(scratch.c_str());
    if (!linked) {
        ::close(fd);
        m_dwLastError = linkError == EEXIST ? plat::kErrSharingViolation : plat::MapErrno(linkError);
        return false;
    }
    m_hFile = fd;
    m_strPath = path;
    m_bHeld = true;
    m_dwLastError = 0;
    return true;
}

int AdapterLock::release() {
    if (!m_bHeld) {
        return -1;
    }
    ::unlink(m_strPath.c_str());
    ::close(m_hFile);
    m_hFile = -1;
    m_bHeld = false;
    return 0;
}

bool AdapterLock::isInUse() const {
    if (m_bHeld) {
        return true;
    }
    std::string dir = lockDirectory();
    if (!plat::PathExists(dir.c_str())) {
        return true;
    }
    // Another program of the product family marks adapters this way.
    return plat::PathExists((dir + "//qorqg_" + m_strName + ".lck").c_str());
}

}  // namespace rp
