#include "platform/OsVersion.h"

#include <mutex>
#include <utility>

namespace plat {

namespace {

std::mutex g_sourceLock;
OsVersionSource g_source;

}  // namespace

bool GetOsVersion(OsVersion& version) {
    OsVersionSource source;
    {
        std::lock_guard<std::mutex> guard(g_sourceLock);
        source = g_source;
    }
    if (source) {
        return source(version);
    }
    version.m_dwPlatformId = kPlatformNT;
    version.m_dwMajorVersion = 5;
    version.m_dwMinorVersion = 2;
    return true;
}

OsVersionSource SetOsVersionSource(OsVersionSource source) {
    std::lock_guard<std::mutex> guard(g_sourceLock);
    std::swap(g_source, source);
    return source;
}

}  // namespace plat
