#pragma once
// A folder held open where other accounts can write, for walks of folder
// trees that cost one open per folder however deep they go: each folder is
// opened relative to the one that holds it, never by a path from "/", so a
// name swapped behind the walk cannot lead it elsewhere either.  Links keep
// the trusted-links rule of Files.h: a link is followed only when root or
// this process's account owns it, and so is every link on the way to what
// it names; each link is looked at once, where the walk meets it.  Nothing
// is opened but folders (without waiting: a FIFO or a device is never
// opened), and a name is described without being opened.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/Files.h"

namespace plat {

// What a name in a folder is, as a walk describes it: what it leads to when
// it is a link the rule follows; the link itself when it is another
// account's (neither a directory nor a regular file then).
struct FolderEntryStatus {
    FileStatus m_Status;
    uint32_t m_uOwner = 0;          // of what is described
    bool m_bTrustedOwner = false;   // ... root or this process's account
    bool m_bIsLink = false;         // the name itself is a symbolic link
    bool m_bUntrustedLink = false;  // ... another account's, described as itself
};

class TrustedFolder {
public:
    TrustedFolder() = default;
    ~TrustedFolder() { Close(); }
    TrustedFolder(TrustedFolder&& other) noexcept : m_nFd(other.m_nFd) { other.m_nFd = -1; }
    TrustedFolder& operator=(TrustedFolder&& other) noexcept;
    TrustedFolder(const TrustedFolder&) = delete;
    TrustedFolder& operator=(const TrustedFolder&) = delete;

    bool IsOpen() const { return m_nFd >= 0; }
    void Close();

    // Opens the folder `relative` names within `base` (names separated by
    // "/"; from the working folder without a base, from "/" when it begins
    // with "/").  With `bFollowLinks` false, `relative` is one name and a
    // link there is not entered.  False with the last error set: a path
    // that leads through another account's link gives kErrStoppedOnSymlink,
    // a name that is not a folder kErrPathNotFound, a missing one
    // kErrFileNotFound; a link not entered for `bFollowLinks` false gives
    // kErrPathNotFound too.
    bool Open(const TrustedFolder* base, std::string_view relative, bool bFollowLinks = true);

    // Reads the names of the folder's entries ("." and ".." left out) in the
    // order the file system gives them, at most `nMax` of them, each to
    // `take` with whether the folder says it is a folder (false when it does
    // not say).  `nRead` is the number read; `bComplete` false when `nMax`
    // ended the listing early.  False with the last error set when the
    // folder cannot be listed.
    bool List(size_t nMax, const std::function<void(std::string_view, bool)>& take, size_t& nRead,
              bool& bComplete) const;

    // Describes `relative` within this folder (one name, or several
    // separated by "/"; without a folder open, from the working folder or
    // "/"), under the rule above.  False with the last error set when it
    // names nothing (kErrFileNotFound, kErrPathNotFound), or leads through
    // another account's link before its last name (kErrStoppedOnSymlink).
    bool Describe(std::string_view relative, FolderEntryStatus& status) const;

private:
    int m_nFd = -1;
};

}  // namespace plat
