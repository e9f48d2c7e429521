#pragma once
// Files, directories and read-only file views.  Every call that fails
// leaves the error as the thread's last error (LastError.h numbering) and
// answers false, kInvalidFile or null.  There are no share modes on this
// system: files opened "shared" or not behave alike.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace plat {

using FileHandle = int;
constexpr FileHandle kInvalidFile = -1;

bool PathExists(const char* path);
bool GetPathSize(const char* path, uint64_t& size);

// SYMBOLIC LINKS ANOTHER ACCOUNT MAY HAVE PLANTED.  Where other accounts can
// write (a shared log folder, a temporary one), a link may lead anywhere,
// to files only this process may read.  A call given Links::kTrustedOnly
// follows a symbolic link only when the link belongs to root or to this
// process's account, and walks what it names the same way, so every link
// on the way is held to the rule (an operator's own links work).  The
// first link that fails is not followed: it is an "untrusted link".  The
// walk goes one name at a time through descriptors, so a name swapped
// behind it cannot lead it elsewhere.
enum class Links { kFollow, kTrustedOnly };
struct UntrustedLink {
    std::string m_strPath;   // the link as the walk met it
    uint32_t m_uOwner = 0;   // the account that owns it
    std::string m_strOwner;  // that account's name, or empty when it has none
};

struct PathInfo {
    bool m_bIsDirectory = false;  // following a symbolic link
    bool m_bIsLink = false;       // the path itself is a symbolic link
    uint64_t m_uSize = 0;
    int64_t m_iLastWriteTime = 0;  // seconds since 1970
};
// A link that leads nowhere is described as what it is, and so, with
// Links::kTrustedOnly, is an untrusted link that the path names; a path
// that leads through one fails with kErrStoppedOnSymlink.
bool GetPathInfo(const char* path, PathInfo& info, Links links = Links::kFollow);
// Removes a file (not a directory).
bool DeleteFilePath(const char* path);
// Moves `source` over `destination`, replacing it, and waits until the
// change has reached the disk.  Both must lie on one file system.
bool ReplacePath(const char* destination, const char* source);
bool RemoveEmptyDirectory(const char* path);
// Looks a file name up along the search path ($PATH): the first directory
// holding a regular file of that name gives `found` (directory, "/", name).
// False (last error 2) when none does.
bool SearchPath(const std::string& name, std::string& found);

struct DirectoryEntry {
    std::string m_sName;
    bool m_bIsDirectory = false;
};
// Every entry but "." and "..", in the order the directory gives them.  A
// path that leads through an untrusted link (Links::kTrustedOnly) fails
// with kErrStoppedOnSymlink.
bool ListDirectory(const char* path, std::vector<DirectoryEntry>& entries,
                   Links links = Links::kFollow);

// The directory for temporary files ($TMPDIR, else the system's), ending
// with "/".
std::string TempDirectory();

// Broken-down local time; false when the value cannot be converted.
bool LocalTime(time_t value, std::tm& out);

enum class FileCreation { kCreateAlways, kCreateNew };

// READING.  Nothing is read through a symbolic link another account made
// (Links::kTrustedOnly), and nothing but a regular file is opened to read:
// what the path names is looked at before it is opened, so a FIFO, a
// socket or a device (or a link to one) is neither opened nor waited on.
// The file opened is the one looked at.
//
// Whose files may be read:
//   kOwn         the files of root or this process's account, with one name
//                (a policy, a state file, a file the sensor itself wrote):
//                what another account put in their place is refused;
//   kAnyAccount  any account's (a log to watch, a file an operator names).
enum class Owners { kOwn, kAnyAccount };

// Opens `path` to read under the rules above.  A refusal leaves
// kErrAccessDenied as the last error (kErrStoppedOnSymlink for a link and
// kErrBadFileType for a file that is not regular with kAnyAccount) and
// `why`, when given, the path, what is there, its owner and that it is not
// read (Refusal.h); a path that names nothing leaves the system's error.
FileHandle OpenFileToRead(const std::string& path, Owners owners, std::string* why = nullptr);
// OpenFileToRead(path, Owners::kOwn).
FileHandle OpenFileForReading(const char* path);
// Opens a regular file of any account to read (Owners::kAnyAccount), and
// fills `untrusted`, when asked, with the link another account owns that
// the path leads through (kErrStoppedOnSymlink).  For files that other
// accounts may place where the caller reads.
FileHandle OpenRegularFileForReading(const char* path, UntrustedLink* untrusted = nullptr);

