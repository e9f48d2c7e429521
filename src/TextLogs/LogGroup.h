#pragma once
// One log group of the text-log engine: a named set of log files given by
// absolute names and wildcard patterns ("*" and "?" in any component, "/"
// or "\" between components, and a final "/..." or "\..." for every file
// beneath a directory).  At every scan the engine asks the group for the
// files it names now: every existing match, or only the one written last.
//
// Whoever can write a watched folder decides what a scan meets there, so a
// scan is bounded: it goes no deeper than the walk's limit on folders (or
// what the descriptors to spare allow), reads at most kMaxNamesPerScan
// names, and is taken in slices the engine reads lines between.  What
// another account makes there that is no regular file (a FIFO, a socket, a
// device, a link of its own) is never taken, only counted.  What a scan
// left out is said and counted, naming the group, each item once however
// many scans, and policy loads, meet it: the engine keeps a group across
// loads for as long as its paths stay the same.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Common/InputBounds.h"
#include "Common/ScanBound.h"
#include "Common/WildcardFileFinder.h"
#include "qorToolsLib/BoundTally.h"
#include "TextLogs/SensorOutputs.h"

class CLogGroup {
public:
    // Files one group follows at once: those it follows keep being
    // followed, new ones past it are left out (the engine holds to it).
    static constexpr size_t kMaxFilesFollowed = 512;
    // Names a scan of one group reads from folders, over all its paths.
    static constexpr uint64_t kMaxNamesPerScan = 16384;
    // Names the stop's look reads (within its time): past kMaxNamesPerScan
    // it only counts the files it meets, for what they hold is not read.
    static constexpr uint64_t kMaxNamesAtStop = 64 * kMaxNamesPerScan;
    // Of those, the files whose names are kept, to be said one by one.
    static constexpr size_t kMaxPastBoundNamed = 64;
    // Paths that lead through another account's link, said one by one; a
    // group meeting more says how many it did not name.
    static constexpr size_t kMaxLinksNamed = 64;
    // The sensor's own files a group leaves out, said one by one; a group
    // meeting more says how many more it left out unnamed (OwnFilesUnnamed).
    static constexpr size_t kMaxOwnNamed = 64;

    // A file a scan found.
    struct FoundFile {
        std::string m_strName;
        uint64_t m_qwIdentity = 0;
        uint64_t m_qwSize = 0;
        // Root or the sensor's account owns it.
        bool m_bTrustedOwner = false;
        uint32_t m_uOwner = 0;
        // A regular file (what a name written out names may be a folder,
        // and root's names may be FIFOs, sockets or devices).
        bool m_bRegular = false;
        // The index of the path that found it.
        size_t m_nPath = 0;
        // When it was written last, as a newest-only choice reads it.
        int64_t m_llTime = 0;
        // When it was made (0: not known): a file given the identity of
        // one removed is another file.
        int64_t m_llBornNs = 0;
    };

    // The modification times a newest-only choice goes by.  A time ahead of
    // the clock is anyone's to set (touch -d 2100-01-01), so it counts as
    // the time of the scan that first met the file with it: such a file
    // keeps the group's place only until another of its files is written
    // after that.  Kept by identity and time, for the files that scans met.
    class FileDates {
    public:
        // The time of a file of identity `qwIdentity` written at
        // `llModifiedNs`, for a scan made at `llNowNs` (all since the
        // epoch).  0, never the newest, for one of more such files than a
        // scan reads names.
        int64_t Date(uint64_t qwIdentity, int64_t llModifiedNs, int64_t llNowNs);
        // Forgets the files a scan that read all it names did not meet
        // (`identities` sorted).
        void KeepOnly(const std::vector<uint64_t>& identities);
        size_t Count() const { return m_Ahead.size(); }

    private:
        struct Dated {
            int64_t m_llModifiedNs = 0;
            int64_t m_llFirstSeenNs = 0;
        };
        std::unordered_map<uint64_t, Dated> m_Ahead;
    };

