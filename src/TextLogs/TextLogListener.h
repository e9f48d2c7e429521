#pragma once
// The text-log engine's handle on one monitored file: hands out the file's
// new lines one at a time, without their line ends, from a line buffer of
// its own, and carries the engine's bookkeeping for the file (the groups it
// is reported under, when a scan last produced it, its identity, its state).
// Used on the engine thread only.

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "TextLogs/qorTextReader.h"

class EchoBudget;

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
        kSwitched = 2,  // the name now names another file: reopen it later
        kStopped = 3,   // read to the last line, then closed and let go
    };

    // Every line read is echoed on standard error; with `pEchoBudget` only
    // those the budget lets through, the others counted in it.  The budget
    // stays the caller's and is shared by the listeners of one engine.
    explicit CTextLogListener(std::string strFileName, EchoBudget* pEchoBudget = nullptr);
    virtual ~CTextLogListener();
    CTextLogListener(const CTextLogListener&) = delete;
    CTextLogListener& operator=(const CTextLogListener&) = delete;

    // "the symbolic link ... belongs to another account (name, uid N) and is
    // not followed", every name shown escaped.
    static std::string DescribeUntrustedLink(const plat::UntrustedLink& link);

    // Opens the file at `llPosition` (qorFileReader::kEndOfFile or 0); false,
    // reported, when it cannot be opened.
    bool Open(int64_t llPosition);
    // Opens the file where `point` says when the name still stands for the
    // same file and the file still holds what was read of it; otherwise
    // at its beginning.  False, reported, when it cannot be opened.
    bool Resume(const ResumePoint& point);
    // Closes the file, keeping where it was left (GetResumePoint).
    void Close();
    // The next complete line as a NUL-terminated text valid until the next
    // call, or null when there is none; a line longer than kLineMax comes in
    // pieces.  A stopped listener closes its file once nothing is left.
    virtual const char* ReadNextLine();

    bool IsClosed() const { return m_bClosed; }
    const ResumePoint& GetResumePoint() const { return m_Resume; }
    void SetResumePoint(ResumePoint point) { m_Resume = std::move(point); }
    const std::string& GetFileName() const { return m_strFileName; }

    // The engine's bookkeeping, kept here with the file it describes.
    std::vector<std::string> m_GroupNames;
    uint32_t m_dwLastSeenScan = 0;
    uint64_t m_qwMark = 0;
    uint32_t m_dwState = kWaitingToOpen;

private:
    const std::string m_strFileName;
    std::array<char, kLineMax + 1> m_Line{};
    // The standard-error report of the line: prefix, line (its unsafe bytes
    // escaped) and line feed.  Room for a line of nothing but escapes is made
    // once, so reporting a line allocates nothing.
    std::string m_strReport;
    EchoBudget* const m_pEchoBudget;
    qorTextReader m_Reader;
    bool m_bClosed = true;
    ResumePoint m_Resume;
};
