#pragma once
// The text-log monitor ("Text Log Monitor"): follows the log files that the
// policy's log groups name, and matches every line appended to them against
// the enabled text-log rules that name the file's group; each match becomes
// an alert record of its rule.
//
// One engine thread does everything, one pass a second: every fifth pass
// (the first included) it scans the groups for their current files, starts
// following new ones and lets go of files no longer named; every pass it
// looks at each followed name, and reads what each file has gained.  Files
// met at the first scan of a run are read from their end; files met later
// (created, rotated in) from their start, and a file that comes back after
// the engine let it go (a "newest only" group that turns to it again) from
// where its reading ended.
// The thread runs only while some enabled rule names a defined group.
//
// Rotation loses no line the engine could still read: when a name comes to
// name another file (renamed away and created anew, or deleted and created
// anew), the new file is opened within a pass and read from its first
// line, while the file open until then is read on through its descriptor,
// before it, until it has been quiet for five passes or the name turns
// again.  A name that names nothing for a while is let go at the next
// scan, its file read to its end first, and taken up again within a pass
// when a file takes the name.  What cannot be read is said, with the file's
// name: the lines written to a file before it was truncated and after the
// engine's last read of it (a copy-and-truncate rotation), and a file that
// was gone before it could be opened.
//
// Whoever can write a watched folder decides how many files and folders it
// holds, so what a group takes is bounded: it follows at most
// CLogGroup::kMaxFilesFollowed files (those it follows keep their place,
// new ones past it are left out, root's and the sensor's own first), none
// of them opened into the descriptors kept free for sockets, decoy
// connections and outputs (platform/Descriptors.h); a scan's walk is
// bounded in depth and names (CLogGroup) and taken in slices that the
// reading of lines goes on between, and a stop is heeded between any two
// of them.  An idle file holds its descriptor and no buffer.  A file that
// cannot be looked at or opened for another reason than its absence (no
// descriptor left, say) is not taken for gone: it keeps its place, and the
// place where the reading of a file let go ended is kept by the file's
// identity for as long as the file is there.
//
// Reading runs at the speed of the disk and the rules, not at a fixed
// number of lines a second: a stop is heeded between any two lines, the
// thread steps aside for a moment at regular intervals while it has a
// backlog, files take turns so one busy file cannot starve the others, and
// a pass with a backlog ends after a second of reading so the scans keep
// their rhythm.
//
// Every line read is echoed on standard error, all files together within
// one budget of lines and bytes a second; the lines read beyond it are
// still matched, and counted on a line of their own.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Common/EngineBase.h"
#include "Common/InputBounds.h"
#include "Common/WildcardFileFinder.h"
#include "TextLogs/LogGroup.h"
#include "TextLogs/TextLogListener.h"
#include "platform/Files.h"
#include "qorToolsLib/EchoBudget.h"
#include "qorToolsLib/RegularExpressionSet.h"

class CInitializeTextLogRules;
class CInitializeUserTextLogRules;
class CTextLogRule;
class IPolicyEventInterface;

class CEngineTextLog : public CEngineBase {
public:
    // Where the policy defines the log groups.
    static constexpr const char kLogGroupsKey[] = "\\Advanced\\Logs\\";
    // Template values see at most this much of a line.
    static constexpr size_t kParseBufferSize = 1024;
    // Passes between two scans of the groups' files.
    static constexpr uint32_t kScanInterval = 5;
    // A file that another has replaced under its name is read on until it
    // has gained nothing for this many passes.
    static constexpr uint32_t kPreviousQuietPasses = 5;
    // Lines one file gives in a row before the next file's turn.
    static constexpr uint32_t kLinesPerTurn = 256;
    // Files let go whose place is kept for their return (each is kept for
    // as long as its file is there, up to this many).
    static constexpr size_t kMaxRemembered = 4096;
    // A scan's slice in a pass: at least this much work (names read or
    // looked at, folders opened), then more while kScanSlice lasts.
    static constexpr uint32_t kScanSliceWork = 4096;
    static constexpr std::chrono::milliseconds kScanSlice{50};
    // The looks of one policy load for groups that name no file.
    static constexpr std::chrono::milliseconds kLoadLookTime{1000};
    // Descriptors a scan's walk may hold: its folders, one to list a
    // folder, and those a look through a link holds for a moment.
    static constexpr uint64_t kWalkDescriptors = WildcardLimits::kDefaultMaxDepth + 4;
    // The per-line echo on standard error is kept to this many lines and
    // bytes a second on average (bursts: a second's lines, and
    // kEchoBurstBytes); the lines read without their echo are counted on a
    // line of their own, at most once a second.
    static constexpr double kEchoLinesPerSecond = 20;
    static constexpr double kEchoBytesPerSecond = 8 * 1024;
    static constexpr double kEchoBurstBytes = 64 * 1024;

