#pragma once
// The text-log engine's handle on one monitored file: hands out the file's
// new lines one at a time, without their line ends, from a line buffer of
// its own, and carries the engine's bookkeeping for the file (the groups it
// is reported under, when a scan last produced it, its identity, its state).
// When another file takes the name, the one open until then is kept as the
// previous file and read on through its descriptor, first, so that what
// its writer adds before turning to the new file is not lost.
// Used on the engine thread only.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "TextLogs/qorTextReader.h"
#include "qorToolsLib/ReportLimiter.h"

class EchoBudget;

// What the files of one engine lost before the engine could read it: a file
// truncated under it, a file gone before it was opened.  The reports keep to
// kReportsPerMinute, the next one counting those left out; the counts are
// complete.  The files that could not be opened (a FIFO or another
// account's link at the name, no descriptor left) are said within a limit
// of their own: whoever writes a watched folder decides how many there are.
struct TextLogLosses {
    static constexpr unsigned kReportsPerMinute = 20;
    uint64_t m_qwTruncations = 0;
    uint64_t m_qwVanished = 0;
    // At least this many bytes went unread with them.
    uint64_t m_qwBytes = 0;
    ReportLimiter m_Reports{std::chrono::minutes(1), kReportsPerMinute};
    ReportLimiter m_Unopened{std::chrono::minutes(1), kReportsPerMinute};

    // Logs the warning (and writes it on standard error) unless the
    // limit holds it back.
    void Report(const std::string& strWarning);
    // The same for a file that could not be opened.
    void ReportUnopened(const std::string& strWarning);
};

class CTextLogListener {
public:
    // A line handed out holds at most this many bytes before its NUL.
    static constexpr int32_t kLineMax = 4095;

    // Where the listener left its file: enough to know the same file again
    // and to go on after the last line it handed out.
    struct ResumePoint {
        static constexpr int32_t kTailSize = 64;
        uint64_t m_qwIdentity = 0;
        int64_t m_llPosition = 0;
        // The bytes just before the position: an identity alone may be
        // handed on to a new file once the old one is deleted.
        std::string m_strTail;
        bool IsSet() const { return m_llPosition > 0; }
    };

    enum State : uint32_t {
        kWaitingToOpen = 0,
        kMonitoring = 1,
        kSwitched = 2,  // the name now names another file: opened by the same pass
        kStopped = 3,   // read on until let go at the next scan, to its last line
    };

    // Every line read is echoed on standard error; with `pEchoBudget` only
    // those the budget lets through, the others counted in it.  A file
    // truncated under the listener is counted and reported in `pLosses`
    // (without it, reported each time).  Both stay the caller's and are
    // shared by the listeners of one engine.
    explicit CTextLogListener(std::string strFileName, EchoBudget* pEchoBudget = nullptr,
                              TextLogLosses* pLosses = nullptr);
    virtual ~CTextLogListener();
    CTextLogListener(const CTextLogListener&) = delete;
    CTextLogListener& operator=(const CTextLogListener&) = delete;

    // Opens the file at `llPosition` (qorFileReader::kEndOfFile or 0); false,
    // reported, when it cannot be opened.  Opens tried again while they
    // fail for one reason say it once.
    bool Open(int64_t llPosition);
    // Why the last open failed (LastError.h numbering), 0 when it did not.
    uint32_t GetOpenFailure() const { return m_dwOpenFailure; }
    // Whether the last open failed for a reason that may pass while the
    // file is there (no descriptor left, say), rather than for the file's
    // absence or for what stands at the name: the file is to be opened
    // again later, from where its reading stands.
    bool OpenMayBeRetried() const;
    // Opens the file where `point` says when the name still stands for the
    // same file and the file still holds what was read of it; otherwise
    // at its beginning.  False, reported, when it cannot be opened.
    bool Resume(const ResumePoint& point);
    // The name now names another file: the file open until now becomes the
    // previous one, read on before the new one, and the name is opened at
    // its beginning.  A previous file kept from before is closed: the
    // caller reads it to its end first.  False, reported, when the name
    // cannot be opened.
    bool OpenNewFile();
    // As OpenNewFile, leaving the name's new file closed.
    void TurnToNewFile();
    // Closes the file and the previous one, keeping where the file was left
    // (GetResumePoint).
    void Close();
    // The next complete line, of the previous file while it has one, as a
    // NUL-terminated text valid until the next call, or null when there is
    // none; a line longer than kLineMax comes in pieces.
    virtual const char* ReadNextLine();

    bool HasPrevious() const { return m_pPrevious != nullptr; }
    // The previous file's next line, as ReadNextLine; null without one.
    const char* ReadPreviousLine();
    void ClosePrevious() { m_pPrevious.reset(); }
    // Where the previous file was read to (unset without one).
    ResumePoint GetPreviousPoint() const;
    // Where the reading of the previous file stands (0 without one).
    int64_t GetPreviousPosition() const { return m_pPrevious ? m_pPrevious->GetPosition() : 0; }

    bool IsClosed() const { return m_bClosed; }
    // Whether the file or the previous one is open.
    bool IsReading() const { return !m_bClosed || m_pPrevious != nullptr; }
    // Whether the file of identity `qwIdentity` is open here, as the file
    // or as the previous one.
    bool Reads(uint64_t qwIdentity) const;
    // The identity of the file the last open found (0 before one).
    uint64_t GetIdentity() const { return m_pReader->GetIdentity(); }
    const ResumePoint& GetResumePoint() const { return m_Resume; }
    void SetResumePoint(ResumePoint point) { m_Resume = std::move(point); }
    const std::string& GetFileName() const { return m_strFileName; }

    // Whether the listener holds any buffer now (bytes read and not yet
    // handed out): an idle file holds none.
    bool HoldsBuffers() const;

    // The engine's bookkeeping, kept here with the file it describes.
    std::vector<std::string> m_GroupNames;
    uint32_t m_dwLastSeenScan = 0;
    uint64_t m_qwMark = 0;
    // The size of the file when its mark was taken.
    uint64_t m_qwMarkSize = 0;
    // Marks the file a look at the name found (none: a status left empty).
    void TakeMark(const plat::FileStatus& status) {
        m_qwMark = status.m_qwIdentity;
        m_qwMarkSize = status.m_qwSize;
    }
    uint32_t m_dwState = kWaitingToOpen;
    // Stopped because the name named no file any more.
    bool m_bNameGone = false;
    // Waiting to be opened again where the resume point says (an open
    // failed for a reason that may pass), or at its end.
    bool m_bRetryOpen = false;
    bool m_bRetryAtEnd = false;
    // A descriptor was counted out for its first open.
    bool m_bDescriptorTaken = false;
    // Passes in a row that found the previous file's reading where it was.
    uint32_t m_dwPreviousQuiet = 0;
    int64_t m_llPreviousAt = 0;

private:
    // The next line of `reader`, echoed; null when it has none.
    const char* TakeLine(qorTextReader& reader);
    void ReleaseIdleLine();
    void ReportTruncation(const qorFileReader::Cut& cut);

    const std::string m_strFileName;
    // The line handed out last; there only while lines are being read.
    std::unique_ptr<char[]> m_pLine;
    EchoBudget* const m_pEchoBudget;
    TextLogLosses* const m_pLosses;
    std::unique_ptr<qorTextReader> m_pReader;
    std::unique_ptr<qorTextReader> m_pPrevious;
    bool m_bClosed = true;
    uint32_t m_dwOpenFailure = 0;
    ResumePoint m_Resume;
};