// Reads a file the kernel makes (the path begins with /proc/ or /sys/;
// any other is refused with kErrInvalidParameter), at most about `limit`
// bytes.
bool ReadKernelFile(const std::string& path, std::string& out, size_t limit = 1u << 20);

// Forces the entries of the folder `path` (a rename or a new name in it)
// to the disk.
bool SyncFolder(const std::string& path);

// Whether `path`, its last name not followed, still names the file open as
// `file`: neither removed nor replaced by another file under that name (a
// lock file, say, before its holder removes it).
bool PathNamesOpenFile(const std::string& path, FileHandle file);

// A new open file of what this process's descriptor `fd` has open (its
// standard output, say), with the open(2) flags `flags`, so that flags such
// as O_NONBLOCK can be set on it without touching the open file others
// share.
FileHandle ReopenDescriptor(int fd, int flags);

// Opened as OwnFiles.h says: a symbolic link, a file that is not regular or
// another account's file in its place is refused (kErrAccessDenied).
FileHandle OpenFileForWriting(const char* path, FileCreation creation);
bool CloseFile(FileHandle file);
bool GetOpenFileSize(FileHandle file, uint64_t& size);
// Reads or writes up to `count` bytes, repeating short transfers; `done`
// is what was moved (fewer on end of file when reading).
bool ReadFromFile(FileHandle file, void* buffer, size_t count, size_t& done);
bool WriteToFile(FileHandle file, const void* data, size_t count, size_t& done);

// Moves the file pointer to `offset` bytes from the beginning, or to the end
// with kSeekToEnd; `position` is where it now stands.
constexpr int64_t kSeekToEnd = -1;
bool SeekFile(FileHandle file, int64_t offset, int64_t& position);
// Where the first bytes a writer put in the file at or after `offset` lie,
// the holes of a sparse file passed over (the file pointer is left alone):
// the file's end as it was just before the look when all from `offset` to
// there is a hole (a file made longer by a truncate, say); false when the
// file system cannot tell.
bool FindWrittenData(FileHandle file, int64_t offset, int64_t& dataAt);

// What a follower of growing files needs to know of one: its size, when it
// was last written, whether it is a directory, and an identity that stays
// with the file when it is renamed and changes when another file takes its
// name (device and inode folded together).  Trusted links only: a path
// that leads through an untrusted link has that link's own status (neither
// a directory nor a regular file).
struct FileStatus {
    uint64_t m_qwSize = 0;
    int64_t m_llModifiedNs = 0;  // since the epoch
    // When the file or its status last changed: the kernel's own time,
    // which no account can set back (a modification time can be).
    int64_t m_llChangedNs = 0;
    // When the file was made (0: the file system does not say), which
    // tells a file apart from a later one that was given its identity once
    // it was removed.  Only a status read by name has it.
    int64_t m_llBornNs = 0;
    uint64_t m_qwIdentity = 0;
    // The account that owns it.
    uint32_t m_uOwner = 0;
    bool m_bIsDirectory = false;
    bool m_bIsRegular = false;
};
// The clock the kernel stamps a file's change time with, now, in ns since
// the epoch: coarser than the wall clock (a tick of a few milliseconds), so
// a change time that is not older than it may be followed, within the same
// tick, by a change that leaves it as it was.
int64_t FileClockNowNs();
bool GetFileStatus(const char* path, FileStatus& status);
// The status of the file an open handle reads, whatever name it has now.
bool GetOpenFileStatus(FileHandle file, FileStatus& status);
// Reads up to `count` bytes at `offset` without moving the file pointer;
// `done` is fewer at the end of the file.
bool ReadFileAt(FileHandle file, int64_t offset, void* buffer, size_t count, size_t& done);

// A read-only view of the first `size` bytes of an open file.
const void* MapFileView(FileHandle file, size_t size);
bool UnmapFileView(const void* view, size_t size);

}  // namespace plat
