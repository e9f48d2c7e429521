#pragma once
// Taking a name back in a folder other accounts can write (the shared-memory
// folder, a shared output folder such as /tmp) from whatever another account
// put there: a file, a FIFO, a folder, a link, a socket.
//
// What stands at the name is swapped, in one step, with a new empty file of
// this account's, so there is no moment in which the name is free for that
// account to take again, and nothing is ever moved to a name it could have
// made first.  What came out lands in a folder of this process's own (0700),
// made for the purpose beside the name, so on the same file system, under a
// name nobody can foresee (made anew should someone have made that name
// already); it is removed from there.  In a folder with the sticky bit only
// root and a file's owner may remove or rename it, so the file left at the
// name stays this account's until this account lets it go.
//
// A folder that came out is emptied only so far (kTakeBackEntries entries,
// kTakeBackDepth levels): what it holds past that stays in the aside folder,
// said by the caller, so no squat can make the sensor spend long on it.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

namespace plat {

constexpr uint32_t kTakeBackEntries = 10000;
constexpr int kTakeBackDepth = 16;

struct TakenBack {
    // Something stood at the name (else it had turned free, and nobody's
    // was taken); what came out: its kind and owner.
    bool m_bFound = false;
    mode_t m_mode = 0;
    uid_t m_owner = 0;
    // A folder that came out held more than it was emptied of: the rest is
    // in this folder.
    std::string m_strLeftIn;
    // The errno of a take-back that failed.
    int m_nError = 0;
};

enum class TakeBackOutcome {
    // The name holds a new empty file of this account's (a folder, when
    // `mode` has S_IFDIR), made with `mode` under the umask; `taken` says
    // what came out.
    kTaken,
    // What stood at the name by then is something the caller would not
    // take (`mayTake` said no): it is put back, untouched, to be looked at
    // afresh.
    kChanged,
    // Nothing was changed at the name; m_nError says why.
    kFailed,
};

// Takes the name `leaf` of the folder `dir` (a descriptor; `dirPath` names
// it in what is said) from what stands there, when `mayTake` agrees to what
// the swap brought out.  A name found free meanwhile gets the new file all
// the same.
TakeBackOutcome TakeBackName(int dir, const std::string& dirPath, const std::string& leaf,
                             unsigned mode, const std::function<bool(const struct stat&)>& mayTake,
                             TakenBack& taken);

// The INSTEAD of a refusal (Refusal.h) for a take-back: "it is taken back and
// the MADE made anew", with where the rest of a folder too big to empty was
// left.
std::string TakenBackInstead(const TakenBack& taken, const std::string& made);

}  // namespace plat
