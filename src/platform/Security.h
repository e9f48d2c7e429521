#pragma once
// Security descriptors of files and registry keys: an owner, a DACL and a
// SACL of access entries.  Linux keeps nothing like them, so the layer keeps
// its own: records in <platform root>/security.txt (settings text:
// "[\Objects\<n>\];" with "Kind" File or Key, "Name", "Owner" as SID text,
// "Dacl" and "Sacl" as entry lists "type:flags:mask:SID" joined by ","),
// appended under an exclusive lock on security.lock so several processes can
// share them; an object's last record is its descriptor.  An
// object without a record has the default descriptor: its owner (the file's
// user, S-1-22-1-<uid>; SYSTEM for a key), an empty DACL and an empty SACL.
//
// Files are named by their absolute path with symbolic links resolved; keys
// by root and sub-key path, names compared without regard to ASCII case.  An
// object must exist (the file on disk, the key in the registry): 2 when it
// does not.  Reading or writing a SACL needs the security privilege enabled
// on the calling thread (1314 otherwise); the privilege can be withheld for
// the whole platform by creating <platform root>/security-privilege-denied.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Accounts.h"
#include "platform/Registry.h"

namespace plat {

// Entry types and flags, the values stored in the entries.
enum : uint8_t {
    kAceAccessAllowed = 0,
    kAceAccessDenied = 1,
    kAceSystemAudit = 2,
};
enum : uint8_t {
    kAceObjectInherit = 0x01,
    kAceContainerInherit = 0x02,
    kAceSuccessfulAccess = 0x40,
    kAceFailedAccess = 0x80,
};
// The parts a read or write covers.
enum : uint32_t {
    kSecurityOwner = 0x1,
    kSecurityDacl = 0x4,
    kSecuritySacl = 0x8,
};

struct AccessEntry {
    uint8_t type = kAceAccessAllowed;
    uint8_t flags = 0;
    uint32_t mask = 0;
    Sid sid;

    bool operator==(const AccessEntry&) const = default;
};

struct SecurityDescriptor {
    Sid owner;
    std::vector<AccessEntry> dacl;
    std::vector<AccessEntry> sacl;
};

// Enables the security privilege on the calling thread: 0, or 1314.
uint32_t EnableSecurityPrivilege();
// Drops it again.
void DisableSecurityPrivilege();

// The parts asked for; parts not asked for come back empty.
uint32_t GetFileSecurity(const std::string& path, uint32_t parts, SecurityDescriptor& out);
// Replaces the parts given; the others are kept.
uint32_t SetFileSecurity(const std::string& path, uint32_t parts, const SecurityDescriptor& sd);
uint32_t GetKeySecurity(RegistryKey root, const std::string& subKey, uint32_t parts,
                        SecurityDescriptor& out);
uint32_t SetKeySecurity(RegistryKey root, const std::string& subKey, uint32_t parts,
                        const SecurityDescriptor& sd);

}  // namespace plat