    // `pPrototype` is the sensor's prototype policy event, with which the
    // rule sections are registered; it stays the sensor's.
    explicit CEngineTextLog(IPolicyEventInterface* pPrototype = nullptr);
    ~CEngineTextLog() override;

    int32_t Oninit(uint32_t dwArgument) override;
    int32_t OnStart(uint32_t dwArgument) override;
    int32_t OnStopInit(uint32_t dwArgument) override;
    int32_t OnStop(uint32_t dwArgument) override;
    int32_t OnReloadPolicy(uint32_t dwArgument) override;
    int32_t OnPauseInit(uint32_t dwArgument) override;
    int32_t OnPause(uint32_t dwArgument) override;
    int32_t OnResume(uint32_t dwArgument) override;
    bool DescribeInput(std::string& strInput) override;
    int32_t ConfigureEventSections(CSFEventRegistry* pRegistry) override;
    int32_t PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) override;

    // Binds every enabled rule to the defined groups it names.
    virtual void CheckRuleLogGroups();
    // Rebuilds the log groups from the policy's "\Advanced\Logs\".
    virtual void ReadLogGroups(IPolicyContainer* pPolicy);
    virtual void ClearLogGroups();
    // Matches one line of `strFile`, read under `strGroup`, against that
    // group's rules and reports one record per match.  `dwHostAddress` is
    // in network byte order.
    virtual void ReportLine(const std::string& strGroup, const std::string& strFile,
                            uint32_t dwHostAddress, const char* pszLine);

    // One pass of the thread (numbered from 0 in each run): the scan when
    // it is due, then the reading.  False when a stop cut the reading short.
    bool RunPass(uint32_t dwPass, uint32_t dwHostAddress);
    // Whether the last pass ended with lines still to read.
    bool HasBacklog() const { return m_bBacklog; }

    size_t GetBindingCount() const { return m_RulesByGroup.size(); }
    const TextLogLosses& GetLosses() const { return m_Losses; }
    const CLogGroup* FindLogGroup(const std::string& strName) const;
    const CTextLogListener* FindListener(const std::string& strFileName) const;
    size_t GetListenerCount() const { return m_Listeners.size(); }

protected:
    uint32_t _doWork() override;

