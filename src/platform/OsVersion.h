#pragma once
// The operating-system version the sensor sees.  The sensor was written for
// one platform family and picks its rule definitions by version; this
// system answers that family (kPlatformNT) at version 5.2 everywhere.
// Tests install their own answer to reach the other branches.

#include <cstdint>
#include <functional>

namespace plat {

enum : uint32_t {
    kPlatformWin32s = 0,
    kPlatformWindows = 1,
    kPlatformNT = 2,
};

struct OsVersion {
    uint32_t m_dwPlatformId = 0;
    uint32_t m_dwMajorVersion = 0;
    uint32_t m_dwMinorVersion = 0;
};

// False when the version cannot be read (only an installed source can say so).
bool GetOsVersion(OsVersion& version);

// Replaces the answer of GetOsVersion; an empty function restores the
// system's.  Answers the previous source.
using OsVersionSource = std::function<bool(OsVersion&)>;
OsVersionSource SetOsVersionSource(OsVersionSource source);

}  // namespace plat
