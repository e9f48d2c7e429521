#include "TextLogs/TextLogListener.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "platform/Console.h"
#include "platform/Descriptors.h"
#include "platform/LastError.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/EchoBudget.h"
#include "qorToolsLib/ErrorWords.h"
#include "qorToolsLib/SafeText.h"

namespace {

// An open refused for what stands at the name: it stays so until another
// file takes the name.
bool IsRefusal(uint32_t dwError) {
    return dwError == plat::kErrBadFileType || dwError == plat::kErrStoppedOnSymlink ||
           dwError == plat::kErrAccessDenied;
}

bool WarnWithin(ReportLimiter& limiter, const std::string& strWarning, const char* pszWhat) {
    if (!limiter.Allow(ReportLimiter::Now())) {
        return false;
    }
    const std::string strLine = strWarning + limiter.LeftOutNote(pszWhat);
    CSF_LOG(kCSFLogWarning, "%s", strLine.c_str());
    plat::ConsolePrintf("WARNING: %s\n", strLine.c_str());
    return true;
}

}  // namespace

bool TextLogLosses::Report(const std::string& strWarning) { return WarnWithin(m_Reports, strWarning, "such losses"); }

void TextLogLosses::ReportUnopened(const std::string& strWarning) {
    WarnWithin(m_Unopened, strWarning, "files not opened");
}

void TextLogLosses::ReportLongLine(const std::string& strWarning) {
    WarnWithin(m_LongLines, strWarning, "lines matched in pieces");
}

void TextLogLosses::ReportNulRun(const std::string& strWarning) {
    WarnWithin(m_NulRuns, strWarning, "runs of NULs passed over late");
}

CTextLogListener::CTextLogListener(std::string strFileName, EchoBudget* pEchoBudget,
                                   TextLogLosses* pLosses)
    : m_strFileName(std::move(strFileName)),
      m_pEchoBudget(pEchoBudget),
      m_pLosses(pLosses),
      m_pReader(std::make_unique<qorTextReader>(m_strFileName)) {}

CTextLogListener::~CTextLogListener() { Close(); }

bool CTextLogListener::Open(int64_t llPosition) {
    const bool bAfterHistory = llPosition == qorFileReader::kEndOfFile;
    if (m_pReader->Open(bAfterHistory ? 0 : llPosition) >= 0) {
        if (bAfterHistory) {
            m_pReader->SeekAfterHistory(qorFileReader::kEndOfFile, kLineMax);
        }
        m_bClosed = false;
        m_dwOpenFailure = 0;
        return true;
    }
    const uint32_t dwError = plat::GetLastError();
    std::string strWhy;
    const bool bOutOfDescriptors = plat::LastErrorIsOutOfDescriptors(&strWhy);
    m_bClosed = true;
    if (dwError == m_dwOpenFailure) {
        return false;
    }
    m_dwOpenFailure = dwError;
    std::string strWarning;
    if (IsRefusal(dwError)) {
        // A FIFO, a socket or a device is passed over, never opened: its
        // open or read could wait for ever.  Anyone who can write to a
        // watched folder can plant a link to a file only the sensor may
        // read, whose lines would then be shown and alerted on: it is not
        // followed.  The listener keeps the name until another file takes
        // it, so this is said once per file.  Names in a watched folder are
        // anyone's choice: shown escaped.
        strWarning = PrintableText(m_pReader->GetOpenProblem());
    } else if (bOutOfDescriptors) {
        // Not a file that is gone: it is opened once a descriptor is free,
        // from where its reading stands.
        strWarning = "Cannot open " + PrintableText(m_strFileName) + " to read: " + strWhy +
                     "; it is opened where its reading stands once one is free";
    } else {
        strWarning = "Cannot open " + PrintableText(m_strFileName) + " to read";
    }
    if (m_pLosses != nullptr) {
        m_pLosses->ReportUnopened(strWarning);
    } else {
        CSF_LOG(kCSFLogWarning, "%s", strWarning.c_str());
        plat::ConsolePrintf("WARNING: %s\n", strWarning.c_str());
    }
    plat::SetLastError(dwError);
    return false;
}

