#include "platform/NamedObject.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Environment.h"
#include "platform/LastError.h"
#include "platform/NameTakeBack.h"
#include "platform/Refusal.h"
#include "platform/TrustedPath.h"

namespace plat {
namespace {

constexpr size_t kMaxScopeLength = 32;

// How long a user waits for another to finish laying an object out.
constexpr std::chrono::milliseconds kLayoutWait{2000};

// Opens of one name before giving up: each retry follows a name removed
// under the opener (by its last user, or taken back from another account).
constexpr int kOpenAttempts = 16;

struct ScopeState {
    std::mutex lock;
    bool known = false;
    std::string scope;
};

ScopeState& Scope() {
    static ScopeState state;
    return state;
}

bool ValidScope(const std::string& scope) {
    if (scope.size() > kMaxScopeLength) {
        return false;
    }
    for (char c : scope) {
        bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                     c == '-' || c == '_';
        if (!plain) {
            return false;
        }
    }
    return true;
}

std::string CanonicalRoot(const std::string& root) {
    char resolved[PATH_MAX];
    if (::realpath(root.c_str(), resolved) != nullptr) {
        return resolved;
    }
    // A folder this account cannot reach is named as written, made absolute.
    std::error_code failure;
    std::string path = std::filesystem::absolute(root, failure).lexically_normal().string();
    if (failure) {
        path = root;
    }
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// Open-file-description locks: owned by the descriptor, not the process,
// so threads do not share them and a downgrade from exclusive to shared is
// atomic.  Never waits: whoever holds a lock is not trusted to let go.
bool SetLock(int fd, short type) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// The name was removed by its last user after this process opened it.
bool Unlinked(int fd) {
    struct stat info;
    return fstat(fd, &info) != 0 || info.st_nlink == 0;
}

enum class Ownership { kOwn, kForeign, kNotAnObject };

// Whose the object is; a name that is not a plain object (a FIFO, a
// device someone linked there) is nobody's to use.
Ownership OwnershipOf(const struct stat& info) {
    if (!S_ISREG(info.st_mode)) {
        return Ownership::kNotAnObject;
    }
    return info.st_uid == geteuid() ? Ownership::kOwn : Ownership::kForeign;
}

// The folder the system keeps shared-memory names in.
constexpr char kSharedFolder[] = "/dev/shm";

// The file of an object's name in the shared-memory folder.
std::string FileOf(const std::string& path) {
    return kSharedFolder + path;
}

// Whether something that is not this process's own plain object stands at
// the name: another account's file, or a folder, a FIFO, a link, a socket
// of anyone's.
bool Squatted(const std::string& path, struct stat& info) {
    return lstat(FileOf(path).c_str(), &info) == 0 && OwnershipOf(info) != Ownership::kOwn;
}

// Takes a name back from what stands there (`info`, as last seen) and is
// not this account's own object, and says so in the one form: the operator
// learns that someone tried.  kChanged when the name changed hands
// meanwhile, for the caller to look again.
TakeBackOutcome TakeBack(const std::string& path, const struct stat& info) {
    const std::string file = FileOf(path);
    TakenBack taken;
    Descriptor folder(open(kSharedFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    TakeBackOutcome outcome = TakeBackOutcome::kFailed;
    if (folder.Get() < 0) {
        taken.m_nError = errno;
    } else {
        outcome = TakeBackName(folder.Get(), kSharedFolder, path.substr(1), 0600,
                               [](const struct stat& out) { return OwnershipOf(out) != Ownership::kOwn; },
                               taken);
    }
    if (outcome == TakeBackOutcome::kTaken && taken.m_bFound) {
        WarnOfRefusal(RefusalText(file, KindText(taken.m_mode), static_cast<uint32_t>(taken.m_owner),
                                  TakenBackInstead(taken, "object")));
    } else if (outcome == TakeBackOutcome::kFailed) {
        WarnOfRefusal(RefusalText(file, KindText(info.st_mode), static_cast<uint32_t>(info.st_uid),
                                  std::string("it cannot be taken back (") + std::strerror(taken.m_nError) +
                                      "), and the object is not opened"));
    }
    return outcome;
}

// Refuses to open an object whose name holds what `info` describes.
bool RefuseToOpen(const std::string& path, const struct stat& info) {
    WarnOfRefusal(RefusalText(FileOf(path), KindText(info.st_mode), static_cast<uint32_t>(info.st_uid),
                              "the object is not opened"));
    SetLastError(kErrAccessDenied);
    return false;
}

// Takes the shared lock, waiting at most kLayoutWait for the holder of
// the exclusive one; kErrBusy when it is held longer.
bool AwaitSharedLock(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + kLayoutWait;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (SetLock(fd, F_RDLCK)) {
            return true;
        }
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
            SetLastErrorFromErrno(errno);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            SetLastError(kErrBusy);
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
}

// The mode is set whatever the umask made of the one asked for at
// creation, and again on an object made earlier with another group.
bool GiveAccess(int fd, int32_t shareGroup) {
    if (shareGroup >= 0 && fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(shareGroup)) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    if (fchmod(fd, shareGroup >= 0 ? 0660 : 0600) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

}  // namespace

std::string ObjectScopeOfRoot(const std::string& root) {
    // FNV-1a: stable across builds and machines, so every program that is
    // given the same root finds the same objects.
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : CanonicalRoot(root)) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%012llx",
                  static_cast<unsigned long long>(hash & 0xFFFFFFFFFFFFull));
    return text;
}

bool SetObjectScope(const std::string& scope) {
    if (!ValidScope(scope)) {
        return false;
    }
    ScopeState& state = Scope();
    std::lock_guard<std::mutex> guard(state.lock);
    state.scope = scope;
    state.known = true;
    SetEnvironmentText(kObjectScopeVariable, scope.c_str());
    return true;
}

std::string ObjectScope() {
    ScopeState& state = Scope();
    std::lock_guard<std::mutex> guard(state.lock);
    if (!state.known) {
        std::string inherited;
        if (GetEnvironmentText(kObjectScopeVariable, inherited) && ValidScope(inherited)) {
            state.scope = inherited;
        }
        state.known = true;
    }
    return state.scope;
}

std::string SharedObjectPath(const std::string& name) {
    const std::string scope = ObjectScope();
    const std::string prefix = scope.empty() ? "/hw." : "/hw." + scope + ".";
    if (name.empty() || name.size() > NAME_MAX - prefix.size() ||
        name.find('\0') != std::string::npos) {
        return {};
    }
    std::string path = prefix + name;
    for (size_t i = prefix.size(); i < path.size(); ++i) {
        if (path[i] == '/' || path[i] == '\\')
            path[i] = '_';
    }
    return path;
}

bool FindGroupId(const std::string& name, int32_t& groupId) {
    if (name.empty()) {
        return false;
    }
    long suggested = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
    struct group entry;
    struct group* found = nullptr;
    int rc;
    while ((rc = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0 || found == nullptr) {
        return false;
    }
    groupId = static_cast<int32_t>(found->gr_gid);
    return true;
}

bool NamedObject::Open(const std::string& name, bool create, const Initialiser& initialise,
                       int32_t shareGroup) {
    Close();
    std::string path = SharedObjectPath(name);
    if (path.empty()) {
        SetLastError(kErrInvalidParameter);
        return false;
    }
    // A retry follows a race with the last user removing the name, or a
    // foreign object taken back; another process cannot make it go on.
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        int fd = shm_open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
        struct stat info;
        if (fd < 0) {
            const int error = errno;
            // Where the name holds what cannot be opened as an object (a
            // folder, a link, another account's file the system will not
            // let this process create over), a creator takes it back first.
            if (error != ENOENT && Squatted(path, info)) {
                if (!create) {
                    return RefuseToOpen(path, info);
                }
                if (TakeBack(path, info) != TakeBackOutcome::kFailed) {
                    continue;
                }
                SetLastError(kErrAccessDenied);
                return false;
            }
            SetLastErrorFromErrno(error);
            return false;
        }
        // Looked at before any lock is asked for: whoever made the object
        // holds its locks too, and is not waited on.
        if (fstat(fd, &info) != 0) {
            SetLastErrorFromErrno(errno);
            close(fd);
            return false;
        }
        const Ownership ownership = OwnershipOf(info);
        if (ownership == Ownership::kNotAnObject || (create && ownership == Ownership::kForeign)) {
            close(fd);
            // Left by another account: the name is taken back, not reused.
            if (!create) {
                return RefuseToOpen(path, info);
            }
            if (TakeBack(path, info) != TakeBackOutcome::kFailed) {
                continue;
            }
            SetLastError(kErrAccessDenied);
            return false;
        }
        if (SetLock(fd, F_WRLCK)) {
            if (Unlinked(fd)) {
                close(fd);
                continue;
            }
            if (!create) {
                // Left by processes that are gone: as good as missing.
                shm_unlink(path.c_str());
                close(fd);
                SetLastError(kErrFileNotFound);
                return false;
            }
            SetLastError(kErrSuccess);
            if (!GiveAccess(fd, shareGroup) || ftruncate(fd, 0) != 0 || !initialise(fd)) {
                if (GetLastError() == kErrSuccess)
                    SetLastErrorFromErrno(errno);
                shm_unlink(path.c_str());
                close(fd);
                return false;
            }
            SetLock(fd, F_RDLCK);
            m_fresh = true;
        } else {
            // Another user holds it, or is laying it out right now: a layout
            // takes moments, so a longer exclusive hold is refused.
            if (!AwaitSharedLock(fd)) {
                close(fd);
                return false;
            }
            if (Unlinked(fd)) {
                close(fd);
                continue;
            }
            if (create && !GiveAccess(fd, shareGroup)) {
                close(fd);
                return false;
            }
            m_fresh = false;
        }
        m_fd = fd;
        m_path = path;
        SetLastError(m_fresh ? kErrSuccess : kErrAlreadyExists);
        return true;
    }
    SetLastError(kErrAccessDenied);
    return false;
}

void NamedObject::Close() {
    if (m_fd < 0) {
        return;
    }
    if (SetLock(m_fd, F_WRLCK) && !Unlinked(m_fd)) {
        shm_unlink(m_path.c_str());
    }
    close(m_fd);
    m_fd = -1;
    m_fresh = false;
    m_path.clear();
}

}  // namespace plat
