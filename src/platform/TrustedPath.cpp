#include "platform/TrustedPath.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <utility>

namespace plat {

void Descriptor::Reset(int fd) {
    if (m_nFd >= 0) {
        ::close(m_nFd);
    }
    m_nFd = fd;
}

bool IsTrustedOwner(uid_t owner) {
    return owner == 0 || owner == ::geteuid();
}

std::vector<std::string> PathNames(std::string_view path) {
    std::vector<std::string> names;
    for (size_t start = 0; start <= path.size();) {
        const size_t slash = std::min(path.find('/', start), path.size());
        const std::string_view name = path.substr(start, slash - start);
        if (!name.empty() && name != ".") {
            names.emplace_back(name);
        }
        start = slash + 1;
    }
    return names;
}

bool LookAt(int dir, const std::string& name, Descriptor& entry, struct stat& info) {
    entry.Reset(::openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    return entry.Get() >= 0 && ::fstat(entry.Get(), &info) == 0;
}

bool ReadLinkTarget(int link, std::string& target) {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlinkat(link, "", buffer, sizeof buffer);
    if (length < 0) {
        return false;
    }
    if (static_cast<size_t>(length) >= sizeof buffer || length == 0) {
        errno = length == 0 ? ENOENT : ENAMETOOLONG;
        return false;
    }
    target.assign(buffer, static_cast<size_t>(length));
    return true;
}

namespace {

bool WalkFailed(TrustedWalk& walk) {
    walk.m_nError = errno;
    return false;
}

Descriptor OpenStart(int base, bool absolute) {
    return Descriptor(absolute ? ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)
                               : ::openat(base, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// Pushes the names of `path` so that the first comes off the back first.
void PushNames(std::string_view path, std::vector<std::string>& pending) {
    std::vector<std::string> names = PathNames(path);
    std::move(names.rbegin(), names.rend(), std::back_inserter(pending));
}

// Looks at `name` in `dir`, making it a folder first when the walk asks
// and it is missing.
bool LookAtOrMake(int dir, const std::string& name, bool make, Descriptor& entry,
                  struct stat& info) {
    if (LookAt(dir, name, entry, info)) {
        return true;
    }
    if (errno != ENOENT || !make) {
        return false;
    }
    if (::mkdirat(dir, name.c_str(), 0755) != 0 && errno != EEXIST) {
        return false;
    }
    return LookAt(dir, name, entry, info);
}

}  // namespace

bool WalkTrustedPath(int base, std::string_view path, TrustedWalk& walk) {
    const bool absolute = !path.empty() && path[0] == '/';
    Descriptor current = OpenStart(base, absolute);
    Descriptor parent;
    struct stat info {};
    if (current.Get() < 0 || ::fstat(current.Get(), &info) != 0) {
        return WalkFailed(walk);
    }
    std::string text = absolute ? "" : ".";  // the names walked, for messages
    std::string name;
    std::vector<std::string> pending;
    PushNames(path, pending);
    while (!pending.empty()) {
        std::string next = std::move(pending.back());
        pending.pop_back();
        Descriptor found;
        struct stat foundInfo {};
        if (!LookAtOrMake(current.Get(), next, walk.m_bMakeFolders, found, foundInfo)) {
            return WalkFailed(walk);
        }
        std::string foundText = text;
        if (next == "..") {
            foundText.erase(std::min(foundText.size(), foundText.rfind('/')));
        } else {
            foundText += "/" + next;
        }
        if (S_ISLNK(foundInfo.st_mode)) {
            const bool last = pending.empty();
            walk.m_bFinalIsLink = walk.m_bFinalIsLink || last;
            if (!IsTrustedOwner(foundInfo.st_uid)) {
                walk.m_bUntrusted = true;
                walk.m_bUntrustedIsLast = last;
                walk.m_strLinkPath = std::move(foundText);
                walk.m_Parent = std::move(current);
                walk.m_File = std::move(found);
                walk.m_strName = std::move(next);
                walk.m_Info = foundInfo;
                return true;
            }
            std::string target;
            if (++walk.m_nLinks > kMaxLinks) {
                errno = ELOOP;
                return WalkFailed(walk);
            }
            if (!ReadLinkTarget(found.Get(), target)) {
                return WalkFailed(walk);
            }
            if (target[0] == '/') {
                current = OpenStart(base, true);
                if (current.Get() < 0 || ::fstat(current.Get(), &info) != 0) {
                    return WalkFailed(walk);
                }
                parent.Reset();
                name.clear();
                text.clear();
            }
            PushNames(target, pending);
            continue;
        }
        text = std::move(foundText);
        parent = std::move(current);
        current = std::move(found);
        info = foundInfo;
        name = std::move(next);
    }
    walk.m_Parent = std::move(parent);
    walk.m_File = std::move(current);
    walk.m_strName = std::move(name);
    walk.m_Info = info;
    return true;
}

}  // namespace plat
