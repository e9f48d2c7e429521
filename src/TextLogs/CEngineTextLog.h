#pragma once
// The text-log monitor ("Text Log Monitor"): follows the log files that the
// policy's log groups name, and matches every line appended to them against
// the enabled text-log rules that name the file's group; each match becomes
// an alert record of its rule.
//
// One engine thread does everything, one pass a second: every fifth pass
// (the first included) it scans the groups for the names they match now and
// the files those lead to; every pass it looks at each followed name, and
// reads what each file has gained.  The thread runs only while some enabled
// rule names a defined group.
//
// Each line once: within a group, each file (device and inode) is read by
// exactly one reader, from where it was last read, whatever renames, links,
// rotations, pauses and reloads come between.  The rule lives in one
// place, the group's table of files (CLogGroupFiles): names are only ways
// to find files, a renamed file keeps its reader and its place, a file no
// name leads to any more is read on until quiet and then let go with its
// place kept, and a file the group has not read before is read from its
// first line, except one met through a path at that path's first scan,
// whose lines then are history.  The tables live, by group name, from the
// engine's start to its stop: a pause or a reload is no start.  A file two
// groups follow is read by each group's table and reported once per group,
// with that group's rules.  A loss is said only for lines no reader read:
// a truncation's, and those of a file gone before it could be opened.
//
// Whoever can write a watched folder decides how many files and folders it
// holds, so what a group takes is bounded: it follows at most
// CLogGroup::kMaxFilesFollowed files (those it follows keep their place,
// new ones past it are left out, root's and the sensor's own first), none
// of them opened into the descriptors kept free for sockets, decoy
// connections and outputs (platform/Descriptors.h), and none into the few a
// scan needs; a scan's walk is bounded in depth (shallower when few
// descriptors are to spare) and names (CLogGroup) and taken in slices that
// the reading of lines goes on between, and a stop is heeded between any
// two of them.  What another account makes there that is no regular file is
// counted, not read.  An idle file holds its descriptor and no buffer.
//
// Reading runs at the speed of the disk and the rules, not at a fixed
// number of lines a second: a stop is heeded between any two lines, the
// thread steps aside for a moment at regular intervals while it has a
// backlog, files take turns so one busy file cannot starve the others, and
// a pass with a backlog ends after a second of reading so the scans keep
// their rhythm.
//
// What the watched folders hold at the stop is input too, not only what a
// scan has met: the stop looks for every group's names once more, and
// reads the files met then from their first lines before it lets every
// file go (ReadAtStop); a stop while paused reads nothing, and counts what
// those files hold among what it left.
//
// While the input echo is on (plat::InputEchoOn: standard error is a
// terminal, or the host asked for it), every line read is echoed on
// standard error, all files together within one budget of lines and bytes
// a second; the lines read beyond it are still matched, and counted on a
// line of their own.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Common/EngineBase.h"
#include "Common/InputBounds.h"
#include "Common/WildcardFileFinder.h"
#include "TextLogs/LogGroup.h"
#include "TextLogs/LogGroupFiles.h"
#include "TextLogs/TextLogListener.h"
#include "platform/Descriptors.h"
#include "platform/Files.h"
#include "qorToolsLib/EchoBudget.h"
#include "qorToolsLib/RegularExpressionSet.h"

class CInitializeTextLogRules;
class CInitializeUserTextLogRules;
class CTextLogRule;
class IPolicyEventInterface;

class CEngineTextLog : public CEngineBase, private CLogGroupFiles::Engine {
public:
    // Where the policy defines the log groups.
    static constexpr const char kLogGroupsKey[] = "\\Advanced\\Logs\\";
    // Passes between two scans of the groups' files.
    static constexpr uint32_t kScanInterval = 5;
    // Lines one file gives in a row before the next file's turn.
    static constexpr uint32_t kLinesPerTurn = 256;
    // A pass with a backlog reads this long before the next pass (and its
    // scan when due) comes round.
    static constexpr std::chrono::milliseconds kPassReading{1000};
    // A scan's slice in a pass: at least this much work (names read or
    // looked at, folders opened), then more while kScanSlice lasts.
    static constexpr uint32_t kScanSliceWork = 4096;
    static constexpr std::chrono::milliseconds kScanSlice{50};
    // The looks of one policy load for groups that name no file.
    static constexpr std::chrono::milliseconds kLoadLookTime{1000};
    // How long the stop reads the files at most, within the stop's bound;
    // the files share it in turns of kLinesPerTurn.
    static constexpr std::chrono::milliseconds kStopReading{1000};
    // Descriptors a scan's walk holds besides its folders: one to list a
    // folder, and those a look through a link holds for a moment.
    static constexpr uint64_t kWalkOverhead = 4;
    // What a scan of one folder level needs: no file takes these.
    static constexpr uint64_t kScanReserve = kWalkOverhead + 1;
    // Held back for the stop's look: a scan's, and a few for the files it
    // meets, read in turns into what files read to their ends give back.
    static constexpr uint64_t kStopReserve = kScanReserve + 8;
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
    // group's rules and reports one record per match; every byte of the
    // line is matched, fielded and templated, a NUL like any other.
    // `dwHostAddress` is in network byte order.
    virtual void ReportLine(const std::string& strGroup, const std::string& strFile,
                            uint32_t dwHostAddress, std::string_view line);

