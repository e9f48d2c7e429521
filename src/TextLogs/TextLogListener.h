#pragma once
// The reader of one followed file: hands out the file's new lines one at a
// time, without their line ends, each with its length: a NUL or any other
// byte a writer puts in a line is part of it.  It opens
// the file by a name and reads it through its descriptor from then on, so
// a rename or a removal of the file does not stop it; the name it carries
// is the one its lines are reported under, and the one a later open uses.
// Which file each reader reads is its group's table's (LogGroupFiles.h).
// Used on the engine thread only.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "TextLogs/qorTextReader.h"
#include "qorToolsLib/ReportLimiter.h"

class EchoBudget;

// What the files of one engine lost before the engine could read it: a file
// truncated under it, a file gone before it was opened, a file let go with
// bytes it could not read.  The reports keep to kReportsPerMinute, the next
// one counting those left out; the counts are complete.  The files that
// could not be opened (a FIFO or another account's link at the name, no
// descriptor left), and the lines too long to be matched whole, are said
// within limits of their own: whoever writes a watched folder decides how
// many there are.
struct TextLogLosses {
    static constexpr unsigned kReportsPerMinute = 20;
    uint64_t m_qwTruncations = 0;
    uint64_t m_qwVanished = 0;
    uint64_t m_qwUnreadAtLetGo = 0;
    // At least this many bytes went unread with them.
    uint64_t m_qwBytes = 0;
    ReportLimiter m_Reports{std::chrono::minutes(1), kReportsPerMinute};
    ReportLimiter m_Unopened{std::chrono::minutes(1), kReportsPerMinute};
    ReportLimiter m_LongLines{std::chrono::minutes(1), kReportsPerMinute};
    ReportLimiter m_NulRuns{std::chrono::minutes(1), kReportsPerMinute};

    // Logs the warning (and writes it on standard error) unless the
    // limit holds it back; whether it was said.
    bool Report(const std::string& strWarning);
    // The same for a file that could not be opened, for a line matched
    // in pieces, and for a run of NULs passed over in more than one read.
    void ReportUnopened(const std::string& strWarning);
    void ReportLongLine(const std::string& strWarning);
    void ReportNulRun(const std::string& strWarning);
};

class CTextLogListener {
public:
    // A line is handed out whole up to this many bytes (its line end not
    // counted); a longer one in pieces of this many, the first said cut.
    static constexpr int32_t kLineMax = 65536;

    // A line handed out: its bytes, valid until the next read, and whether
    // it is the first piece of a line longer than kLineMax.
    struct Line {
        std::string_view m_Text;
        bool m_bCut = false;
    };

    // Where the listener left its file: enough to know the same file again
    // and to go on after the last line it handed out.
    struct ResumePoint {
        uint64_t m_qwIdentity = 0;
        int64_t m_llPosition = 0;
        // What shows that a file of that identity still holds every byte
        // read before the position (an identity alone may be handed on to
        // a new file once the old one is deleted, and a file may be written
        // anew in place); not shown for a place taken from the size a file
        // was met with, before which nothing was read.
        qorFileReader::Place m_Read;
        // At the first byte, only for an unfinished line of history there.
        bool IsSet() const { return m_llPosition > 0 || m_Read.m_llHistoryEnd > 0; }
    };

    // Every line read is echoed on standard error while the input echo is
    // on (plat::InputEchoOn); with `pEchoBudget` only those the budget lets
    // through, the others counted in it.  A file truncated under the
    // listener is counted and reported in `pLosses` (without it, reported
    // each time).  Both stay the caller's and are shared by the listeners
    // of one engine.
    explicit CTextLogListener(std::string strFileName, EchoBudget* pEchoBudget = nullptr,
                              TextLogLosses* pLosses = nullptr);
    virtual ~CTextLogListener();
    CTextLogListener(const CTextLogListener&) = delete;
    CTextLogListener& operator=(const CTextLogListener&) = delete;

    // Opens the file at `llPosition` (qorFileReader::kEndOfFile or 0); false,
    // reported, when it cannot be opened.  Opens tried again while they
    // fail for one reason say it once.  At the end, what the file holds is
    // history: a last line its writer has not ended yet is read from its
    // start (within kLineMax bytes), so it is handed out whole once ended,
    // and never as it is (qorFileReader::SeekAfterHistory).
    bool Open(int64_t llPosition);
    // Why the last open failed (LastError.h numbering), 0 when it did not.
    uint32_t GetOpenFailure() const { return m_dwOpenFailure; }
    // Whether the last open was refused for what stands at the name (not a
    // regular file, another account's link): it stays so until another
    // file takes the name.
    bool OpenWasRefused() const;
    // Opens the file where `point` says when the name still stands for the
    // same file and the file is shown to still hold what was read of it
    // (read again once, over the next reads, which find nothing new
    // meanwhile); otherwise at its beginning.  False, reported, when it
    // cannot be opened.
    bool Resume(const ResumePoint& point);
    // Closes the file, keeping where it was left (GetResumePoint).
    void Close();
    // The next complete line, or false when there is none; a line longer
    // than kLineMax comes in pieces.  With `bToEnd` (the file is about to
    // be let go) its unfinished last line comes too, as it is.
    virtual bool ReadNextLine(Line& line, bool bToEnd = false);

    bool IsClosed() const { return m_bClosed; }
    // The identity of the file the last open found (0 before one).
    uint64_t GetIdentity() const { return m_pReader->GetIdentity(); }
    // Where the reading of the open file stands: the offset of the first
    // byte not yet handed out (0 when closed).
    int64_t GetPosition() const { return m_bClosed ? 0 : m_pReader->GetLinePosition(); }
    const ResumePoint& GetResumePoint() const { return m_Resume; }
    const std::string& GetFileName() const { return m_strFileName; }
    // The name the lines are reported under from now on, and that a later
    // open opens by; an open file is read on.
    void SetFileName(const std::string& strFileName);

    // Whether the listener holds any buffer now (bytes read and not yet
    // handed out): an idle file holds none.
    bool HoldsBuffers() const { return m_pReader->HasBuffer(); }
    // The size of that buffer (0 without one).
    int32_t GetBufferSize() const { return m_pReader->GetBufferSize(); }
    // Bytes the open file holds that have not been handed out (0 when it
    // cannot tell); while it is read again after a cut, those past where
    // that reading has come.
    int64_t GetUnread() const;
    // Whether the file is being read again after a cut (or to show a place
    // kept): no line came of the last read, and more will.
    bool IsRereading() const { return !m_bClosed && m_pReader->IsRereading(); }
    void SetRereadShare(int64_t llBytes) { m_pReader->SetRereadShare(llBytes); }
    // True once for each run of NULs before a line longer than one read
    // passes over: the lines after it come late.
    bool TakeNulRunHeldOver() { return m_pReader->TakeNulRunHeldOver(); }

private:
    void Echo(std::string_view line, int32_t nRead);
    void ReportTruncation(const qorFileReader::Cut& cut);

    std::string m_strFileName;
    EchoBudget* const m_pEchoBudget;
    TextLogLosses* const m_pLosses;
    std::unique_ptr<qorTextReader> m_pReader;
    bool m_bClosed = true;
    uint32_t m_dwOpenFailure = 0;
    ResumePoint m_Resume;
};
