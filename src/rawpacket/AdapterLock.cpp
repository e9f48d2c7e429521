#include "rawpacket/AdapterLock.h"

#include <cctype>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "rawpacket/RpErrors.h"

namespace rp {
namespace {

// The lock file's name in the lock folder, for the lock named `lockName`.
std::string FileNameOf(const std::string& lockName) {
    return "qor_" + lockName + ".lck";
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
    return plat::HostLockFolder();
}

std::string AdapterLock::lockPathOf(const std::string& lockName) {
    return lockDirectory() + "/" + FileNameOf(lockName);
}

bool AdapterLock::acquire() {
    if (held()) {
        return true;
    }
    if (m_File.Acquire(lockDirectory(), FileNameOf(m_strName),
                       "the adapter is used without its lock", &m_strRefusal)) {
        m_dwLastError = 0;
        m_strRefusal.clear();
        return true;
    }
    m_dwLastError = plat::GetLastError();
    return false;
}

int AdapterLock::release() {
    return m_File.Release() ? 0 : -1;
}

bool AdapterLock::isInUse() const {
    if (held()) {
        return true;
    }
    std::string dir = lockDirectory();
    if (!plat::PathExists(dir.c_str())) {
        // The folder is made with the first lock taken on this host, so
        // before that it only says that no adapter is taken yet; only a
        // folder that cannot be made leaves every adapter unlockable.
        const size_t slash = dir.find_last_of('/');
        const std::string parent = slash == 0 ? "/" : dir.substr(0, slash);
        return slash == std::string::npos || !plat::PathExists(parent.c_str());
    }
    // Another program of the product family marks adapters this way.
    return plat::PathExists((dir + "//qorqg_" + m_strName + ".lck").c_str());
}

}  // namespace rp
