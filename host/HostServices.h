#pragma once
// The host's services object: a logger that takes lines from every thread
// of the plug-in and writes each as one whole line with its time, level,
// call-site tag, source file and line; notices go to the same file.  It also
// keeps the detector policy events the plug-in registers.
//
// A line whose level carries kCSFLogConsoleFlag is also written on the
// console, as the operator reads it: "<LEVEL>: <text>", without the time,
// the tag or the source position, which are the log's.
//
// Findings learnt after a load.  Whatever the sensor or the host learns
// about a rule once its load has been checked (a port that fails at its
// first open, a script the script process refuses, an alert the host
// cannot deliver, scripts given up) is said the way a load's own finding
// is: as an error or warning with the console flag, from any thread.
//   in the plug-in:  CSF_LOG(kCSFLogError | kCSFLogConsoleFlag, "Rule %s: ...", ...);
//   in the host:     services.Log(nullptr, kCSFLogCategory,
//                                 kCSFLogWarning | kCSFLogConsoleFlag, __LINE__, __FILE__, ...);
// The console copy is written at once.  While a policy load runs it is one
// of that load's findings, whichever thread said it, so the push waiting
// for the load prints it and counts it in its exit code.  Outside a load
// it is a late finding: kept here for the record of the policy in force,
// which SensorHost rewrites in hwhost.status (the operator and a waiting
// push read it there).  Say a thing once, naming the rule, not once per
// alert: of a flood, the first kMaxLate distinct texts are kept and the
// rest counted, so the status file stays small.
//
// A finding whose cause ends (a port opened at last, scripts running
// again, an output written again) is withdrawn: the plug-in says so with
// CSFNoticeFindingEnded (qorCSFLib/CSFLog.h), the host with EndFinding;
// the late findings then no longer hold it, so neither does the record of
// the policy in force.
//
// When something the sensor described at its last command changes later
// (a decoy port opened at last or not, rule scripts given up or back), the
// plug-in calls CSFNoticeDescriptionChanged (qorCSFLib/CSFLog.h): the host
// then asks for the sensor's description again and rewrites the engine
// lines of that record.
//
// A line is in the file whole or not at all: a write that falls short (a
// full disk) is cut back.  Bytes of a text that a terminal or log viewer
// could take for a command are written as "\xHH".  The file is opened again
// when it has been removed or renamed, and on Reopen (SIGHUP).
//
// The log is an output like the alert file (KeptOutput.h): while it cannot
// be written (its folder replaced by a file, a full or read-only file
// system) its lines still reach the console where they did, and are kept,
// up to a bound, to be written in order once it can be; a thread of its own
// tries it again once a second meanwhile, so it comes back without a
// signal.  That it cannot be written is said on the console once (and kept
// among the findings about the policy in force), then counted once a
// minute; that it is back is said on the console and in the log.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KeptOutput.h"
#include "PolicyEventMap.h"
#include "hostwarden/ICSFHostServices.h"

class HostServices final : public ICSFHostServices {
public:
    HostServices();
    ~HostServices();
    HostServices(const HostServices&) = delete;
    HostServices& operator=(const HostServices&) = delete;

    // Opens (creating its folder when needed) the log file lines are
    // appended to.  False when it cannot be opened (OpenProblem says why);
    // the path is kept and tried again.  A symbolic link or another
    // account's file at the path is refused (FollowedFile.h).
    bool Open(const std::string& path);
    // Opens the same path again, making its folder when it is gone: for a
    // log that was rotated or removed.  False when it cannot be opened; the
    // reason goes to the console, and the lines are kept meanwhile.
    bool Reopen();
    // Writes what is kept one last time and says what never was; later
    // lines reach the console only.
    void Close();
    // Why the log could not be opened the last time, or "".
    std::string OpenProblem() const;
    // The line of the log's bound (the lines kept while it cannot be
    // written) when it left lines out, else ""; any thread may ask.
    std::string BoundReached() const;

    uint32_t Notice(uint32_t dwKind, const char* pszFormat, ...) override
        __attribute__((format(printf, 3, 4)));
    void Log(ILogTag* pTag, uint32_t dwCategory, uint32_t dwLevel, int nLine, const char* pszFile,
             const char* pszFormat, ...) override __attribute__((format(printf, 7, 8)));
    void LogV(ILogTag* pTag, uint32_t dwCategory, uint32_t dwLevel, int nLine, const char* pszFile,
              const char* pszFormat, va_list args) override;
    uint32_t RegisterDetectorPolicyEvent(const char* pszName,
                                         IPolicyEventInterface* pEvent) override;

    // An error or warning of a policy load, as "ERROR: <text>" or
    // "WARNING: <text>", and whether its console copy has been written.
    struct Finding {
        std::string m_strText;
        bool m_bOnConsole = false;
        bool operator==(const Finding& other) const = default;
    };

    // From BeginCapture to EndCapture the errors and warnings logged on
    // `thread` (the sensor's command thread), and those of any thread that
    // carry the console flag, are also kept, so that what one policy load
    // said can be told to whoever asked for it.  At most kMaxCaptured are
    // kept; a last one says how many more there were.  BeginCapture also
    // sets the late findings aside: they were learnt about the policy the
    // load may replace.
    void BeginCapture(std::thread::id thread);
    std::vector<Finding> EndCapture();
    static constexpr size_t kMaxCaptured = 200;

