#pragma once
// What one log group follows, and the one rule that keeps each of its lines
// reported once: within the group, each file (its identity, device and
// inode) is read by exactly one reader, from where it was last read.
//
// The table is keyed by identity.  For each file the group follows it holds
// the file's reader (open, or waiting to be opened), the name its lines are
// reported under, and how many of the group's names lead to it now.  Names
// are only ways to find files: a scan gives the group's names and the files
// they lead to, and every pass each followed name is looked at, so a name
// that comes to lead to another file (a rotation) is taken up within a
// pass.  Every path that opens a file asks the table, so no second reader
// of a file can exist; a file renamed within the group, or with a second
// name there (a hard link, root's symbolic link), is the same entry and
// keeps its reader and its place.
//
// A file no name of the group leads to any more is read on through its
// descriptor while its writer may still be at it (until it has gained
// nothing for kQuietPasses passes), then what came last is read (a turn's
// worth: one that gained more is read on in turns), its unfinished last
// line handed out as it is, and it is closed;
// where its reading ended is kept by its identity, with a digest of every
// byte read before that place (a file that takes over the inode of one
// removed, or one written anew in place, does not hold them; a place taken
// from the size a file was met with, before which nothing was read, goes by
// when the file was made instead), so a file that comes back, from a folder
// the group does not watch or under another name, goes on where it was
// left once it is shown to hold what was read.  A file the group has not read
// before is read from its first line, except one met through a path at the
// first scan that path has had (since the engine started, or since the path
// came into the policy): what is in it then is history, and it is read from
// its end, or, followed only later (not the newest then, or left out at a
// bound), from where it ended then.  A pause or a reload is no start: the
// tables live on, and files rotated in meanwhile are read from their first
// lines.
//
// A loss is said only for lines no reader read: what a truncation took
// before it was read (the reader says it), and a file the group met that
// was gone before it could be opened at all.
//
// A file no name leads to any more is read before the file that took its
// name, so what its writer added before turning to the new file comes
// first; files otherwise take turns.
//
// Bounds: the group follows at most CLogGroup::kMaxFilesFollowed files (the
// names it follows keep theirs; new ones past it are left out, root's and
// the sensor's own first), and as many files again no name leads to; no
// file is opened into the descriptors kept free; at most kMaxPlaces places
// of files let go are kept.  Used on the engine thread only.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Common/InputBounds.h"
#include "TextLogs/LogGroup.h"
#include "TextLogs/TextLogListener.h"

class EchoBudget;

class CLogGroupFiles {
public:
    // What the table asks of its engine.
    class Engine {
    public:
        virtual ~Engine() = default;
        // Reports one line read from the group's file `strFile`, every
        // byte of it; false when a stop was asked for (the line is reported
        // all the same).
        virtual bool ReportRead(const std::string& strGroup, const std::string& strFile,
                                std::string_view line) = 0;
        // Takes a descriptor for one more open file, from what this pass
        // may open; false when there is none to spare.
        virtual bool TakeFileDescriptor() = 0;
        // A file the stop read to its end gave its descriptor back.
        virtual void GiveBackFileDescriptor() {}
        // The stop is under way: nothing follows the files after it, so
        // every file its look meets is taken up, past the bound of files
        // followed too, and one it has no descriptor for waits for one to
        // be given back (or is counted, with every byte it holds, as not
        // read); CLogGroup's bound of names a scan reads still holds.
        virtual bool AtStop() const { return false; }
        virtual EchoBudget* SharedEchoBudget() = 0;
        virtual TextLogLosses* SharedLosses() = 0;
        // What a read of a file cut under its reader reads again at most,
        // before the next file's turn.
        virtual int64_t RereadShare() const { return qorFileReader::kRereadPerCall; }
    };

    // A file without a name of the group is read on until it has gained
    // nothing for this many passes.
    static constexpr uint32_t kQuietPasses = 5;
    // Places of files let go that are kept for their return.
    static constexpr size_t kMaxPlaces = 4096;
    // What is read at most of a file let go, of what came since it was
    // last read: a turn's worth (CEngineTextLog::kLinesPerTurn).
    static constexpr uint32_t kLinesAtLetGo = 256;
    // Other accounts' files a newest-only group turned to, said one by one;
    // each turn past them is counted as a bound of the group.
    static constexpr size_t kMaxTurnsSaid = 64;
    // A name that a scan that read all it names did not meet is looked at
    // every pass until this many scans in a row have not met it.
    static constexpr uint32_t kScansAName = 2;

