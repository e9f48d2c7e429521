#pragma once
// The files this process writes as its outputs (the host's log, alert and
// message files, its console when that is a file), known by the file itself
// for as long as it exists, whatever names it is given later: a rotation
// renames an output (alerts.xml to alerts.xml.1) and the host opens a new
// one at its path, and the renamed file is still what the sensor wrote.
//
// The host names each file here as it opens it, before it writes a byte to
// it; the plug-in, loaded into the same process, asks whether a file it
// meets is one of them.  So nothing the host writes can reach a reader of
// the plug-in unnamed, however soon after its open it is renamed, and
// however seldom the plug-in looks (Generation changes before the first
// byte is written: a reader that looks at it after each read never hands
// out a byte of a file named after it began to read).
//
// Each file is held by a descriptor opened with O_PATH, which reads
// nothing and keeps the file's inode from going to another file while it
// is held: a file given the inode of one removed is never taken for it.  A
// file that no name leads to any more is let go at the next look (at most
// a second after its removal, while the host looks every second), so the
// room of a removed output comes back.  The file's birth time is kept as
// well where the file system says it.  At most kMaxFiles are held: past
// them, the oldest one the host no longer writes is let go and counted
// (LetGoAtBound), and is known only by its name from then on.
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
    static constexpr size_t kMaxFiles = 64;
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
    // made at `llBornNs` (0: not known), is or was one of the outputs, and
    // which.
    virtual bool Holds(uint64_t qwIdentity, int64_t llBornNs, Held* pHeld) = 0;
    // Lets go of the files removed since the last look; looks at most once
    // a second unless `bNow`.
    virtual void LetGoRemoved(bool bNow = false) = 0;
    // Changes each time the table takes a file.
    virtual uint64_t Generation() const = 0;
    // The files held, and those let go at kMaxFiles so far.
    virtual size_t HeldCount() = 0;
    virtual uint64_t LetGoAtBound() const = 0;

protected:
    ~OwnOutputs() = default;
};

}  // namespace plat
