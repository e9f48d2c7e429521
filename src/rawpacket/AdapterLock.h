#pragma once
// A lock file that tells sensors on this machine, whatever their root,
// which adapter is taken.  A held lock is an open file in the host's lock
// folder (platform/ExclusiveLockFile.h: one only root and the sensor's
// account can write, never a temporary folder) that the holder removes when
// it lets go; a file left by a process that died is recognised (the
// holder's file lock went with it) and taken over.  Taking it never waits.

#include <cstdint>
#include <string>

#include "platform/ExclusiveLockFile.h"

namespace rp {

class AdapterLock {
public:
    // With `acquire`, a lock that cannot be taken raises ResourceError
    // "<adapter> is not accessible".
    AdapterLock(const std::string& adapterName, bool acquire);
    virtual ~AdapterLock();
    AdapterLock(const AdapterLock&) = delete;
    AdapterLock& operator=(const AdapterLock&) = delete;

    // False with lastError() set when another holder has it, or its folder
    // or what stands at its name is refused; refusal() then says so.
    bool acquire();
    // 0, or -1 when nothing was held.
    int release();
    bool isInUse() const;
    bool held() const { return m_File.Held(); }
    uint32_t lastError() const { return m_dwLastError; }
    // Why the last acquire failed: the lock file and its holder, or what
    // was refused, and that the adapter is used without the lock.
    const std::string& refusal() const { return m_strRefusal; }
    const std::string& name() const { return m_strName; }

    // The lock name: every character that is not a letter or digit becomes "_".
    static std::string lockNameOf(const std::string& adapterName);
    // The adapter name with a trailing "-p" removed.
    static std::string lockNameFor(const std::string& adapterName);
    // Where lock files live: the host's lock folder (a test may point it
    // elsewhere through HW_LOCK_DIR).
    static std::string lockDirectory();
    // The file of the lock named `lockName` (lockNameOf).
    static std::string lockPathOf(const std::string& lockName);

private:
    std::string m_strName;
    plat::ExclusiveLockFile m_File;
    uint32_t m_dwLastError = 0;
    std::string m_strRefusal;
};

}  // namespace rp