    // One pass of the thread (numbered from 0 in each run): the scan when
    // it is due, then the reading.  False when a stop cut the reading short.
    bool RunPass(uint32_t dwPass, uint32_t dwHostAddress);
    // Whether the last pass ended with lines still to read.
    bool HasBacklog() const { return m_bBacklog; }
    // What a stop does last, once the thread has ended (unless the engine
    // was paused): the groups' names are looked for once more (within half
    // of kStopReading), and the files met then that no scan had met are
    // taken up from their first bytes; then every file is read to its end,
    // its unfinished last line too, as a file let go is, in turns while
    // kStopReading lasts; what could not be read then is said lost, each
    // file within the limit of the losses' reports and all of them counted
    // in one line.
    void ReadAtStop();

    // What a file cut under its reader reads again in one turn
    // (qorFileReader::kRereadPerCall unless a test sets less, for files
    // made after).
    void SetRereadShare(int64_t llBytes) { m_llRereadShare = llBytes; }
    // How long a pass with a backlog reads (kPassReading unless a test
    // sets another; 0: one round of turns a pass).
    void SetPassReading(std::chrono::milliseconds reading) { m_PassReading = reading; }
    // How long the stop reads (kStopReading unless a test sets another).
    void SetStopReading(std::chrono::milliseconds reading) { m_StopReading = reading; }
    // How long a scan's slice lasts past its kScanSliceWork (kScanSlice
    // unless a test sets another; 0: one group's share of work at most,
    // as on a machine too busy to give a slice any time).
    void SetScanSlice(std::chrono::milliseconds slice) { m_ScanSlice = slice; }
    // Whether a scan is under way, to go on in the next pass.
    bool IsScanning() const { return m_Scan.m_bActive; }
    // Scans done for every group since the engine was made.
    uint64_t GetScansDone() const { return m_qwScansDone; }

    size_t GetBindingCount() const { return m_RulesByGroup.size(); }
    const TextLogLosses& GetLosses() const { return m_Losses; }
    const CLogGroup* FindLogGroup(const std::string& strName) const;
    // What a group follows; null before its first scan.
    const CLogGroupFiles* FindGroupFiles(const std::string& strGroup) const;
    // The reader of the file `strFileName` leads to, in the first group
    // that has one.
    const CTextLogListener* FindListener(const std::string& strFileName) const;
    // The files all groups follow or read on.
    size_t GetListenerCount() const;

protected:
    uint32_t _doWork() override;

private:
    // A scan of the groups' files, one group after another, taken in
    // slices over one or more passes.
    struct ScanProgress {
        bool m_bActive = false;
        std::map<std::string, std::unique_ptr<CLogGroup>>::iterator m_itGroup;
        CLogGroup::Scan m_Group;  // the group being walked
        uint32_t m_dwMaxDepth = WildcardLimits::kDefaultMaxDepth;
        // The descriptors its walk may hold, kept from what files take.
        uint64_t m_qwWalkShare = 0;
    };
    enum class ScanStep { kPaused, kDone, kStopped };
    using ReadResult = CLogGroupFiles::ReadResult;

    void ReadLogGroup(IPolicyContainer* pPolicy, const std::string& strName,
                      std::map<std::string, std::unique_ptr<CLogGroup>>& previous);
    // Starts a scan, its walk as deep as the descriptors to spare allow;
    // none (said as a bound of each group) when they do not allow one.
    void BeginScan();
    void BeginGroupScan();
    // One slice of the scan; each group's scan is taken up by its table
    // when done.
    ScanStep ContinueScan();
    CLogGroupFiles& FilesOf(const std::string& strGroup);
    // Ends the tables of groups the policy no longer has or no rule names:
    // what they read is let go.
    void DropUnusedTables();
    // Descriptors this pass may still open, counted once a pass.
    uint64_t& Spare();