bool CTextLogListener::OpenWasRefused() const { return m_dwOpenFailure != 0 && IsRefusal(m_dwOpenFailure); }

void CTextLogListener::SetFileName(const std::string& strFileName) {
    m_strFileName = strFileName;
    m_pReader->SetPath(strFileName);
}

bool CTextLogListener::Resume(const ResumePoint& point) {
    if (!Open(0) || !point.IsSet() || m_pReader->GetIdentity() != point.m_qwIdentity) {
        return !m_bClosed;
    }
    int64_t llSize = 0;
    if (!m_pReader->GetSize(llSize) || llSize < point.m_llPosition) {
        return true;
    }
    if (point.m_Read.m_bShown) {
        m_pReader->Resume(point.m_Read);
    } else {
        // A place without the bytes before it is the size a file was met
        // with: what it held then is history.
        m_pReader->SeekAfterHistory(std::max(point.m_llPosition, point.m_Read.m_llHistoryEnd), kLineMax);
    }
    return true;
}

namespace {

// Where `reader` stands after its last whole line, with what shows the
// bytes before it.
CTextLogListener::ResumePoint PointOf(const qorTextReader& reader) {
    CTextLogListener::ResumePoint point;
    point.m_qwIdentity = reader.GetIdentity();
    point.m_llPosition = reader.GetLinePosition();
    point.m_Read = reader.PlaceOf(point.m_llPosition);
    return point;
}

}  // namespace

void CTextLogListener::Close() {
    if (m_pReader->IsOpen()) {
        m_Resume = PointOf(*m_pReader);
    }
    m_pReader->Close();
    m_bClosed = true;
}

bool CTextLogListener::ReadNextLine(Line& line, bool bToEnd) {
    if (m_bClosed) {
        return false;
    }
    qorTextReader& reader = *m_pReader;
    // An idle file costs one status query and no buffer.
    if (!reader.HasBuffer() && reader.HoldsNothingNew()) {
        return false;
    }
    std::string_view text;
    const int32_t nRead = reader.ReadLine(text, kLineMax, bToEnd, line.m_bCut);
    qorFileReader::Cut cut;
    if (reader.TakeCut(cut)) {
        ReportTruncation(cut);
    }
    if (nRead > 0) {
        const auto nBytes = static_cast<int32_t>(text.size());
        // A carriage return is a line end only right before the line feed;
        // at the end of a piece it is the line's own last byte.
        if (!text.empty() && text.back() == '\n') {
            text.remove_suffix(1);
            if (!text.empty() && text.back() == '\r') {
                text.remove_suffix(1);
            }
        }
        line.m_Text = text;
        Echo(text, nBytes);
        return true;
    }
    if (nRead < 0) {
        const uint32_t dwError = plat::GetLastError();
        const std::string strWhy = ErrorWords(dwError);
        const std::string strName = PrintableText(m_strFileName);
        CSF_LOG(kCSFLogError, "Error when reading %s: %d (%s)", strName.c_str(), static_cast<int>(dwError),
                strWhy.c_str());
        plat::ConsolePrintf("ERROR: Error when reading %s: %d (%s)\n", strName.c_str(),
                            static_cast<int>(dwError), strWhy.c_str());
    }
    return false;
}

