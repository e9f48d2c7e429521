#pragma once
// Expands a file path whose components may hold the wildcards "*" and "?"
// into the existing files and directories it denotes, one at a time, by
// walking the directory tree level by level.
//
// Either "/" or "\" separates components; results always use "/".  Names
// match case-sensitively, as the file system compares them, and a "*.*"
// component matches every name, with or without a dot.  Within one
// directory the results come in name order, so a walk gives the same
// sequence every time.
//
// A walk runs as the sensor's account among folders others may write to, so
// it follows a symbolic link only when the link, and every link on the way
// to what it names, belongs to root or to the sensor's account (trusted
// links, platform/Files.h).  Nothing beyond another account's link is
// listed or reported; such a link that a pattern's last component matches
// is reported as what it is, a link, never as a directory.  A caller that
// wants to say so is handed the paths the walk did not follow because they
// lead through such a link.
//
// Whoever can write a folder decides how deep its tree goes and how many
// names it holds, so a walk costs what it reads and no more: each folder is
// opened once, relative to the folder that holds it, each name is looked at
// once, and a walk goes no deeper, and reads no more names, than its limits
// allow; what they left out is counted.  A walk can also be taken in
// slices (WildcardWalk::Next with a budget of work), so its caller can do
// other work between them.

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Files.h"

// What each result of a walk fills in.
struct WildcardFindData {
    static constexpr uint32_t kAttributeDirectory = 0x10;
    static constexpr uint32_t kAttributeNormal = 0x80;

    uint32_t m_dwFileAttributes = 0;
    uint64_t m_uFileSize = 0;
    int64_t m_iLastWriteTime = 0;  // seconds since 1970
    std::string m_strFileName;     // the result's full path
    std::string m_strDirectory;    // its directory, ending in "/", or empty
    std::string m_strEntryName;    // its last component
    // What the name leads to (a trusted link followed; another account's
    // link described as itself), who owns that, and whether that is root
    // or the sensor's account.
    plat::FileStatus m_Status;
    uint32_t m_uOwner = 0;
    bool m_bTrustedOwner = false;

    bool IsDirectory() const { return (m_dwFileAttributes & kAttributeDirectory) != 0; }
};

// How far a walk may go.
struct WildcardLimits {
    static constexpr uint32_t kDefaultMaxDepth = 32;
    static constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();
    // Folders open at once, each one level below the one before: the
    // folders of a pattern's wildcard components, and below a folder a
    // recursive walk enters.  A folder deeper is reported but not entered.
    uint32_t m_dwMaxDepth = kDefaultMaxDepth;
    // Names read from folders, in all; the walk reads no folder beyond them.
    uint64_t m_qwMaxEntries = kNoLimit;
};

class WildcardWalk {
public:
    // A walk of `pattern`; with `recursive`, every directory a result names
    // is followed by everything beneath it, depth first; symbolic links to
    // directories are reported but not entered, so a link cannot loop.
    // Every path the walk does not look at because it leads through
    // another account's link is appended to `stopped` when given; it must
    // outlive the walk.
    WildcardWalk(const std::string& pattern, bool recursive, const WildcardLimits& limits = {},
                 std::vector<std::string>* stopped = nullptr);
    ~WildcardWalk();
    WildcardWalk(const WildcardWalk&) = delete;
    WildcardWalk& operator=(const WildcardWalk&) = delete;

    enum class Step { kFound, kPaused, kEnded };
    // Goes on to the next result (kFound, with `data` filled), or until
    // `dwWork` is spent (kPaused: the next call goes on from there), or to
    // the end (kEnded, and for ever after).  A name read from a folder, a
    // name looked at and a folder opened each cost one unit of `dwWork`.
    Step Next(WildcardFindData& data, uint32_t& dwWork);

