#include "platform/NameTakeBack.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "platform/TrustedPath.h"

namespace plat {
namespace {

constexpr char kAsidePrefix[] = ".hw-aside-";
// Letters a name nobody can foresee is made of: 62 to the 12th names.
constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr size_t kRandomLetters = 12;
// A new aside name is drawn again only when someone made the drawn one
// first; one that keeps failing means the folder refuses new entries.
constexpr int kAsideAttempts = 16;
// The swap is tried again only when the name turns free, or is taken again
// after it did, between two steps: another account cannot keep that up.
constexpr int kSwapAttempts = 8;
constexpr char kFreshName[] = "taken";

// Makes a folder of this account's own, 0700, at a name of `dir` nobody can
// foresee, and opens it; -1 with errno set when none could be made.
int MakeAsideFolder(int dir, std::string& name) {
    for (int attempt = 0; attempt < kAsideAttempts; ++attempt) {
        unsigned char random[kRandomLetters];
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            return -1;
        }
        name = kAsidePrefix;
        for (unsigned char c : random) {
            name += kLetters[c % (sizeof kLetters - 1)];
        }
        if (::mkdirat(dir, name.c_str(), 0700) != 0) {
            if (errno == EEXIST) {
                continue;
            }
            return -1;
        }
        // Opened by its name once: from then on only through the descriptor,
        // which no rename by anyone can redirect.
        Descriptor aside(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (aside.Get() < 0 || ::fstat(aside.Get(), &info) != 0) {
            return -1;
        }
        if (info.st_uid != ::geteuid() || (info.st_mode & 077) != 0) {
            // Not the folder just made: someone replaced it in a folder
            // without the sticky bit.  Nothing is put in it.
            errno = EPERM;
            return -1;
        }
        return aside.Release();
    }
    errno = EEXIST;
    return -1;
}

// Removes what the folder `dir` holds, without following any link in it,
// taking at most `budget` entries and kTakeBackDepth levels; false when
// something was left.
bool EmptyFolder(int dir, int depth, uint32_t& budget) {
    DIR* listing = ::fdopendir(dir);
    if (listing == nullptr) {
        ::close(dir);
        return false;
    }
    bool bEmptied = true;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        if (budget == 0) {
            bEmptied = false;
            break;
        }
        --budget;
        struct stat info {};
        if (::fstatat(::dirfd(listing), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            bEmptied = false;
            continue;
        }
        const bool bFolder = S_ISDIR(info.st_mode);
        if (bFolder) {
            const int inner = depth < kTakeBackDepth
                                  ? ::openat(::dirfd(listing), name.c_str(),
                                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                  : -1;
            if (inner < 0 || !EmptyFolder(inner, depth + 1, budget)) {
                bEmptied = false;
                continue;
            }
        }
        if (::unlinkat(::dirfd(listing), name.c_str(), bFolder ? AT_REMOVEDIR : 0) != 0) {
            bEmptied = false;
        }
    }
    ::closedir(listing);
    return bEmptied;
}

// Removes what came out of the name, now `kFreshName` in the aside folder,
// and then the aside folder; what is left says where.
void RemoveTaken(int dir, const std::string& dirPath, int aside, const std::string& asideName,
                 const struct stat& out, TakenBack& taken) {
    bool bRemoved = true;
    if (S_ISDIR(out.st_mode)) {
        uint32_t budget = kTakeBackEntries;
        const int inner = ::openat(aside, kFreshName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        bRemoved = inner >= 0 && EmptyFolder(inner, 0, budget) &&
                   ::unlinkat(aside, kFreshName, AT_REMOVEDIR) == 0;
    } else {
        bRemoved = ::unlinkat(aside, kFreshName, 0) == 0;
    }
    if (!bRemoved || ::unlinkat(dir, asideName.c_str(), AT_REMOVEDIR) != 0) {
        taken.m_strLeftIn = (dirPath.empty() || dirPath.back() == '/' ? dirPath : dirPath + "/") + asideName;
    }
}

}  // namespace

TakeBackOutcome TakeBackName(int dir, const std::string& dirPath, const std::string& leaf,
                             unsigned mode, const std::function<bool(const struct stat&)>& mayTake,
                             TakenBack& taken) {
    taken = TakenBack{};
    std::string asideName;
    Descriptor aside(MakeAsideFolder(dir, asideName));
    if (aside.Get() < 0) {
        taken.m_nError = errno;
        return TakeBackOutcome::kFailed;
    }
    // Lets go of the new file and the aside folder, when the name was not
    // taken.
    const bool bFolder = S_ISDIR(mode);
    const auto discard = [&] {
        ::unlinkat(aside.Get(), kFreshName, bFolder ? AT_REMOVEDIR : 0);
        ::unlinkat(dir, asideName.c_str(), AT_REMOVEDIR);
    };
    const auto fail = [&](int error) {
        discard();
        taken.m_nError = error;
        return TakeBackOutcome::kFailed;
    };
    if (bFolder) {
        if (::mkdirat(aside.Get(), kFreshName, static_cast<mode_t>(mode & 07777)) != 0) {
            return fail(errno);
        }
    } else {
        Descriptor fresh(::openat(aside.Get(), kFreshName,
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  static_cast<mode_t>(mode & 07777)));
        if (fresh.Get() < 0) {
            return fail(errno);
        }
    }
    for (int attempt = 0; attempt < kSwapAttempts; ++attempt) {
        if (::renameat2(aside.Get(), kFreshName, dir, leaf.c_str(), RENAME_EXCHANGE) != 0) {
            if (errno != ENOENT) {
                return fail(errno);
            }
            // Free now: the new file takes the name, unless it was taken
            // again in between, which the next swap deals with.
            if (::renameat2(aside.Get(), kFreshName, dir, leaf.c_str(), RENAME_NOREPLACE) == 0) {
                ::unlinkat(dir, asideName.c_str(), AT_REMOVEDIR);
                taken.m_mode = bFolder ? S_IFDIR : S_IFREG;
                taken.m_owner = ::geteuid();
                return TakeBackOutcome::kTaken;
            }
            if (errno != EEXIST) {
                return fail(errno);
            }
            continue;
        }
        struct stat out {};
        if (::fstatat(aside.Get(), kFreshName, &out, AT_SYMLINK_NOFOLLOW) != 0) {
            // Swapped, but not to be looked at: the name is this account's
            // all the same.
            out.st_mode = S_IFREG;
            out.st_uid = ::geteuid();
        } else if (!mayTake(out) &&
                   ::renameat2(aside.Get(), kFreshName, dir, leaf.c_str(), RENAME_EXCHANGE) == 0) {
            // Someone entitled to the name made it meanwhile: theirs again.
            discard();
            return TakeBackOutcome::kChanged;
        }
        taken.m_bFound = true;
        taken.m_mode = out.st_mode;
        taken.m_owner = out.st_uid;
        RemoveTaken(dir, dirPath, aside.Get(), asideName, out, taken);
        return TakeBackOutcome::kTaken;
    }
    return fail(EAGAIN);
}

std::string TakenBackInstead(const TakenBack& taken, const std::string& made) {
    std::string text = "it is taken back and the " + made + " made anew";
    if (!taken.m_strLeftIn.empty()) {
        text += "; what it held past " + std::to_string(kTakeBackEntries) + " entries or " +
                std::to_string(kTakeBackDepth) + " levels is left in " + taken.m_strLeftIn;
    }
    return text;
}

}  // namespace plat
