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

#include <cstdint>
#include <string>
#include <vector>

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

    bool IsDirectory() const { return (m_dwFileAttributes & kAttributeDirectory) != 0; }
};

class WildcardFileFinder {
public:
    struct Walk;
    using Handle = Walk*;

    // The handle FindFirst answers when there is no walk.
    static Handle InvalidHandle() { return reinterpret_cast<Handle>(static_cast<intptr_t>(-1)); }

    // Starts a walk and fills `data` with its first result.  The invalid
    // handle, with the thread's last error set, for a null or empty path,
    // a null record (invalid parameter) or a path that matches nothing
    // (file not found).  With `recursive`, every directory a result names
    // is followed by everything beneath it, depth first; symbolic links to
    // directories are reported but not entered, so a link cannot loop.
    // Every path the walk (this call and the FindNext calls after it) does
    // not look at because it leads through another account's link is
    // appended to `stopped` when given; it must outlive the walk.
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
    static bool MatchesComponent(const std::string& pattern, const std::string& name);
};
