#pragma once
// The files this process writes as its outputs (the host's log, alert and
// message files, its console when that is a file), known by the file itself
// for the whole run, whatever names and folders it is given later: a
// rotation renames an output (alerts.xml to alerts.xml.1, or into another
// folder, as logrotate's olddir does) and the host opens a new one at its
// path, and the renamed file is still what the sensor wrote.
//
// The host names each file here as it opens it, before it writes a byte to
// it; the plug-in, loaded into the same process, asks whether a file it
// meets is one of them.  So nothing the host writes can reach a reader of
// the plug-in unnamed, however soon after its open it is renamed, and
// however seldom the plug-in looks (Generation changes before the first
// byte is written: a reader that looks at it after each read never hands
// out a byte of a file named after it began to read).
//
// A file is known by its identity (device and inode), its birth time and
// its owner, with no descriptor held: a rename within the file system keeps
// all three, and a file later given the inode of one removed was born
// later, so it is never taken for it.  The outputs are files of the
// sensor's account (or of whoever owned a file the host was told to write
// into): a file of another account is never taken for one, whatever inode
// it was given.  A removed output cannot be told from one that still
// exists without holding it, so each stays known until kMaxFiles are: past
// them, the oldest one the host no longer writes is let go and counted
// (LetGoAtBound).  At 40 bytes a file that is 2.5 MiB; three outputs rotated
// every hour reach it after two and a half years, rotated daily after 60.
//
// On a file system that does not say when a file was made, the inode alone
// would let an unrelated file born after a removed output's end pass for
// it: such an output is held by a descriptor opened with O_PATH, which
// reads nothing and keeps the inode from going to another file, and it is
// let go at the first look after it was removed (its room then comes back).
// At most kMaxHeldDescriptors are held; past them, the oldest earlier
// output keeps only its identity (counted, HeldByIdentityAlone), as
// reading the sensor's own output back would alert on it again: should a
// later file of the same owner on that file system be given its inode,
// that file is taken for the output and not read, and the log group that
// meets it says so.  Another account's file given that inode is read.
//
// One table per process: the first image that asks for it makes it and
// names it in the environment (kOwnOutputTableVariable, "<address>,<pid>");
// another image of the process (the plug-in beside the host) finds it
// there.  The value is honoured only when this process put it there and its
// magic word holds, so no address from outside is ever followed.  The
// table is made once and never freed: images of the process use it until
// the process ends.  Any thread may call it.

#include <cstddef>
#include <cstdint>

namespace plat {

inline constexpr char kOwnOutputTableVariable[] = "HW_OWN_OUTPUT_TABLE";

class OwnOutputs {
public:
    static constexpr size_t kMaxFiles = 65536;
    static constexpr size_t kMaxHeldDescriptors = 64;
    // A file whose owner the asker could not learn: known by its identity
    // and birth time alone.
    static constexpr uint32_t kOwnerNotKnown = UINT32_MAX;
    // What Holds says of a file.
    struct Held {
        // The output it is or was: "alert", "log", "standard output".
        char m_szWhat[32] = {};
        // The host writes it still (it was not opened anew since).
        bool m_bCurrent = false;
    };

    // The process's table.
    static OwnOutputs& Instance();

    // The regular file open at `fd` is the output `pszWhat` from now on;
    // the file that was that output until now stays known as an earlier
    // one.  Anything else at `fd` (a terminal, a pipe) is not held.
    virtual void Opened(int fd, const char* pszWhat) = 0;
    // Whether the file of identity `qwIdentity` (FileStatus::m_qwIdentity),
    // made at `llBornNs` (0: not known) and owned by `uOwner`, is or was one
    // of the outputs, and which.  A file of another owner than the output's
    // is none of them.
    virtual bool Holds(uint64_t qwIdentity, int64_t llBornNs, uint32_t uOwner, Held* pHeld) = 0;
    // Lets go of the files held by a descriptor that were removed since the
    // last look; looks at most once a second unless `bNow`.
    virtual void LetGoRemoved(bool bNow = false) = 0;
    // Changes each time the table takes a file.
    virtual uint64_t Generation() const = 0;
    // The files known, those let go at kMaxFiles so far, and those known
    // by their identity alone past kMaxHeldDescriptors so far.
    virtual size_t HeldCount() = 0;
    virtual uint64_t LetGoAtBound() const = 0;
    virtual uint64_t HeldByIdentityAlone() const = 0;
    // The descriptors held now.
    virtual size_t DescriptorsHeld() = 0;

    // For tests: smaller bounds (0 each: the usual ones), files opened
    // from now on taken as if their file system said no birth time, and
    // every file forgotten.
    virtual void SetBoundsForTest(size_t nFiles, size_t nDescriptors) = 0;
    virtual void SetBirthUnknownForTest(bool bUnknown) = 0;
    virtual void ForgetAllForTest() = 0;

protected:
    ~OwnOutputs() = default;
};

}  // namespace plat
