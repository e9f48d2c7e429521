#pragma once
// A ring of capture files that received frames are written into: the names
// come from a prefix, a three-digit index (or, with a prefix ending in "%d",
// the date and hour) and a suffix; a file that would grow past the size
// limit is closed and the next one in the ring is begun.  A log belongs to
// one thread and takes no lock.
//
// A log that cannot be written (a full disk, a folder removed) is not
// given up.  At the failure its file is closed and the log stays on: it is
// tried again at a later frame, at most once a second, and goes on in the
// same file after its last whole record (or begins the file, when the
// failure came before it was begun), keeping its place in the ring.  The
// frames it could not take meanwhile, and those a failed write kept off
// the disk, are counted: "packet log F cannot be written: REASON; N frames
// not logged" is said at once and then at most once a minute while it
// lasts, and its return is said with the count.  The state of a log and
// what is said of it live here alone:
//
//   writing   every frame goes to the file (buffered, whole).
//   failing   the file is closed; a frame before the next try is counted,
//             a frame at it opens the file again and is written through to
//             the disk, which proves the log back.
//
// Failures that come back within the minute after a report are counted in
// the next report rather than said again, so a disk on the edge of full
// costs the log a line a minute, not one a frame.

#include <cstdint>
#include <ctime>
#include <string>

#include "qorPacketLogLib/qorTRFile.h"
#include "qorToolsLib/ReportLimiter.h"
#include "rawpacket/Frame.h"

class ICSFHostServices;

class qorPacketLog_cfg {
public:
    virtual ~qorPacketLog_cfg() = default;

    bool operator==(const qorPacketLog_cfg& other) const {
        return m_dwMaxFileSize == other.m_dwMaxFileSize && m_dwMaxFiles == other.m_dwMaxFiles &&
               m_strPrefix == other.m_strPrefix && m_strSuffix == other.m_strSuffix;
    }

    uint32_t m_dwMaxFileSize = 1400000;
    uint32_t m_dwMaxFiles = 10;
    std::string m_strPrefix = "log";
    std::string m_strSuffix = ".enc";
    ICSFHostServices* m_pLogger = nullptr;
};

class qorPacketLog {
public:
    using Clock = ReportLimiter::Clock;
    // How often a log that cannot be written is tried again, at the most.
    static constexpr Clock::duration kRetryInterval = std::chrono::seconds(1);

    qorPacketLog();
    virtual ~qorPacketLog();
    qorPacketLog(const qorPacketLog&) = delete;
    qorPacketLog& operator=(const qorPacketLog&) = delete;

    void SetLogger(ICSFHostServices* pLogger);
    // "fileprefix", "filesuffix", "maxKbytes", "maxfiles"; false (and a log
    // line) for any other name or a number that is not above 0.
    bool SetParameter(const char* pszName, const char* pszValue);
    // Takes the requested settings when they differ from those in use, and
    // then chooses the file to write again.
    void ApplyParameters();
    // False when the frame was not written (see above: the log stays on,
    // and counts it).  Times come from ReportLimiter::Now().
    bool Write(const rp::PacketRecord& record);
    void Close();
    // The next open continues the current file instead of emptying it.
    void CloseForAppend();

    // The last Write began a failure that was said: its owner adds its own
    // line to it.
    bool FailureBegan() const { return m_bFailureBegan; }
    bool Failing() const { return m_bFailing; }
    // Frames not logged since the log's last return was said (or since it
    // was made).
    uint64_t FramesNotLogged() const { return m_qwNotLogged; }

    const std::string& CurrentFileName() const { return m_strFileName; }
    uint32_t BytesWritten() const { return m_dwBytesWritten; }
    uint32_t FileIndex() const { return m_dwFileIndex; }

private:
    bool DatedMode() const;
    std::string MakeFileName(time_t when, uint32_t index) const;
    void ChooseFile();
    bool OpenFile(uint32_t baseTime);
    bool Roll(uint32_t seconds);
    // Opens the file, rolls and writes the frame; false, with the failure
    // noted for Failed, when any of it fails.
    bool WriteFrame(const rp::PacketRecord& record);
    // At a try after a failure: opens the current file again, quietly.
    bool Reopen(uint32_t baseTime);
    // The records the file kept off the disk since it was last asked,
    // counted as not logged.
    void CountDropped();
    void Failed(Clock::time_point now);
    void NotLogged(uint64_t qwFrames, Clock::time_point now);
    void Back(Clock::time_point now);
    // Says what failing and not logged is still unsaid (at the end).
    void SayUnsaid();
    std::string FailureReason() const;

    qorTRFile m_File;
    qorPacketLog_cfg m_Requested;
    qorPacketLog_cfg m_Applied;
    std::string m_strFileName;
    uint32_t m_dwBytesWritten = 0;
    uint32_t m_dwFileIndex = 0;
    bool m_bAppendOnOpen = false;
    ICSFHostServices* m_pLogger = nullptr;

    // The current file was opened (emptied and begun) for this round of the
    // ring: a try after a failure goes on after its last whole record,
    // where otherwise it begins the file as the failed open would have.
    bool m_bFileBegun = false;
    bool m_bFailing = false;
    bool m_bFailureBegan = false;
    // The failure went wrong opening (else writing), with this error.
    bool m_bOpenFailed = false;
    int32_t m_nFailure = 0;
    std::string m_strFailedFile;
    // The current failure was said: its return is said too.
    bool m_bFailureSaid = false;
    // The warning that said a failure, a finding of the host's until the
    // log is written again, when it is taken back.
    std::string m_strWarningSaid;
    Clock::time_point m_nextTry{};
    Clock::time_point m_failingSince{};
    uint64_t m_qwNotLogged = 0;
    uint64_t m_qwDroppedSeen = 0;
    ReportLimiter m_FailureReports;
    ReportLimiter m_ReturnReports;
};
