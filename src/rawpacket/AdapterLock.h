#pragma once
// A lock file that tells sensors on this machine which adapter is taken.  A
// held lock is an open file in the lock directory that the holder removes
// when it lets go; a file left by a process that died is recognised (the
// holder's file lock went with it) and taken over.

#include <cstdint>
#include <string>

namespace rp {

class AdapterLock {
public:
    // With `acquire`, a lock that cannot be taken raises ResourceError
    // "<adapter> is not accessible".
    AdapterLock(const std::string& adapterName, bool acquire);
    virtual ~AdapterLock();
    AdapterLock(const AdapterLock&) = delete;
    AdapterLock& operator=(const AdapterLock&) = delete;

    // False with lastError() set when another holder has it.
    bool acquire();
    // 0, or -1 when nothing was held.
    int release();
    bool isInUse() const;
    bool held() const { return m_bHeld; }
    uint32_t lastError() const { return m_dwLastError; }
    const std::string& name() const { return m_strName; }

    // The lock name: every character that is not a letter or digit becomes "_".
    static std::string lockNameOf(const std::string& adapterName);
    // The adapter name with a trailing "-p" removed.
    static std::string lockNameFor(const std::string& adapterName);
    // Where lock files live (a test may point it elsewhere through TMPDIR).
    static std::string lockDirectory();

private:
    std::string m_strName;
    bool m_bHeld = false;
    int m_hFile = -1;
    uint32_t m_dwLastError = 0;
    std::string m_strPath;
};

}  // namespace rp