    enum class ReadResult { kDrained, kBacklog, kStopped };

    // Files let go at the stop with bytes not read, and how many of them
    // were named (the losses' reports keep to a limit).
    struct UnreadAtStop {
        uint64_t m_qwFiles = 0;
        uint64_t m_qwBytes = 0;
        uint64_t m_qwNamed = 0;
    };

    // One file of the group.
    struct Entry {
        enum class State {
            kOpen,     // read every pass
            kWaiting,  // to be opened: no descriptor to spare, an open that may be tried again
            kRefused,  // root's name of what is no regular file: never opened
        };
        std::unique_ptr<CTextLogListener> m_pReader;
        uint64_t m_qwIdentity = 0;
        State m_State = State::kWaiting;
        // Names of the group that lead to it now.
        uint32_t m_dwNames = 0;
        // Where it is to be opened, while waiting: at its end (history), or
        // where its reading stands (the start, or a place kept).
        bool m_bAtEnd = false;
        CTextLogListener::ResumePoint m_Place;
        // Its size when the group met it, for the loss of a file gone
        // before it could be opened.
        uint64_t m_qwSizeMet = 0;
        // When it was made (0: not known): a place taken from a size met
        // holds no bytes to tell it from a file given its identity later.
        int64_t m_llBornNs = 0;
        // The order in which the group met its files, and the file its
        // first name led to before it, read first.
        uint64_t m_qwOrder = 0;
        uint64_t m_qwAfter = 0;
        // Passes in a row without a name in which its reading stood still.
        uint32_t m_dwQuiet = 0;
        int64_t m_llQuietAt = -1;
        // Within one round of reading: it gave all it had.
        bool m_bDrained = true;
        // The sensor's outputs as they were when it was last looked at
        // (SensorOutputs::Generation), and whether it has become one of
        // them: nothing more of it is handed out.
        uint64_t m_qwOwnLooked = 0;
        bool m_bOwn = false;

        bool IsOpen() const { return m_State == State::kOpen; }
    };

    CLogGroupFiles(std::string strGroup, Engine& engine);
    ~CLogGroupFiles();
    CLogGroupFiles(const CLogGroupFiles&) = delete;
    CLogGroupFiles& operator=(const CLogGroupFiles&) = delete;

    // What a newest-only scan of the group goes by.
    CLogGroup::FileDates& Dates() { return m_Dates; }
    // The group is gone, unused, or its paths changed: the bounds the table
    // reached end.
    void EndBounds();
    // The group as its bounds name it (CLogGroup::DescribeInput): another
    // than before (its paths changed) ends the bounds of the one before.
    void SetInput(const std::string& strInput);
    // The group is gone with the policy that named it, or the engine
    // stops while paused: no rule reads its files any more, and what they
    // held beyond the place read is said and counted as not read (in
    // `pCount` too, when given).
    void SayUnreadAtRemoval(UnreadAtStop* pCount = nullptr);

    // Takes up what a done scan of `group` found: the files its names lead
    // to now, within the group's bounds (said through `group`).
    void ApplyScan(CLogGroup& group, CLogGroup::Scan& scan);
    // Every pass: opens what waits to be opened, looks at each followed
    // name, and lets go, read to their ends, the files without a name that
    // have been quiet; false when a stop came while one was read.
    bool FollowNames();
    // What FollowNames does before it lets files go: opens what waits to
    // be opened and looks at each followed name, a file that has come
    // under one taken up from its first line.  Reads nothing.
    void LookAtNames();
    // One round of reading: each open file gives up to `dwLinesPerTurn`
    // lines (one no name leads to first, before the file that took its
    // name); `bMore` is set when one had more.
    ReadResult ReadRound(uint32_t dwLinesPerTurn, bool& bMore);
    // At the stop, one turn of each open file not yet read to its end, in
    // the order of ReadRound (a file waiting for a descriptor opened first
    // when one was given back), while `tDeadline` has not passed: up to
    // `dwLinesPerTurn` lines, its unfinished last line too once the others
    // are out; a file read to its end is closed (what a read that failed
    // left unread said and counted in `count`).  `bMore` is set when a
    // file has more (or had no turn for the deadline).
    void ReadTurnAtStop(uint32_t dwLinesPerTurn, std::chrono::steady_clock::time_point tDeadline,
                        bool& bMore, UnreadAtStop& count);
    // At the stop, once its time is up: the files still open are closed,
    // and what they hold that was not read is said lost and counted, as is
    // what files waiting to be opened hold.
    void LeaveAtStop(UnreadAtStop& count);
    // A file a name leads to waits to be opened (no descriptor was to spare).
    bool HasWaiting() const;