    // One scan of the group's files, taken in slices (ContinueScan).
    class Scan {
    public:
        Scan();
        ~Scan();
        Scan(Scan&&) noexcept;
        Scan& operator=(Scan&&) noexcept;

        // The files found, in path order (the newest alone for a newest-
        // only group, once the scan is done).
        const std::vector<FoundFile>& Files() const { return m_Files; }
        // Every folder the paths lead to was read whole: no limit cut the
        // scan short and no folder failed to open for another reason than
        // its absence, so a followed file the scan did not find is gone.
        bool IsComplete() const { return m_bComplete; }
        // The identities of every file the paths matched, the newest or
        // not.
        const std::vector<uint64_t>& Identities() const { return m_Identities; }
        // Every regular file the paths matched, the newest or not: its
        // identity, its size and the index of the path that met it.
        struct MetFile {
            uint64_t m_qwIdentity = 0;
            uint64_t m_qwSize = 0;
            size_t m_nPath = 0;
            int64_t m_llBornNs = 0;
        };
        const std::vector<MetFile>& Met() const { return m_Met; }
        // When the scan began, in nanoseconds since the epoch.
        int64_t GetTimeNs() const { return m_llNowNs; }
        // The stop's look: the regular files it met past kMaxNamesPerScan,
        // counted and not taken up (the first kMaxPastBoundNamed with their
        // names, the others with none).
        struct PastBoundFile {
            std::string m_strName;
            uint64_t m_qwIdentity = 0;
            uint64_t m_qwSize = 0;
            size_t m_nPath = 0;
        };
        const std::vector<PastBoundFile>& PastBound() const { return m_PastBound; }

    private:
        friend class CLogGroup;
        size_t m_nPath = 0;
        uint32_t m_dwMaxDepth = 0;
        FileDates* m_pDates = nullptr;  // not owned
        int64_t m_llNowNs = 0;
        std::unique_ptr<WildcardWalk> m_pWalk;
        bool m_bFilesOnly = false;
        bool m_bAtStop = false;
        uint64_t m_qwMetAtStop = 0;
        std::vector<PastBoundFile> m_PastBound;
        std::vector<FoundFile> m_Files;
        std::vector<uint64_t> m_Identities;
        std::vector<MetFile> m_Met;
        int64_t m_llBestTime = 0;
        bool m_bDone = false;
        bool m_bComplete = true;
        uint64_t m_qwNames = 0;
        uint64_t m_qwTooDeep = 0;
        uint64_t m_qwUnread = 0;
        // Names another account made that are no regular file.
        uint64_t m_qwForeign = 0;
        // Files that are the sensor's own output, and how.
        struct OwnFile {
            std::string m_strName;
            uint64_t m_qwIdentity = 0;
            SensorOutputs::Match m_Match;
        };
        std::vector<OwnFile> m_Own;
        std::vector<std::string> m_Stopped;
    };

    explicit CLogGroup(std::string strName);
    ~CLogGroup();

    std::string GetName() const { return m_strName; }
    void AddPath(std::string strPath);
    const std::vector<std::string>& GetPaths() const { return m_Paths; }
    // The group as the bounds name it: its name and its paths.
    std::string DescribeInput() const;

    void SetNewestOnly(bool bNewestOnly) { m_bNewestOnly = bNewestOnly; }
    bool IsNewestOnly() const { return m_bNewestOnly; }
    // Set while an enabled rule names the group: an unused group names no
    // files.
    void SetUsed(bool bUsed) { m_bUsed = bUsed; }
    bool IsUsed() const { return m_bUsed; }
    // A load removed the group, changed its paths, or left it unused: the
    // bounds it reached end, and what it said of links is said afresh if
    // it comes back.
    void EndBounds();

