#include "qorPacketLogLib/qorPacketLog.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/Files.h"
#include "platform/SystemMessage.h"
#include "qorPacketLogLib/LogLine.h"
#include "qorToolsLib/ErrorWords.h"
#include "qorToolsLib/CountText.h"

namespace {

// A count given in decimal, 0x hexadecimal or leading-0 octal; false unless
// the whole text is a number from 1 to `limit`.
bool ReadCount(const char* pszValue, unsigned long long limit, uint32_t& out) {
    if (pszValue == nullptr || *pszValue == '\0') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(pszValue, &end, 0);
    if (errno != 0 || end == pszValue || *end != '\0' || value <= 0 ||
        static_cast<unsigned long long>(value) > limit) {
        return false;
    }
    out = static_cast<uint32_t>(value);
    return true;
}

// The text of an error number without its line break.
std::string ReasonText(int32_t error) {
    std::string text;
    if (plat::LookupSystemMessage(static_cast<uint32_t>(error), nullptr, 0, text) != 0) {
        return "Unknown error";
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

qorPacketLog::qorPacketLog() {
    ChooseFile();
}

qorPacketLog::~qorPacketLog() {
    Close();
    SayUnsaid();
}

void qorPacketLog::SetLogger(ICSFHostServices* pLogger) {
    m_pLogger = pLogger;
    m_Requested.m_pLogger = pLogger;
    m_File.SetLogger(pLogger);
}

bool qorPacketLog::SetParameter(const char* pszName, const char* pszValue) {
    std::string name = pszName != nullptr ? pszName : "";
    uint32_t number = 0;
    bool accepted = false;
    if (pszValue != nullptr && name == "fileprefix") {
        m_Requested.m_strPrefix = pszValue;
        accepted = true;
    } else if (pszValue != nullptr && name == "filesuffix") {
        m_Requested.m_strSuffix = pszValue;
        accepted = true;
    } else if (name == "maxKbytes" && ReadCount(pszValue, UINT32_MAX / 1024, number)) {
        m_Requested.m_dwMaxFileSize = number * 1024;
        accepted = true;
    } else if (name == "maxfiles" && ReadCount(pszValue, UINT32_MAX, number)) {
        m_Requested.m_dwMaxFiles = number;
        accepted = true;
    }
    if (!accepted) {
        PACKETLOG_ERROR(m_pLogger,
                        "Invalid Packet Log Parameter or Parameter Value, Name-%s, Value-%s",
                        name.c_str(), pszValue != nullptr ? pszValue : "");
    }
    return accepted;
}

void qorPacketLog::ApplyParameters() {
    if (m_Requested == m_Applied) {
        return;
    }
    m_Applied = m_Requested;
    Close();
    // Another log from now on: what the one before could not write is said
    // with its name, and the new one starts afresh.
    SayUnsaid();
    m_bFailing = false;
    m_bFailureSaid = false;
    m_qwNotLogged = 0;
    m_FailureReports = ReportLimiter();
    m_ReturnReports = ReportLimiter();
    ChooseFile();
}

bool qorPacketLog::DatedMode() const {
    const std::string& prefix = m_Requested.m_strPrefix;
    return prefix.size() >= 2 && prefix.compare(prefix.size() - 2, 2, "%d") == 0;
}

std::string qorPacketLog::MakeFileName(time_t when, uint32_t index) const {
    char middle[32];
    if (DatedMode()) {
        std::tm local{};
        if (!plat::LocalTime(when, local) ||
            std::strftime(middle, sizeof middle, "%Y%m%d-%H", &local) == 0) {
            std::snprintf(middle, sizeof middle, "%08X", static_cast<unsigned>(when));
        }
    } else {
        std::snprintf(middle, sizeof middle, "%03d",
                      static_cast<int>(index % m_Requested.m_dwMaxFiles));
    }
    return m_Requested.m_strPrefix + middle + m_Requested.m_strSuffix;
}

void qorPacketLog::ChooseFile() {
    m_dwFileIndex = 0;
    m_bFileBegun = false;
    time_t now = std::time(nullptr);
    if (DatedMode()) {
        m_strFileName = MakeFileName(now, 0);
        return;
    }
    // The first free slot, else the one written longest ago.
    uint32_t oldestIndex = 0;
    int64_t oldestTime = 0;
    for (uint32_t index = 0; index < m_Requested.m_dwMaxFiles; ++index) {
        plat::PathInfo info;
        if (!plat::GetPathInfo(MakeFileName(now, index).c_str(), info)) {
            oldestIndex = index;
            break;
        }
        if (index == 0 || info.m_iLastWriteTime < oldestTime) {
            oldestIndex = index;
            oldestTime = info.m_iLastWriteTime;
        }
    }
    m_dwFileIndex = oldestIndex;
    m_strFileName = MakeFileName(now, oldestIndex);
}

bool qorPacketLog::OpenFile(uint32_t baseTime) {
    uint32_t mode = qorTRFile::kModeWrite;
    if (m_bAppendOnOpen) {
        m_bAppendOnOpen = false;
        mode = qorTRFile::kModeAppend;
    }
    if (m_File.Open(m_strFileName, mode, baseTime)) {
        // Appended to, the file counts toward its limit what it holds.
        const uint64_t size = m_File.AppendedSize();
        m_dwBytesWritten = size < UINT32_MAX ? static_cast<uint32_t>(size) : UINT32_MAX;
        m_bFileBegun = true;
        return true;
    }
    m_bOpenFailed = true;
    m_nFailure = m_File.ErrorState();
    m_strFailedFile = m_strFileName;
    return false;
}

bool qorPacketLog::Roll(uint32_t seconds) {
    // Records the disk did not take stay in the current file's turn: the
    // next try goes on in it, and rolls from there.
    if (!m_File.Close()) {
        m_bOpenFailed = false;
        m_nFailure = m_File.CloseError();
        m_strFailedFile = m_strFileName;
        return false;
    }
    m_dwFileIndex = m_dwFileIndex + 1 >= m_Requested.m_dwMaxFiles ? 0 : m_dwFileIndex + 1;
    m_dwBytesWritten = 0;
    m_bFileBegun = false;
    m_strFileName = MakeFileName(static_cast<time_t>(seconds), m_dwFileIndex);
    return OpenFile(seconds);
}

bool qorPacketLog::WriteFrame(const rp::PacketRecord& record) {
    if (!m_File.IsOpen() && !OpenFile(record.m_dwSeconds)) {
        return false;
    }
    uint64_t stored = m_File.StoredLength(record.m_dwCapturedLength);
    if (stored + m_dwBytesWritten + 20 > m_Requested.m_dwMaxFileSize && !Roll(record.m_dwSeconds)) {
        return false;
    }
    if (m_File.WriteRecord(record)) {
        m_dwBytesWritten += static_cast<uint32_t>(stored + 20);
        return true;
    }
    m_bOpenFailed = false;
    m_nFailure = m_File.ErrorState();
    m_strFailedFile = m_strFileName;
    return false;
}

bool qorPacketLog::Write(const rp::PacketRecord& record) {
    m_bFailureBegan = false;
    if (!m_bFailing) {
        if (WriteFrame(record)) {
            return true;
        }
        Failed(ReportLimiter::Now());
        return false;
    }
    const Clock::time_point now = ReportLimiter::Now();
    if (now < m_nextTry) {
        NotLogged(1, now);
        return false;
    }
    m_nextTry = now + kRetryInterval;
    // The frame of a try is pushed to the disk: only that proves it back.
    // A try that fails says nothing new; its frames are counted.
    const bool bOpened = Reopen(record.m_dwSeconds);
    const bool bAccepted = bOpened && WriteFrame(record);
    if (bAccepted && m_File.Flush()) {
        Back(now);
        return true;
    }
    m_File.SetLogger(nullptr);
    m_File.Close();
    m_File.SetLogger(m_pLogger);
    CountDropped();
    NotLogged(bAccepted ? 0 : 1, now);
    return false;
}

bool qorPacketLog::Reopen(uint32_t baseTime) {
    // Said once, at the failure: the tries are quiet.
    m_File.SetLogger(nullptr);
    m_bAppendOnOpen = m_bFileBegun;
    const bool bOpened = OpenFile(baseTime);
    m_bAppendOnOpen = false;
    m_File.SetLogger(m_pLogger);
    return bOpened;
}

void qorPacketLog::CountDropped() {
    const uint64_t dropped = m_File.RecordsDropped();
    m_qwNotLogged += dropped - m_qwDroppedSeen;
    m_qwDroppedSeen = dropped;
}

void qorPacketLog::Failed(Clock::time_point now) {
    m_bFailing = true;
    m_bFailureSaid = false;
    m_failingSince = now;
    m_nextTry = now + kRetryInterval;
    // Closed at once: what the disk took stays whole, and the next try
    // opens it afresh.
    m_File.SetLogger(nullptr);
    m_File.Close();
    m_File.SetLogger(m_pLogger);
    CountDropped();
    NotLogged(1, now);
}

namespace {

// "1 frame was", "2 frames were".
std::string FramesWereText(uint64_t qwFrames) {
    return CountText(qwFrames, "frame", "frames") + (qwFrames == 1 ? " was" : " were");
}

}  // namespace

std::string qorPacketLog::FailureReason() const {
    std::string reason = m_bOpenFailed ? "it cannot be opened: " : "";
    if (m_nFailure > 0) {
        reason += ErrorWords(static_cast<uint32_t>(m_nFailure));
    } else if (m_nFailure == qorTRFile::kErrorNoLocalTime) {
        reason += "no local time can be formed for its header";
    } else if (m_File.FileType() == qorTRFile::kTypeUnwritable) {
        reason += "a file of its suffix takes no frames";
    } else {
        reason += "unknown error";
    }
    return reason;
}

void qorPacketLog::NotLogged(uint64_t qwFrames, Clock::time_point now) {
    m_qwNotLogged += qwFrames;
    if (!m_FailureReports.Allow(now)) {
        return;
    }
    const std::string reason = FailureReason();
    if (m_bFailureSaid) {
        PACKETLOG_SAY(m_pLogger, kCSFLogNotice | kCSFLogConsoleFlag,
                      "packet log %s cannot be written: %s; %s not logged, tried again once a second",
                      m_strFailedFile.c_str(), reason.c_str(), CountText(m_qwNotLogged, "frame", "frames").c_str());
        return;
    }
    m_bFailureSaid = true;
    m_bFailureBegan = true;
    if (m_bOpenFailed) {
        PACKETLOG_ERROR(m_pLogger, "Error=%d opening packet log file %s, Reason:%s", m_nFailure,
                        m_strFailedFile.c_str(), ReasonText(m_nFailure).c_str());
    } else if (m_nFailure > 0) {
        PACKETLOG_ERROR(m_pLogger, "Error=%d writing packet to log file %s, Reason:%s", m_nFailure,
                        m_strFailedFile.c_str(), ReasonText(m_nFailure).c_str());
    } else {
        PACKETLOG_ERROR(m_pLogger, "Error=%d writing packet to log file %s", m_nFailure, m_strFailedFile.c_str());
    }
    m_strWarningSaid = "packet log " + m_strFailedFile + " cannot be written: " + reason + "; " +
                       CountText(m_qwNotLogged, "frame", "frames") + " not logged";
    PACKETLOG_SAY(m_pLogger, kCSFLogWarning | kCSFLogConsoleFlag, "%s", m_strWarningSaid.c_str());
}

void qorPacketLog::Back(Clock::time_point now) {
    m_bFailing = false;
    if (!m_strWarningSaid.empty() && m_pLogger != nullptr) {
        m_pLogger->Notice(kCSFNoticeFindingEnded, "%s", m_strWarningSaid.c_str());
    }
    m_strWarningSaid.clear();
    // A failure that came back unsaid within a minute of the last report
    // is said with a later one, not on its own.
    if (!m_bFailureSaid && !m_ReturnReports.Allow(now)) {
        return;
    }
    if (m_bFailureSaid) {
        m_ReturnReports.Allow(now);
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - m_failingSince).count();
    PACKETLOG_SAY(m_pLogger, kCSFLogNotice | kCSFLogConsoleFlag,
                  "packet log %s is written again after %lld s; %s not logged while it could not be",
                  m_strFileName.c_str(), static_cast<long long>(seconds), FramesWereText(m_qwNotLogged).c_str());
    m_qwNotLogged = 0;
    m_bFailureSaid = false;
}

void qorPacketLog::SayUnsaid() {
    if (m_qwNotLogged == 0) {
        return;
    }
    if (m_bFailing) {
        PACKETLOG_SAY(m_pLogger, kCSFLogWarning | kCSFLogConsoleFlag,
                      "packet log %s cannot be written: %s; %s not logged, and it is closed so",
                      m_strFailedFile.c_str(), FailureReason().c_str(),
                      CountText(m_qwNotLogged, "frame", "frames").c_str());
    } else {
        PACKETLOG_SAY(m_pLogger, kCSFLogNotice | kCSFLogConsoleFlag,
                      "packet log %s was written again, but %s not logged while it could not be",
                      m_strFileName.c_str(), FramesWereText(m_qwNotLogged).c_str());
    }
    m_qwNotLogged = 0;
}

void qorPacketLog::Close() {
    m_File.Close();
    CountDropped();
}

void qorPacketLog::CloseForAppend() {
    m_bAppendOnOpen = true;
    Close();
}