    // The files the table holds, followed or read on.
    size_t GetEntryCount() const { return m_Entries.size(); }
    // The names the group looks at every pass.
    size_t GetNameCount() const { return m_Names.size(); }
    // The files it holds that no name of the group leads to any more:
    // read on until quiet, or waiting to be let go.
    size_t GetUnnamedCount() const { return m_Entries.size() - m_nNamed; }
    // The file a name of the group leads to, or else the one reported under
    // that name; null when there is none.
    const Entry* FindEntry(const std::string& strName) const;

private:
    // A followed name: the file it led to when last looked at (0: none),
    // and the scans in a row that did not meet it.
    struct Name {
        uint64_t m_qwIdentity = 0;
        uint32_t m_dwMissedScans = 0;
    };
    using NameMap = std::map<std::string, Name>;

    Entry* Find(uint64_t qwIdentity);
    const Entry* Find(uint64_t qwIdentity) const;
    // Points `name` at the file `qwIdentity` (0: none), keeping each
    // entry's count of names and the name it is reported under.
    void Lead(NameMap::iterator name, uint64_t qwIdentity);
    // A new entry for the file `qwIdentity` that `strName` leads to,
    // opened at once (with the descriptor the caller took, when
    // `bDescriptorTaken`); `qwAfter` is the file the name led to before.
    Entry* Create(const std::string& strName, uint64_t qwIdentity, uint64_t qwSize, bool bAtEnd,
                  uint64_t qwAfter, bool bDescriptorTaken, int64_t llBornNs);
    // Opens a waiting entry by its name: at its end, at its place, or at
    // its start.  Leaves it waiting when no descriptor is to spare or the
    // name no longer leads to it, refused when what is there is no file.
    void Open(Entry& entry, bool bTakeDescriptor = true);
    // Reads what came last of the entry (at most kLinesAtLetGo lines, and
    // its unfinished last line), closes it and keeps its place: kDrained.
    // One that had more is still written to and stays open, to be read on
    // in turns (kBacklog), unless `bAnyway` (a bound lets it go; the rest
    // stays unread, and is said lost).  kStopped when a stop came first.
    ReadResult LetGo(Entry& entry, bool bAnyway);
    void Erase(uint64_t qwIdentity);
    // The group's names after a scan of a newest-only group, and of a
    // group of every file; the counts are of new files left out.
    void ApplyNewest(CLogGroup& group, CLogGroup::Scan& scan, uint64_t& qwNoDescriptor);
    void ApplyAll(CLogGroup& group, CLogGroup::Scan& scan, uint64_t& qwOverBound,
                  uint64_t& qwNoDescriptor);
    // Whether what is in a file a scan met for the first time is history:
    // it was met through a path at that path's first scan.
    bool IsHistory(const CLogGroup& group, const CLogGroup::FoundFile& found) const;
    // Keeps the sizes of the files a path's first scan met and the group
    // did not follow then: what they held is history, should they be
    // followed later.
    void RememberHistory(const CLogGroup& group, const CLogGroup::Scan& scan);
    // After a scan: files without a name that never opened and that the
    // scan did not meet are gone (their lines lost when they had any); after
    // a scan cut short, such files are let go with their places.
    void DropUnopenedGone(const CLogGroup::Scan& scan);
    // Takes up the new file a scan found, its name led to `qwAfter` before;
    // false when a bound left it out (`bNoDescriptor`: for want of a
    // descriptor).
    bool TakeUp(const CLogGroup& group, const CLogGroup::FoundFile& found, uint64_t qwAfter,
                bool& bNoDescriptor);
    // A newest-only group that turns to another account's file says so,
    // once per file.
    void SayTurn(const CLogGroup& group, const CLogGroup::FoundFile& found);
    // Keeps where the reading of a file let go ended, for its return; the
    // oldest place makes room for a new one past kMaxPlaces.
    void RememberPlace(const CTextLogListener::ResumePoint& point, int64_t llBornNs = 0);
    // Reads up to `dwMaxLines` lines (0: all it has) of an open entry; with
    // `bToEnd`, its unfinished last line too.  An entry that has become the
    // sensor's own output gives nothing more (m_bOwn).
    ReadResult ReadLines(Entry& entry, uint32_t dwMaxLines, uint32_t& dwTaken, bool bToEnd = false);
    // Whether the entry's file has become the sensor's own output since it
    // was last looked at; looked at again only when the outputs changed.
    bool BecameOwn(Entry& entry);
    // Counts a line longer than kLineMax as a bound of the group, and says
    // so naming the file.
    void ReportLongLine(const CTextLogListener& reader);
    // Counts a run of NULs before a line longer than a pass passes over as
    // a bound of the group, and says so naming the file.
    void ReportNulRun(const CTextLogListener& reader);
    // What a file met and waiting to be opened holds that was never read
    // (0 when none, or when its name no longer leads to it).
    int64_t UnreadOfWaiting(const Entry& entry) const;
    // Says that a file let go holds bytes that were not read; counted in
    // `pCount` too when given.
    void ReportUnreadAtLetGo(const CTextLogListener& reader, int64_t llUnread, UnreadAtStop* pCount = nullptr);
    // The same for a file of `strName` (none: counted, not named).
    void ReportUnread(const std::string& strName, int64_t llUnread, UnreadAtStop* pCount);
    // The files the stop's look met past the names a scan takes that the
    // group does not read, with what they hold that was never read.
    void TakePastBound(const CLogGroup& group, const CLogGroup::Scan& scan);
    // Says and counts those files.
    void SayPastBound(UnreadAtStop* pCount);
    // Files no name leads to that have been quiet, and beyond the bound
    // the longest without a name, are let go; false on a stop.
    bool LetGoQuiet();
    // The group as its bounds name it.
    std::string BoundInput() const;

