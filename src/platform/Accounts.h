#pragma once
// Security identifiers (SIDs) and the local account database.
//
// SID LAYOUT (the binary form event records and security descriptors carry)
//
//   0  u8   revision, always 1
//   1  u8   sub-authority count n, at most 15
//   2  6 bytes  identifier authority, big-endian
//   8  n x u32  sub-authorities, little-endian
//
// so a SID occupies 8 + 4 n bytes.  Its text form is "S-1-<authority>-<sub
// 1>-...", the authority in decimal below 2^32 and as "0x" and twelve hex
// digits above.
//
// ACCOUNTS. A lookup answers a domain, an account name and the SID's use,
// searched in this order:
//   1. the file <platform root>/accounts.txt, one account a line:
//        SID-text <TAB> DOMAIN\name [<TAB> use]
//      ('#' starts a comment line; a name without "\" has an empty domain;
//      the use defaults to 1, a user).  It is read again when it changes, so
//      a demo or a test can add accounts or rename the built-in ones;
//   2. the well-known accounts: S-1-1-0 "Everyone" (no domain),
//      "NT AUTHORITY\SYSTEM" S-1-5-18, "NT AUTHORITY\LOCAL SERVICE" S-1-5-19,
//      "NT AUTHORITY\NETWORK SERVICE" S-1-5-20, "NT AUTHORITY\ANONYMOUS
//      LOGON" S-1-5-7, "BUILTIN\Administrators" S-1-5-32-544 and
//      "BUILTIN\Users" S-1-5-32-545;
//   3. the system's users and groups: uid u is S-1-22-1-u and gid g is
//      S-1-22-2-g, both in the domain named by the upper-cased host name.
// Names are compared without regard to ASCII case; a name given without a
// domain matches the first account of that name in the order above.
//
// Results are 0 or an error of LastError.h (also left as the last error):
// 87 for a bad argument, 1337 for bytes that hold no valid SID, 1332 when no
// account maps, 122 when a buffer is too small.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

constexpr uint8_t kSidRevision = 1;
constexpr uint8_t kSidMaxSubAuthorities = 15;
constexpr size_t kSidHeaderSize = 8;
constexpr size_t kSidMaxSize = kSidHeaderSize + 4 * kSidMaxSubAuthorities;

using Sid = std::vector<uint8_t>;

// What an account is, as lookups report it.
enum : uint32_t {
    kSidUseUser = 1,
    kSidUseGroup = 2,
    kSidUseDomain = 3,
    kSidUseAlias = 4,
    kSidUseWellKnownGroup = 5,
};

// Builds the SID of the six-byte authority and `count` sub-authorities;
// 87 for a count outside 1 to 8 (the most a caller builds this way).
uint32_t AllocateAndInitializeSid(const uint8_t authority[6], uint8_t count,
                                  const uint32_t* subAuthorities, Sid& sid);

// The number of bytes the SID at `sid` occupies, or 0 when the `size`
// bytes there do not begin with a whole SID of revision 1.
size_t SidLength(const uint8_t* sid, size_t size);
inline bool IsValidSid(const uint8_t* sid, size_t size) {
    return SidLength(sid, size) != 0;
}
inline bool IsValidSid(const Sid& sid) {
    return SidLength(sid.data(), sid.size()) == sid.size();
}

// Byte equality of two valid SIDs; false when either is not valid.
bool EqualSid(const uint8_t* a, size_t aSize, const uint8_t* b, size_t bSize);
inline bool EqualSid(const Sid& a, const Sid& b) {
    return EqualSid(a.data(), a.size(), b.data(), b.size());
}

// The text form, or empty for bytes that hold no valid SID.
std::string SidToText(const uint8_t* sid, size_t size);
inline std::string SidToText(const Sid& sid) {
    return SidToText(sid.data(), sid.size());
}

// Parses the text form strictly (revision 1, decimal or "0x" authority,
// 1 to 15 decimal sub-authorities, nothing else); false on any fault.
bool SidFromText(std::string_view text, Sid& sid);

// The account of a SID.  `nameSize` and `domainSize` hold the buffers'
// sizes on entry and the texts' lengths (without NUL) on return; when
// either is too small the answer is 122 with both set to the sizes needed,
// NUL included (null buffers with sizes 0 ask for the sizes).  `use` may be
// null.
uint32_t LookupAccountSid(const uint8_t* sid, size_t sidSize, char* name, uint32_t* nameSize,
                          char* domain, uint32_t* domainSize, uint32_t* use);

// The SID of an account name ("name" or "DOMAIN\name"), with the same
// buffer rules: `sidSize` holds the SID buffer's size in bytes on entry and
// the SID's length on return.
uint32_t LookupAccountName(const char* accountName, uint8_t* sid, uint32_t* sidSize, char* domain,
                           uint32_t* domainSize, uint32_t* use);

}  // namespace plat
