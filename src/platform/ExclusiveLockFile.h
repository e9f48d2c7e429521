#pragma once
// A lock file that tells processes on this host that something is taken
// (an adapter, by the sensors on every root): the file exists, under its
// name, for as long as its holder holds it, and the holder keeps a lock on
// it, so a file left by a process that died is known for abandoned (its
// lock went with it) and taken over.  Such files lie in a folder of the
// host's that only root and the sensor's account can write, never in a
// temporary folder where any account could put a FIFO, a link or a file of
// its own at a name anyone can predict.

#include <string>

namespace plat {

// The host's folder of lock files: $HW_LOCK_DIR when it is set (tests),
// else /run/hostwarden.
std::string HostLockFolder();

class ExclusiveLockFile {
public:
    ExclusiveLockFile() = default;
    ~ExclusiveLockFile() { Release(); }
    ExclusiveLockFile(const ExclusiveLockFile&) = delete;
    ExclusiveLockFile& operator=(const ExclusiveLockFile&) = delete;

    // Takes the lock file `name` in `folder` (made when missing, as
    // OwnFiles.h's MakeStateFolder makes and checks it).  The file appears
    // under its name already locked, so nobody can take a lock just made for
    // an abandoned one.  Never waits.  False, with the last error
    // (kErrSharingViolation while a live process holds it) and `why` in the
    // one form of Refusal.h (the file and its holder, or the folder or what
    // stands at the name refused, then `instead`).
    bool Acquire(const std::string& folder, const std::string& name, const std::string& instead,
                 std::string* why);
    // Removes the file and lets go; false when nothing was held.
    bool Release();
    bool Held() const { return m_nFd >= 0; }
    const std::string& Path() const { return m_strPath; }

private:
    int m_nFd = -1;
    std::string m_strPath;
};

}  // namespace plat