    // CLogGroupFiles::Engine.
    bool ReportRead(const std::string& strGroup, const std::string& strFile, std::string_view line) override;
    bool TakeFileDescriptor() override;
    void GiveBackFileDescriptor() override;
    bool AtStop() const override { return m_bReadingAtStop; }
    EchoBudget* SharedEchoBudget() override { return &m_EchoBudget; }
    TextLogLosses* SharedLosses() override { return &m_Losses; }
    int64_t RereadShare() const override { return m_llRereadShare; }

    // The read phase: rounds in which every file gives a turn's worth of
    // lines, until none has more or the pass has read long enough.
    ReadResult ReadListeners();
    // Says how many lines went without their echo, once a second or, when
    // `bNow`, at once.
    void ReportEchoLeftOut(bool bNow);
    // Between two lines: false when a stop was asked for; steps aside
    // when the thread has been reading for a while.
    bool Breathe();
    // The value of one information pair for the line in m_svSubject.
    void ResolvePair(const std::string& strTemplate, const std::string& strGroup,
                     const std::string& strFile, uint32_t dwHostAddress, std::string& strValue);
    void DeleteListeners();
    // The stop's last look for the files (a stop while paused looks too):
    // a scan of every group, given up when it is not done by `tDeadline`,
    // then a look at every followed name, into the descriptors held back
    // for it besides those to spare.  Files met then are taken up as any
    // file met after a group's first scan is, from their first bytes, past
    // the bound of files followed too; one with no descriptor to spare
    // waits for one a file read to its end gives back.  Reads nothing.
    void LookAtStop(std::chrono::steady_clock::time_point tDeadline);
    // Counts, in one line, the files the stop left with bytes not read.
    void SayUnreadAtStop(const CLogGroupFiles::UnreadAtStop& unread, const std::string& strWhat);
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
    // Shared by every reader; used on the engine thread only.
    EchoBudget m_EchoBudget{kEchoLinesPerSecond, kEchoBytesPerSecond, kEchoBurstBytes};
    TextLogLosses m_Losses;
    std::map<std::string, std::unique_ptr<CLogGroup>> m_LogGroups;
    // What each group follows, by group name: kept through pauses and
    // reloads, which rebuild nothing of it.
    std::map<std::string, std::unique_ptr<CLogGroupFiles>> m_GroupFiles;
    ScanProgress m_Scan;
    uint64_t m_qwScansDone = 0;
    uint64_t m_qwSpare = 0;
    bool m_bSpareKnown = false;
    // Descriptors files took, counted for the stop's look.
    uint64_t m_qwTaken = 0;
    // Descriptors files read to their ends at the stop gave back.
    uint64_t m_qwGivenBack = 0;
    // What the stop's look needs (kStopReserve), held back from the first
    // pass with some to spare: given back to the process for the look, it
    // is made however many descriptors the rest of the sensor has taken by
    // then.
    plat::DescriptorReserve m_LookReserve;
    // The last scan due found too few descriptors to be made: the summary
    // then says the groups follow no file, and the host is told when that
    // changes, so what it showed of a shortage goes when the shortage does.
    bool m_bScanShort = false;
    bool m_bBacklog = false;
    // Paused (by the host, or for a reload) and not resumed since: a stop
    // then reads nothing more.
    bool m_bPaused = false;
    // The stop's reading goes on whatever the stop asks.
    bool m_bReadingAtStop = false;
    uint32_t m_dwHostAddress = 0;
    int64_t m_llRereadShare = qorFileReader::kRereadPerCall;
    std::chrono::milliseconds m_PassReading = kPassReading;
    std::chrono::milliseconds m_StopReading = kStopReading;
    std::chrono::milliseconds m_ScanSlice = kScanSlice;
    std::chrono::steady_clock::time_point m_tSliceStart;
    uint32_t m_dwSinceClock = 0;
    // Engine thread only, kept so their buffers serve line after line.
    std::vector<uint8_t> m_RuleHits;
    // The line being reported, read where it lies.
    std::string_view m_svSubject;
    std::string m_strValue;
};