private:
    // A scan of the groups' files, taken in slices over one or more passes.
    struct ScanProgress {
        struct GroupFiles {
            CLogGroup* m_pGroup = nullptr;
            std::vector<CLogGroup::FoundFile> m_Files;
            bool m_bComplete = true;
        };
        bool m_bActive = false;
        bool m_bFirstOfRun = false;
        std::map<std::string, std::unique_ptr<CLogGroup>>::iterator m_itGroup;
        CLogGroup::Scan m_Group;  // the group being walked
        std::vector<GroupFiles> m_Found;
        // Every file any group's paths matched, and whether every group
        // read all it names.
        std::vector<uint64_t> m_Identities;
        bool m_bComplete = true;
    };
    enum class ScanStep { kPaused, kDone, kStopped };

    void ReadLogGroup(IPolicyContainer* pPolicy, const std::string& strName);
    // Starts a scan, unless the descriptors kept free are all there is.
    void BeginScan(bool bFirstOfRun);
    // One slice of the scan.
    ScanStep ContinueScan();
    // Phase 1 of a scan: every group's files get or refresh their listener,
    // within the group's bound and the descriptors to spare.
    void ApplyScan();
    void ApplyGroupFiles(ScanProgress::GroupFiles& found,
                         const std::vector<std::pair<const CLogGroup*, CTextLogListener*>>& unread);
    void CreateListener(CLogGroup::FoundFile& file, const std::string& strGroup);
    void RefreshListener(CTextLogListener& listener, const std::string& strGroup);
    // Phase 2: listeners are opened, stopped or let go by their state;
    // false when a stop came while a file was read to its end.
    bool ScanListeners(bool bFirstScanOfRun, uint32_t dwHostAddress);
    // Opens a listener waiting to be opened; one that cannot be opened for
    // a reason that may pass stays waiting, its place kept.
    void OpenWaiting(CTextLogListener& listener, bool bFirstScanOfRun);
    // Every pass: each followed name is looked at, and a file that another
    // has replaced under it is followed on while the new one is opened.
    // `bScanned`: this pass's scan has just looked at the monitored names.
    // False when a stop came while a file was read.
    bool FollowNames(bool bScanned, uint32_t dwHostAddress);
    // The name now names another file: opens it, keeping the old one.
    bool SwitchFile(CTextLogListener& listener, uint32_t dwHostAddress);
    // Reads the replaced file to its end and lets it go once it is quiet.
    bool RetireQuietPrevious(CTextLogListener& listener, uint32_t dwHostAddress);
    // After the listener's file was opened (or not): the log, the mark,
    // and, when the file the mark stands for was gone before the open
    // could reach it, the loss of its lines (`bFromStart`: it was to be
    // read from its first line).
    void NoteOpened(CTextLogListener& listener, bool bOpened, bool bFromStart);
    // The file the name stands for now; false, with the reason in `dwError`,
    // when the name names nothing that can be looked at.
    bool LookAt(const std::string& strFileName, plat::FileStatus& status, uint32_t& dwError);
    // Reads a file to its last line before it is closed, then closes it.
    bool Finish(CTextLogListener& listener, uint32_t dwHostAddress);
    // Keeps where a file let go was left, for its return.
    void Remember(const std::string& strFile, const CTextLogListener& listener);
    void RememberPlace(const std::string& strFile, const CTextLogListener::ResumePoint& point);
    // Closes the listener's previous file, keeping where it was left: under
    // another name of a group it goes on from there.
    void LetGoPrevious(CTextLogListener& listener);
    // Gives the listener the place kept for its file, if any.
    void TakeRememberedPlace(CTextLogListener& listener, uint64_t qwIdentity);
    // Gives the listener the place another name of its groups took for its
    // file and could not open it by, that name having moved on (renamed
    // again before it was opened).
    void TakePlaceOfNameMovedOn(CTextLogListener& listener, uint64_t qwIdentity);
    // Whether a listener of one of `listener`'s groups has the file of that
    // identity open: a file renamed within the watched folders, or with a
    // second name there.
    bool ReadByAnother(const CTextLogListener& listener, uint64_t qwIdentity) const;
    // Forgets the places of files no longer there.
    void ForgetPlacesOfFilesGone();
    // Takes `qwCount` of the descriptors this pass may open (counted once
    // a pass); false when there are not so many to spare.
    bool TakeDescriptor(uint64_t qwCount = 1);

    enum class ReadResult { kDrained, kBacklog, kStopped };
    // The read phase.
    ReadResult ReadListeners(uint32_t dwHostAddress);
    // Reports up to `dwMaxLines` lines of one file (0: all it has), of
    // the file it replaced only when `bPreviousOnly`; `dwTaken` counts them.
    ReadResult ReportLines(CTextLogListener& listener, uint32_t dwHostAddress, uint32_t dwMaxLines,
                           uint32_t& dwTaken, bool bPreviousOnly = false);
    // Says how many lines went without their echo, once a second or, when
    // `bNow`, at once.
    void ReportEchoLeftOut(bool bNow);
    // Between two lines: false when a stop was asked for; steps aside
    // when the thread has been reading for a while.
    bool Breathe();
    // The value of one information pair for the line in m_strSubject.
    void ResolvePair(const std::string& strTemplate, const std::string& strGroup,
                     const std::string& strFile, uint32_t dwHostAddress, std::string& strValue);
    void DeleteListeners();
    // Groups the bound rules and compiles each group's expressions together.
    void BuildGroupMatchers();
    // Says at the load which bound group names no file.
    void WarnOfGroupsWithoutFiles();

    IPolicyEventInterface* const m_pPrototype;
    std::unique_ptr<CInitializeTextLogRules> m_pDefaultReader;
    std::unique_ptr<CInitializeUserTextLogRules> m_pUserReader;
    // Equal group names keep their rules in binding order.
    std::multimap<std::string, CTextLogRule*> m_RulesByGroup;
    // Each group's rules in the same order, their expressions matched
    // together once per line.
    struct GroupRules {
        std::vector<CTextLogRule*> m_Rules;
        RegularExpressionSet m_Matcher;
    };
    std::map<std::string, std::unique_ptr<GroupRules>> m_GroupRules;
    // Shared by every listener; used on the engine thread only.
    EchoBudget m_EchoBudget{kEchoLinesPerSecond, kEchoBytesPerSecond, kEchoBurstBytes};
    TextLogLosses m_Losses;
    std::map<std::string, std::unique_ptr<CTextLogListener>> m_Listeners;
    std::map<std::string, std::unique_ptr<CLogGroup>> m_LogGroups;

    // Counts scans across thread runs, so a listener's last sighting is
    // compared with scans, never with a pass number that a pause restarted.
    uint32_t m_dwScan = 0;
    // By the file's identity: a file renamed, or taken up by a second
    // name, goes on where its reading ended.
    struct Remembered {
        CTextLogListener::ResumePoint m_Point;
        uint32_t m_dwScan = 0;
        std::string m_strName;  // the name it was let go by
    };
    std::unordered_map<uint64_t, Remembered> m_Remembered;
    InputBoundHandle m_PlacesBound;
    ScanProgress m_Scan;
    uint64_t m_qwSpare = 0;
    bool m_bSpareKnown = false;
    bool m_bBacklog = false;
    std::chrono::steady_clock::time_point m_tSliceStart;
    uint32_t m_dwSinceClock = 0;
    // Engine thread only, kept so their buffers serve line after line.
    std::vector<CLogGroup::FoundFile*> m_Newcomers;
    std::vector<std::string> m_Removals;
    std::vector<uint8_t> m_RuleHits;
    std::string m_strSubject;
    std::string m_strValue;
};
