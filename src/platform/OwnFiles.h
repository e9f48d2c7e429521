#pragma once
// Opening the files this process writes in folders that other accounts can
// reach (a sensor root, its logs, its platform state).  The sensor runs as
// root: a name another account put there first must never make it write
// somewhere else, or write into a file that account controls.
//
// So a symbolic link, as the file's own name or as a folder on the way, is
// followed only when root or this process's own account made it (as an
// administrator may point a log elsewhere); another account's is refused.
// A link is read from the very entry that was checked, so one put in its
// place meanwhile is not followed.  A FIFO never blocks the open and is
// refused like any file that is not regular (a character device, which only
// root can make, is taken as it is); and a file that another account owns,
// or that has a second name (a hard link to a file elsewhere), is refused.
// Every refusal leaves kErrAccessDenied as the last error and says why in
// words.

#include <string>

namespace plat {

// Opens `path` with the open(2) access mode and O_CREAT, O_EXCL, O_APPEND and
// O_TRUNC flags of `flags`, creating it with `mode` (under the umask).  A
// file refused is left untouched (O_TRUNC is applied only once the file
// is known to be this account's own).  Answers the descriptor (close-on-exec,
// blocking), or -1 with the last error set and `why` (when given) holding
// the path and the reason.
int OpenOwnFile(const std::string& path, int flags, unsigned mode, std::string* why = nullptr);

// Makes the folder `path` and any missing folder above it (0755 under the
// umask), walking the path as OpenOwnFile does.  False, with the last error
// and `why`, when a folder cannot be made or a name on the way is refused.
bool MakeOwnFolders(const std::string& path, std::string* why = nullptr);

// Whether `path` may be replaced (by a rename, which takes the name only)
// with a file of this account's: false, as OpenOwnFile refuses, when the
// name is another account's symbolic link or file, or lies under such a
// link.
bool MayReplaceOwnFile(const std::string& path, std::string* why = nullptr);

// Copies the file `source` over `destination`, both opened as above (the
// destination created or emptied).  False, with the last error and `why`,
// when either is refused or the copy fails.
bool CopyOwnFile(const std::string& source, const std::string& destination,
                 std::string* why = nullptr);

}  // namespace plat
