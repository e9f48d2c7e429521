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

// Opens `path` as OpenOwnFile does, creating it, for a file this process
// writes in a folder other accounts may write too (an output in /tmp, say):
// where the folder is root's or this account's and has the sticky bit, and
// another account put something at the name (a file, a FIFO, a folder, a
// link, a socket), the name is taken back first (NameTakeBack.h) and the
// file made anew, and `takenBack` receives the refusal said of it ("PATH is
// a FIFO another account owns (nobody, uid 65534); it is taken back and the
// file made anew").  What root or this account put there is refused as
// OpenOwnFile refuses it, and so is anything in a folder without the sticky
// bit or of another account's, where others could take the name again at
// will.  With O_CREAT in `flags` only.  The folder holding the file is
// looked at first: one another account owns could lose what is written in
// it at that account's will, so it is taken back and made anew the same
// way where it stands in such a sticky folder (`takenBack` then says so),
// and refused elsewhere.
int OpenOwnFileTakingBack(const std::string& path, int flags, unsigned mode, std::string* why,
                          std::string* takenBack);

// Makes the folder `path` and any missing folder above it (0755 under the
// umask), walking the path as OpenOwnFile does.  False, with the last error
// and `why`, when a folder cannot be made or a name on the way is refused.
bool MakeOwnFolders(const std::string& path, std::string* why = nullptr);

// Whether `path` may be replaced (by a rename, which takes the name only)
// with a file of this account's: false, as OpenOwnFile refuses, when the
// name is another account's symbolic link or file, or lies under such a
// link.
bool MayReplaceOwnFile(const std::string& path, std::string* why = nullptr);

// STATE.  Lock, state and pid files are this account's alone (0600, or
// 0640 where a group must read them), and those of the platform layer lie
// in folders only root and this account can write.

// The mode of a lock, state or pid file.
constexpr unsigned kStateFileMode = 0600;

// Makes the folder `path` as MakeOwnFolders does, and checks that only
// root or this account can write into it: a folder of this account's that
// others may write is closed (group and others lose write); one of another
// account's, or of root's that others may write, is refused, `why` naming
// it and its owner, then `instead` (what the caller does without it).
bool MakeStateFolder(const std::string& path, const std::string& instead, std::string* why);

// Opens `path` as OpenOwnFile does, and gives the file `mode` whatever
// mode it had (a state file made by an older version, under a loose
// umask).
int OpenStateFile(const std::string& path, int flags, unsigned mode, std::string* why = nullptr);

// Makes a new file of a name no other file has: `path` ends in "XXXXXX",
// which becomes six letters or digits (and `path` the name made).  The
// folder is walked as OpenOwnFile walks it, and the file is made with
// O_EXCL, so nothing another account put there is opened.  The descriptor
// (close-on-exec, for reading and writing), or -1 with the last error and
// `why`.
int CreateUniqueOwnFile(std::string& path, unsigned mode, std::string* why = nullptr);

// Copies the file `source` over `destination`, both opened as above (the
// destination created or emptied).  False, with the last error and `why`,
// when either is refused or the copy fails.
bool CopyOwnFile(const std::string& source, const std::string& destination,
                 std::string* why = nullptr);

}  // namespace plat