    // Starts a scan afresh, its walk at most `dwMaxDepth` folders deep, a
    // newest-only choice going by `pDates` (when given); `bAtStop` for the
    // stop's look (kMaxNamesAtStop).
    void BeginScan(Scan& scan, uint32_t dwMaxDepth = WildcardLimits::kDefaultMaxDepth,
                   FileDates* pDates = nullptr, bool bAtStop = false) const;
    // Goes on with `scan` for at most `dwWork` units of work (a name read,
    // a name looked at, a folder opened), less what it spent; true once the
    // scan is done.
    bool ContinueScan(Scan& scan, uint32_t& dwWork) const;
    // Says and counts what a done scan left out at its bounds, and names
    // the paths it did not follow for another account's link.
    void ReportScan(const Scan& scan);
    // Says and counts the new files a scan found that the engine left out:
    // `qwOverBound` for kMaxFilesFollowed, `qwNoDescriptor` for the
    // descriptors kept free (platform/Descriptors.h).
    void ReportFilesLeftOut(uint64_t qwOverBound, uint64_t qwNoDescriptor);
    // Says and counts a scan that could not be made: the process's
    // descriptors leave fewer than `qwNeeded` above the floor kept free.
    void ReportScanWithoutDescriptors(uint64_t qwNeeded);

    // Appends the group's current files to `files`, in path order (or the
    // one most recently modified of them, the first produced among equals),
    // in one scan taken whole and reported; answers how many were appended.
    // A name without wildcards counts when it exists, a directory too; a
    // wildcard in the last component, or a walk beneath a directory, finds
    // files only, and "." and ".." never match.
    size_t ExpandFiles(std::vector<std::string>& files);
    // True when the group names no file now, with `strWhy` saying so for
    // the operator: the paths, and the folders they need that do not exist.
    // A scan that has found no file by `tDeadline` tells nothing: false.
    // The sensor's own files that the paths match are named, and not said
    // again by the scans.
    bool NamesNoFile(std::string& strWhy, std::chrono::steady_clock::time_point tDeadline);

private:
    // Starts the walk of the scan's next path.
    void BeginPath(Scan& scan) const;
    // Says, once per path, that a path leads through another account's
    // link to a folder and is not looked at.
    void WarnOfStops(const std::vector<std::string>& stopped);

    std::string m_strName;
    std::vector<std::string> m_Paths;
    bool m_bNewestOnly = false;
    bool m_bUsed = false;
    // Says, once per file (once per output for the file an output is
    // now), that the group leaves out a file that is the sensor's own;
    // past kMaxOwnNamed, counts them.  A complete scan forgets those it
    // did not meet.
    void WarnOfOwnOutputs(const Scan& scan);
    // What a file so left out is, for the warning and for the reason a
    // group reads no file; and whether it was said.
    std::string DescribeOwn(const Scan::OwnFile& own) const;
    static std::pair<bool, uint64_t> OwnKey(const Scan::OwnFile& own);

    // The paths warned of, so that a scan every few seconds says it once.
    std::set<std::string> m_WarnedStops;
    // The current outputs said (by index), and the earlier outputs and
    // rotated names (by identity).
    std::set<std::pair<bool, uint64_t>> m_WarnedOwn;
    ScanBound m_TooDeep;
    ScanBound m_Shallow;
    ScanBound m_Foreign;
    InputBoundHandle m_NoScan;
    ScanBound m_NamesCut;
    ScanBound m_LinksUnnamed;
    // The sensor's own files left out past those named.  They are left out
    // on purpose, not lost to a bound: they are said as what they are, in
    // their own line, and take no part in the bounds' counts of what an
    // input lost.
    class OwnFilesUnnamed {
    public:
        // A look found `qwNow` of them; those the last look found are not
        // counted again.  The first are said at once, more at most once a
        // minute.
        void AtLook(const std::string& strInput, uint64_t qwNow);
        // The group's paths are gone: it counts afresh, and the finding its
        // first line made is taken back.
        void End();

        // The first line, and a later one ("... in all, <n> since ...").
        static std::string FirstLine(const std::string& strInput, uint64_t qwTotal);
        static std::string LaterLine(const std::string& strInput, uint64_t qwTotal, uint64_t qwSince);

    private:
        std::string m_strInput;
        uint64_t m_qwLastLook = 0;
        BoundTally m_Tally;
    };
    OwnFilesUnnamed m_OwnUnnamed;
    ScanBound m_FilesOver;
    ScanBound m_NoDescriptor;
};