    // Folders not entered for being deeper than the limit.
    uint64_t FoldersTooDeep() const { return m_qwTooDeep; }
    // Names read, whether the limit on them cut the walk short, and the
    // folders it left unread, or read in part, for it.
    uint64_t EntriesRead() const { return m_qwEntries; }
    bool EntriesCut() const { return m_bEntriesCut; }
    uint64_t FoldersUnread() const { return m_qwFoldersUnread; }
    // A folder could not be opened or listed for a reason other than its
    // absence or another account's link (no descriptor left, say): what
    // lies beneath it is unknown, not gone.
    bool Incomplete() const { return m_bIncomplete; }
    // The first path the walk could not look at for a reason other than its
    // absence (another account's link, no right to read, no descriptor
    // left), with that reason as a last error (0: none), and how many such
    // paths it met: what stopped it where it stopped.
    uint32_t FirstFailure() const { return m_dwFirstFailure; }
    const std::string& FirstFailedPath() const { return m_strFirstFailed; }
    uint64_t Failures() const { return m_qwFailures; }
    // Folders opened so far.
    uint64_t FoldersOpened() const { return m_qwFoldersOpened; }

private:
    struct Level;
    // Pushes the level that `pattern` starts below the level `nBase` (-1:
    // none), whose names `resolved` (text already found, which may hold
    // "*" or "?" itself) continues.
    void Open(int nBase, const std::string& strPrefix, const std::string& strResolved,
              const std::string& strPattern);
    // Pushes a listing of the folder `strRelative` of the level `nBase`.
    void PushListing(int nBase, const std::string& strPrefix, const std::string& strRelative,
                     bool bFollowLinks, const std::string& strComponent, const std::string& strRest);
    // Why an open or a look failed, noted: a link refused, or a walk left
    // incomplete.
    void NoteFailure(const std::string& strPath);
    bool Describe(int nBase, const std::string& strRelative, const std::string& strPath,
                  WildcardFindData& data, bool& bEnterable);

    bool m_bRecursive = false;
    WildcardLimits m_Limits;
    std::vector<std::string>* m_pStopped = nullptr;  // not owned
    std::vector<Level> m_Levels;                     // the deepest last
    uint64_t m_qwTooDeep = 0;
    uint64_t m_qwEntries = 0;
    uint64_t m_qwFoldersUnread = 0;
    uint64_t m_qwFoldersOpened = 0;
    uint64_t m_qwFailures = 0;
    uint32_t m_dwFirstFailure = 0;
    std::string m_strFirstFailed;
    uint32_t m_dwSpent = 0;  // work done within the current call
    bool m_bEntriesCut = false;
    bool m_bIncomplete = false;
};

class WildcardFileFinder {
public:
    struct Walk;
    using Handle = Walk*;

    // The handle FindFirst answers when there is no walk.
    static Handle InvalidHandle() { return reinterpret_cast<Handle>(static_cast<intptr_t>(-1)); }

    // Starts a walk (a WildcardWalk within the default limits, taken whole
    // at each call) and fills `data` with its first result.  The invalid
    // handle, with the thread's last error set, for a null or empty path,
    // a null record (invalid parameter) or a path that matches nothing
    // (file not found).  `recursive` and `stopped` as for WildcardWalk.
    static Handle FindFirst(const char* path, bool recursive, WildcardFindData* data,
                            std::vector<std::string>* stopped = nullptr);

    // Nonzero with `data` filled by the next result; 0 at the end, and for
    // ever after.
    static int FindNext(Handle walk, WildcardFindData* data);

    // Ends the walk and frees it: 1, or 0 for a handle that names no walk.
    static int Close(Handle walk);

    // Policies mark a recursive path with a final "\..." or "/...".  Removes
    // the marker and answers true when `path` has one.
    static bool StripRecursiveMarker(std::string& path);

    // Whether `name` matches `pattern`, where "*" stands for any run of
    // characters and "?" for one character.
    static bool MatchesComponent(const std::string& pattern, std::string_view name);
};
