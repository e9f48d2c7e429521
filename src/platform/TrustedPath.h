#pragma once
// Walking a path where other accounts can write, as a root process must.
// The walk goes one name at a time through path-only descriptors: each name
// is looked up, without following it, in the folder the walk holds, so a
// name swapped behind the walk cannot lead it elsewhere.  A symbolic link is
// followed only when root or this process's account owns it, and its target
// is read from the very entry that was looked at.  Internal to the platform
// layer: OwnFiles.cpp (what this process writes) and Files.cpp (what it
// reads where links may be planted) each say what they refuse and how.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace plat {

// A descriptor closed with its holder.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : m_nFd(fd) {}
    ~Descriptor() { Reset(); }
    Descriptor(Descriptor&& other) noexcept : m_nFd(other.Release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return m_nFd; }
    void Reset(int fd = -1);
    int Release() {
        const int fd = m_nFd;
        m_nFd = -1;
        return fd;
    }

private:
    int m_nFd = -1;
};

struct FileStatus;

// The status a follower of files keeps (Files.h) of what `info` describes.
void FillFileStatus(const struct stat& info, FileStatus& status);
// When the file `name` in `dir` (with AT_EMPTY_PATH and "", the file `dir`
// itself) was made, in nanoseconds since the epoch; 0 when the file system
// does not keep it.  Links are not followed.
int64_t BirthTimeAt(int dir, const char* name, int flags);

// As many links as the kernel's own walk of one path follows.
constexpr int kMaxLinks = 40;

// Root and this process's account: the owners whose links are followed.
bool IsTrustedOwner(uid_t owner);

// The names of `path` in order; empty names and "." change nothing and are
// left out ("/" and "" have none).
std::vector<std::string> PathNames(std::string_view path);

// Looks at the entry `name` of the folder `dir` without following or opening
// it: `entry` becomes a path-only descriptor of it and `info` its status.
// False with errno set.
bool LookAt(int dir, const std::string& name, Descriptor& entry, struct stat& info);

// Reads the target of the symbolic link that `link` (a path-only descriptor
// of the link itself) holds.  False with errno set.
bool ReadLinkTarget(int link, std::string& target);

// A walk under the trusted-links rule: what it is asked, and where it ended
// (at what the path names, or at the first link it does not follow).
struct TrustedWalk {
    bool m_bMakeFolders = false;  // a missing name is made a folder (0755 under the umask)
    int m_nLinks = 0;             // links followed so far, this walk's and before it

    Descriptor m_File;            // path-only: nothing is opened to look at it
    Descriptor m_Parent;          // the folder holding it; none for the start
    std::string m_strName;        // its name there
    struct stat m_Info {};        // of m_File (of the link itself when untrusted)
    bool m_bFinalIsLink = false;  // the path's last name is a link
    bool m_bUntrusted = false;    // stopped at a link another account owns
    bool m_bUntrustedIsLast = false;  // ... and that link is the last name
    std::string m_strLinkPath;        // that link as the walk met it
    int m_nError = 0;                 // the errno of a walk that failed
};

// Walks `path` from the folder `base` (AT_FDCWD for the working folder; "/"
// when the path is absolute); an empty path names `base` itself.  True when
// the path resolved or the walk stopped at an untrusted link; false, with
// m_nError and errno set, when a name on the way is missing (and could not
// be made), is not a folder, or leads through more than kMaxLinks links.
bool WalkTrustedPath(int base, std::string_view path, TrustedWalk& walk);

}  // namespace plat