void CTextLogListener::Echo(std::string_view line, int32_t nRead) {
    // With debug logging on, each line's trace goes to the host's log,
    // echo or not: the log is never read back as input (no group follows
    // it), where the debug output, standard error, may be.
    if (IsDebugLoggingEnabled()) {
        CSF_LOG(kCSFLogTrace, "Get[%d]: %s", nRead, PrintableText(line).c_str());
    }
    // The echo is written only where it cannot come back as input (the
    // host's choice, or standard error on a terminal).
    if (!plat::InputEchoOn()) {
        return;
    }
    // "DEBUG: Get[%d]: %s\n", put together in the listener's own room:
    // every line read costs this, so no allocation and no formatting
    // engine; lines read in a row go out together.  The line is whatever
    // the log's writer put there, all of it: a NUL, or a byte a terminal
    // would obey, is shown escaped.  The room is the thread's, made once.
    thread_local std::string t_strReport;
    std::string& strReport = t_strReport;
    char szCount[16];
    const char* const pCountEnd = std::to_chars(szCount, szCount + sizeof szCount, nRead).ptr;
    strReport.assign("DEBUG: Get[");
    strReport.append(szCount, static_cast<size_t>(pCountEnd - szCount));
    strReport.append("]: ");
    AppendPrintable(strReport, line);
    strReport.push_back('\n');
    // Whoever can write the log decides how many lines it gains: with a
    // budget the echo keeps to it, so they cannot fill the disk that
    // standard error ends up on.  The line itself is matched all the same.
    if (m_pEchoBudget == nullptr || m_pEchoBudget->Take(strReport.size(), EchoBudget::Clock::now())) {
        plat::ConsoleWriteGathered(strReport);
    }
}

int64_t CTextLogListener::GetUnread() const {
    int64_t llSize = 0;
    if (m_bClosed || !m_pReader->GetSize(llSize)) {
        return 0;
    }
    // An unfinished line of the history is none of what is owed.
    const int64_t llAt = m_pReader->IsRereading()
                             ? m_pReader->GetRereadAt()
                             : std::max(m_pReader->GetLinePosition(), m_pReader->GetHistoryEnd());
    return std::max<int64_t>(0, llSize - llAt);
}

void CTextLogListener::ReportTruncation(const qorFileReader::Cut& cut) {
    // What was written between the engine's last read and the cut is gone
    // with it (a copy-and-truncate rotation takes it to the copy); how much
    // of it an earlier look saw, the unfinished line held, and where a
    // writer that goes on at its own offset writes again, is known.  Of a
    // writer with O_APPEND nothing else tells: said so.
    const int64_t llRead = cut.m_llReached - cut.m_llUnfinished;
    const int64_t llLost = cut.Lost();
    TextLogLosses own;
    TextLogLosses& losses = m_pLosses != nullptr ? *m_pLosses : own;
    ++losses.m_qwTruncations;
    losses.m_qwBytes += static_cast<uint64_t>(llLost);
    std::string strLost;
    if (cut.LossKnown()) {
        strLost = llLost > 0 ? " (at least " + std::to_string(llLost) + " bytes)" : std::string();
    } else {
        strLost = (llLost > 0 ? " (at least " + std::to_string(llLost) + " bytes; how much more" : std::string(" (how much")) +
                  " cannot be told: no look saw its size past what was read)";
    }
    // Lines the file still holds that could not be shown to be new.
    const std::string strUnshown =
        cut.m_llUnshown > 0 ? "; the " + std::to_string(cut.m_llUnshown) +
                                  " bytes after that could not be told from those read there, and lines among "
                                  "them may be read again"
                            : std::string();
    if (cut.m_llKept == 0) {
        losses.Report(PrintableText(m_strFileName) + " was truncated after " + std::to_string(llRead) +
                      " bytes of it had been read: what was written to it after those and before the "
                      "truncation is lost" +
                      strLost + "; it is read again from its beginning" + strUnshown);
        return;
    }
    // Up to where it is shown to hold what was read, its lines are not read
    // again.
    losses.Report(PrintableText(m_strFileName) + " was cut to " + std::to_string(cut.m_llSize) + " bytes after " +
                  std::to_string(llRead) +
                  " bytes of it had been read: what was written to it after those and before the cut is lost" +
                  strLost + "; it is read on from byte " + std::to_string(cut.m_llKept) +
                  ", up to which it holds what had been read" + strUnshown);
}