    const std::string m_strGroup;
    Engine& m_Engine;
    std::map<uint64_t, std::unique_ptr<Entry>> m_Entries;
    // The entries in the order the group met them: the order of reading.
    std::vector<Entry*> m_Order;
    NameMap m_Names;
    // Entries a name leads to: the files the group follows.
    size_t m_nNamed = 0;
    uint64_t m_qwNextOrder = 1;
    // Paths a scan has read: a file first met through another is history.
    std::set<std::string> m_ScannedPaths;
    // Files a path's first scan met and the group did not follow, by
    // identity, with their sizes then and when they were made (0: not
    // known): a file made later with the identity of one removed since
    // holds no history.
    struct History {
        uint64_t m_qwSize = 0;
        int64_t m_llBornNs = 0;
    };
    std::unordered_map<uint64_t, History> m_History;
    struct Place {
        CTextLogListener::ResumePoint m_Point;
        uint64_t m_qwOrder = 0;
        // When its file was made, for a place without the bytes before it.
        int64_t m_llBornNs = 0;
    };
    std::unordered_map<uint64_t, Place> m_Places;
    uint64_t m_qwNextPlace = 1;
    // The group as its bounds name it (CLogGroup::DescribeInput), and the
    // bounds of its own.
    std::string m_strInput;
    InputBound* m_pPlacesBound = nullptr;
    InputBound* m_pUnnamedBound = nullptr;
    InputBound* m_pLongLinesBound = nullptr;
    InputBound* m_pTurnsBound = nullptr;
    InputBound* m_pNulRunsBound = nullptr;
    CLogGroup::FileDates m_Dates;
    // Other accounts' files a newest-only group turned to, said.
    std::set<uint64_t> m_TurnsSaid;
    // Kept so their room serves scan after scan.
    std::vector<const CLogGroup::FoundFile*> m_Newcomers;
    // What the stop's look met past the names a scan takes: each file's
    // name (none past those kept) and the bytes of it never read.
    struct PastBound {
        std::string m_strName;
        int64_t m_llUnread = 0;
    };
    std::vector<PastBound> m_PastBound;
    std::vector<uint64_t> m_Sorted;
};