    // The late findings of the policy in force ("ERROR: ..." or
    // "WARNING: ..."), oldest first, and a last line counting those left
    // out (repeats, and those past kMaxLate).
    std::vector<std::string> LateFindings() const;
    // Changes with every late finding, kept or counted.
    uint64_t LateVersion() const;
    // A load that left the policy in force as it was (refused, failed, or
    // one that read no policy) takes back the late findings BeginCapture
    // set aside, before those learnt since.
    void KeepEarlierLateFindings();
    // The stop's tally when it counts a loss ("hwhost: 5210 alerts taken,
    // ...; 421378 syslog datagrams left unparsed in the queue"): kept as a
    // warning among the later findings whatever their number, so that the
    // record of the policy in force keeps what its stop lost.
    void KeepStopTally(const std::string& text);
    static constexpr size_t kMaxLate = 50;
    // The late finding `text` (without its "ERROR: " or "WARNING: "), as
    // the line that said it logged it, no longer holds: it leaves the late
    // findings, those a running load set aside included.  A notice of
    // kind kCSFNoticeFindingEnded does the same for the plug-in.
    void EndFinding(const std::string& text);
    // How many notices said that the sensor's description changed.
    uint64_t DescriptionNotices() const;
    // What the sensor's stop left unread of the files it follows, as its
    // notices of kind kCSFNoticeUnreadAtStop counted it (all of them
    // summed); nothing before the stop, or when it left nothing.
    struct Unread {
        uint64_t m_qwFiles = 0;
        uint64_t m_qwBytes = 0;
    };
    Unread UnreadAtStop() const;
    // What the stop lost of each input, as its notices of kind
    // kCSFNoticeLostAtStop counted it: the words of each, with the sum of
    // its counts, in the order they first came.
    std::vector<std::pair<std::string, uint64_t>> LostAtStop() const;
    // An error or warning as a capture keeps it.
    static std::string FindingText(uint32_t dwLevel, const std::string& text);
    // A line as the console shows it.
    static std::string ConsoleLine(uint32_t dwLevel, const std::string& text);

    // "ERROR", "WARNING", "NOTICE", "INFO", "TRACE", or "LEVEL <n>".
    static std::string LevelName(uint32_t dwLevel);

    // From BeginWatchingThreads on, the last line each thread logged (at
    // most kMaxWatchedThreads threads), so that a stop that does not
    // complete can say where the sensor's threads stood: the lines of the
    // `max` threads that logged last, oldest first.
    void BeginWatchingThreads();
    std::vector<std::string> LastLinesOfThreads(size_t max) const;
    static constexpr size_t kMaxWatchedThreads = 64;

    uint64_t LinesWritten() const;
    // Lines that could not be written: past the bound of what is kept for
    // a log that cannot be written, kept at Close, or with no log.
    uint64_t LinesLost() const;
    // Lines kept for the log now.
    size_t LinesKept() const;
    // What the log keeps at most while it cannot be written; set before
    // Open.
    void SetKeptLimit(size_t bytes);
    size_t DetectorEventCount() const;

    // How often the path is looked at for a file renamed away under it.
    static constexpr std::chrono::milliseconds kPathCheckInterval =
        FollowedFile::kPathCheckInterval;

private:
    void WriteLine(const std::string& line);
    void NoteLastLine(const std::string& line);
    void Capture(uint32_t dwLevel, const std::string& text, bool bOnConsole);
    void CaptureLocked(uint32_t dwLevel, const std::string& text, bool bOnConsole);
    // Keeps a line for the log, or counts it left out at the bound.
    void KeepLocked(const std::string& line);
    // Writes what the log keeps when that is due, then says what the log
    // said of itself meanwhile (on the console, among the findings, and in
    // the log as its own lines).
    void WriteKeptLocked(bool bLastTry = false);
    void StartRetryLocked();
    void RetryLoop();
    // Keeps a late finding, or counts it when it repeats one kept or the
    // list is full.
    void KeepLateLocked(std::string text);
    void EndFindingLocked(const std::string& text);
    void AddLostAtStopLocked(const std::string& what, uint64_t qwCount);
    // Says in the log that a notice of kind `dwKind` was not in its form.
    void SayMalformedNotice(uint32_t dwKind);

    // Distinct findings up to a bound, and a count of the others.
    struct LateList {
        std::vector<std::string> m_texts;
        size_t m_nLeftOut = 0;
    };

    mutable std::mutex m_lock;
    // What the log said of itself, to be told once the write that said it
    // is over.
    std::vector<std::pair<uint32_t, std::string>> m_logReports;
    // Its failures that ended, to be withdrawn from the findings.
    std::vector<std::string> m_logEnded;
    KeptOutput m_log{{"log", "the log is not written", "cannot write the log file", "log file",
                      "log lines", "log lines"},
                     [this](uint32_t dwLevel, const std::string& text) {
                         m_logReports.emplace_back(dwLevel, text);
                     }};
    std::string m_strProblem;
    uint64_t m_qwLines = 0;
    uint64_t m_qwLost = 0;
    // Tries again what the log keeps, once a second, while it keeps any.
    std::thread m_retry;
    std::condition_variable m_retryWake;
    bool m_bClosing = false;
    PolicyEventMap m_detectorEvents;
    bool m_bCapturing = false;
    std::thread::id m_captureThread;
    std::vector<Finding> m_captured;
    size_t m_nNotCaptured = 0;
    LateList m_late;
    // What the running load set aside.
    LateList m_lateBefore;
    uint64_t m_qwLateVersion = 0;
    uint64_t m_qwDescriptionNotices = 0;
    Unread m_unreadAtStop;
    std::vector<std::pair<std::string, uint64_t>> m_lostAtStop;
    // The last line of each thread since BeginWatchingThreads, with the
    // order it came in; a lock of its own, taken by every line while set.
    std::atomic<bool> m_bWatchingThreads{false};
    mutable std::mutex m_watchLock;
    struct LastLine {
        uint64_t m_qwOrder = 0;
        std::string m_strLine;
    };
    std::vector<std::pair<std::thread::id, LastLine>> m_lastLines;
    uint64_t m_qwWatchOrder = 0;
};
