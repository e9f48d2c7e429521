#include "platform/FileLock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/OwnFiles.h"
#include "platform/Process.h"
#include "platform/Refusal.h"

namespace plat {
namespace {

// When each file whose lock was last given up may be waited on again.
class QuietFiles {
public:
    bool IsQuiet(const std::string& path) {
        std::lock_guard<std::mutex> guard(m_lock);
        auto found = m_until.find(path);
        if (found == m_until.end()) {
            return false;
        }
        if (std::chrono::steady_clock::now() < found->second) {
            return true;
        }
        m_until.erase(found);
        return false;
    }
    void GaveUp(const std::string& path) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_until[path] = std::chrono::steady_clock::now() + kLockQuietPeriod;
    }
    void Had(const std::string& path) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_until.erase(path);
    }

private:
    std::mutex m_lock;
    std::map<std::string, std::chrono::steady_clock::time_point> m_until;
};

// Never destroyed: state written back at exit (the registry's) still
// takes its locks after the other statics are gone.
QuietFiles& Quiet() {
    static QuietFiles* files = new QuietFiles;
    return *files;
}

// The file of `fd` as the system's lock lists name it: "08:01:1234".
bool LockKey(int fd, std::string& key) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return false;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%02x:%02x:%lu", major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long>(info.st_ino));
    key = text;
    return true;
}

// The holder named in one line of the system's lock list ("1: FLOCK
// ADVISORY WRITE 812 08:01:1234 0 EOF"); 0 when the line is about another
// file or a process waiting for the lock, -1 for an unnamed holder.
pid_t HolderInLine(const std::string& line, const std::string& key) {
    std::istringstream fields(line);
    std::string number;
    std::string kind;
    std::string mode;
    std::string access;
    long pid = 0;
    std::string file;
    if (!(fields >> number >> kind) || kind == "->" || !(fields >> mode >> access >> pid >> file) ||
        file != key) {
        return 0;
    }
    return pid > 0 ? static_cast<pid_t>(pid) : -1;
}

// The process behind a lock held through an open file description, which
// the lock list leaves unnamed: the one whose open files show that lock.
pid_t FindDescriptionHolder(const std::string& key) {
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) {
        return 0;
    }
    pid_t found = 0;
    while (found == 0) {
        const dirent* entry = ::readdir(processes);
        if (entry == nullptr) {
            break;
        }
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == ::getpid()) {
            continue;
        }
        const std::string folder = std::string("/proc/") + entry->d_name + "/fdinfo";
        DIR* descriptors = ::opendir(folder.c_str());
        if (descriptors == nullptr) {
            continue;
        }
        while (const dirent* fd = ::readdir(descriptors)) {
            std::string text;
            if (fd->d_name[0] != '.' && ReadKernelFile(folder + "/" + fd->d_name, text, 65536) &&
                text.find("lock:") != std::string::npos && text.find(" " + key + " ") != std::string::npos) {
                found = static_cast<pid_t>(pid);
                break;
            }
        }
        ::closedir(descriptors);
    }
    ::closedir(processes);
    return found;
}

}  // namespace

pid_t FindLockHolder(int fd) {
    std::string key;
    std::string list;
    if (!LockKey(fd, key) || !ReadKernelFile("/proc/locks", list, 16u << 20)) {
        return 0;
    }
    std::istringstream lines(list);
    std::string line;
    pid_t self = 0;
    bool unnamed = false;
    while (std::getline(lines, line)) {
        const pid_t holder = HolderInLine(line, key);
        if (holder == ::getpid()) {
            self = holder;
        } else if (holder > 0) {
            return holder;
        } else if (holder < 0) {
            unnamed = true;
        }
    }
    if (unnamed) {
        if (const pid_t holder = FindDescriptionHolder(key); holder > 0) {
            return holder;
        }
    }
    return self;
}

std::string LockHolderText(int fd) {
    const pid_t holder = FindLockHolder(fd);
    ProcessAccount account;
    if (holder <= 0 || !FindProcessAccount(holder, account)) {
        return "locked by another process";
    }
    return "locked by process " + std::to_string(holder) + " (" + account.m_strCommand +
           "), a process " + OwnerText(account.NamedOwner());
}

std::string LockRefusalText(int fd, const std::string& path, const std::string& instead) {
    Refusal refusal;
    refusal.m_strPath = path;
    refusal.m_strWhat = LockHolderText(fd);
    refusal.m_strInstead = instead;
    return RefusalText(refusal);
}

bool TakeFileLock(int fd, const std::string& path, LockKind kind, const std::string& instead,
                  std::string* why, std::chrono::milliseconds deadline) {
    const int operation = (kind == LockKind::kShared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    QuietFiles& quiet = Quiet();
    const auto end =
        std::chrono::steady_clock::now() + (quiet.IsQuiet(path) ? std::chrono::milliseconds(0) : deadline);
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (::flock(fd, operation) == 0) {
            quiet.Had(path);
            return true;
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error != EWOULDBLOCK) {
            SetLastErrorFromErrno(error);
            if (why != nullptr) {
                *why = path + ": " + std::strerror(error);
            }
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) {
            break;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, end - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    quiet.GaveUp(path);
    if (why != nullptr) {
        *why = LockRefusalText(fd, path, instead);
    }
    SetLastError(kErrBusy);
    return false;
}

void ReleaseFileLock(int fd) {
    ::flock(fd, LOCK_UN);
}

int TakeStateLock(const std::string& folder, const std::string& name, const std::string& instead,
                  uint32_t& error) {
    std::string why;
    if (!MakeStateFolder(folder, instead, &why)) {
        error = WarnAndFail(why, folder);
        return -1;
    }
    const std::string path = folder + "/" + name;
    const int fd = OpenStateFile(path, O_RDWR | O_CREAT, kStateFileMode, &why);
    if (fd < 0) {
        error = WarnAndFail(WithInstead(why, instead), path);
        return -1;
    }
    if (!TakeFileLock(fd, path, LockKind::kExclusive, instead, &why)) {
        ::close(fd);
        error = WarnAndFail(why, path);
        return -1;
    }
    error = kErrSuccess;
    return fd;
}

bool TryRecordWriteLock(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_SETLK, &lock) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

pid_t RecordLockHolder(int fd, bool* bWrite) {
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    if (bWrite != nullptr) {
        *bWrite = false;
    }
    if (::fcntl(fd, F_GETLK, &query) != 0 || query.l_type == F_UNLCK) {
        return 0;
    }
    if (bWrite != nullptr) {
        *bWrite = query.l_type == F_WRLCK;
    }
    return query.l_pid > 0 ? query.l_pid : -1;
}

}  // namespace plat
