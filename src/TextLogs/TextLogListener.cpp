#include "TextLogs/TextLogListener.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "platform/Console.h"
#include "platform/DebugOutput.h"
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

void WarnWithin(ReportLimiter& limiter, const std::string& strWarning, const char* pszWhat) {
    if (!limiter.Allow(ReportLimiter::Now())) {
        return;
    }
    const std::string strLine = strWarning + limiter.LeftOutNote(pszWhat);
    CSF_LOG(kCSFLogWarning, "%s", strLine.c_str());
    plat::ConsolePrintf("WARNING: %s\n", strLine.c_str());
}

}  // namespace

void TextLogLosses::Report(const std::string& strWarning) { WarnWithin(m_Reports, strWarning, "such losses"); }

void TextLogLosses::ReportUnopened(const std::string& strWarning) {
    WarnWithin(m_Unopened, strWarning, "files not opened");
}

CTextLogListener::CTextLogListener(std::string strFileName, EchoBudget* pEchoBudget,
                                   TextLogLosses* pLosses)
    : m_strFileName(std::move(strFileName)),
      m_pEchoBudget(pEchoBudget),
      m_pLosses(pLosses),
      m_pReader(std::make_unique<qorTextReader>(m_strFileName)) {}

CTextLogListener::~CTextLogListener() { Close(); }

bool CTextLogListener::Open(int64_t llPosition) {
    if (m_pReader->Open(llPosition) >= 0) {
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

void CTextLogListener::ReleaseIdleLine() {
    // Drained: the line's room goes with the reader's buffer.
    if (!m_pReader->HasBuffer()) {
        m_pLine.reset();
    }
}

bool CTextLogListener::HoldsBuffers() const { return m_pLine != nullptr || m_pReader->HasBuffer(); }

bool CTextLogListener::Resume(const ResumePoint& point) {
    if (!Open(0) || !point.IsSet() || m_pReader->GetIdentity() != point.m_qwIdentity) {
        return !m_bClosed;
    }
    const auto nTail = static_cast<int32_t>(point.m_strTail.size());
    int64_t llSize = 0;
    if (!m_pReader->GetSize(llSize) || llSize < point.m_llPosition || nTail > ResumePoint::kTailSize ||
        !m_pReader->HoldsBefore(point.m_llPosition, point.m_strTail.data(), nTail)) {
        return true;
    }
    m_pReader->Seek(point.m_llPosition);
    return true;
}

namespace {

// Where `reader` stands after its last whole line, with the bytes before
// it; unset when they cannot be read.
CTextLogListener::ResumePoint PointOf(const qorTextReader& reader) {
    using ResumePoint = CTextLogListener::ResumePoint;
    ResumePoint point;
    point.m_qwIdentity = reader.GetIdentity();
    point.m_llPosition = reader.GetLinePosition();
    const int64_t llTailStart = std::max<int64_t>(0, point.m_llPosition - ResumePoint::kTailSize);
    std::array<char, ResumePoint::kTailSize> tail{};
    const int32_t nTail =
        reader.ReadAt(llTailStart, tail.data(), static_cast<int32_t>(point.m_llPosition - llTailStart));
    if (nTail != point.m_llPosition - llTailStart) {
        return ResumePoint();
    }
    point.m_strTail.assign(tail.data(), static_cast<size_t>(nTail));
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

const char* CTextLogListener::ReadNextLine() {
    if (m_bClosed) {
        return nullptr;
    }
    qorTextReader& reader = *m_pReader;
    // An idle file costs one status query and no buffer.
    if (!reader.HasBuffer() && reader.HoldsNothingNew()) {
        ReleaseIdleLine();
        return nullptr;
    }
    if (!m_pLine) {
        m_pLine.reset(new char[kLineMax + 1]);
    }
    const int32_t nRead = reader.ReadLine(m_pLine.get(), kLineMax);
    qorFileReader::Cut cut;
    if (reader.TakeCut(cut)) {
        ReportTruncation(cut);
    }
    if (nRead > 0) {
        char* pLine = m_pLine.get();
        pLine[nRead] = '\0';
        // A carriage return is a line end only right before the line feed;
        // at the end of a piece it is the line's own last byte.
        if (pLine[nRead - 1] == '\n') {
            pLine[nRead - 1] = '\0';
            if (nRead >= 2 && pLine[nRead - 2] == '\r') {
                pLine[nRead - 2] = '\0';
            }
        }
        // The echo below shows the line on the console; where the debug
        // output is the console too, the trace would show it a second time
        // (and unescaped).
        if (IsDebugLoggingEnabled() && !plat::DebugOutputIsConsole()) {
            CSF_TRACE(kCSFLogInfo, "Get[%d]: %s", nRead, pLine);
        }
        // "DEBUG: Get[%d]: %s\n", put together in the listener's own room:
        // every line read costs this, so no allocation and no formatting
        // engine; lines read in a row go out together.  The line is whatever
        // the log's writer put there, so a byte a terminal would obey is
        // shown escaped.
        // Room for a line of nothing but escapes is made once per thread, so
        // reporting a line allocates nothing.
        thread_local std::string t_strReport;
        std::string& strReport = t_strReport;
        strReport.reserve(4 * kLineMax + 32);
        char szCount[16];
        const char* const pCountEnd = std::to_chars(szCount, szCount + sizeof szCount, nRead).ptr;
        strReport.assign("DEBUG: Get[");
        strReport.append(szCount, static_cast<size_t>(pCountEnd - szCount));
        strReport.append("]: ");
        AppendPrintable(strReport, pLine);
        strReport.push_back('\n');
        // Whoever can write the log decides how many lines it gains: with a
        // budget the echo keeps to it, so they cannot fill the disk that
        // standard error ends up on.  The line itself is matched all the same.
        if (m_pEchoBudget == nullptr ||
            m_pEchoBudget->Take(strReport.size(), EchoBudget::Clock::now())) {
            plat::ConsoleWriteGathered(strReport);
        }
        return pLine;
    }
    ReleaseIdleLine();
    if (nRead < 0) {
        const uint32_t dwError = plat::GetLastError();
        const std::string strWhy = ErrorWords(dwError);
        CSF_LOG(kCSFLogError, "Error when reading %s: %d (%s)", m_strFileName.c_str(),
                static_cast<int>(dwError), strWhy.c_str());
        plat::ConsolePrintf("ERROR: Error when reading %s: %d (%s)\n", m_strFileName.c_str(),
                            static_cast<int>(dwError), strWhy.c_str());
    }
    return nullptr;
}

void CTextLogListener::ReportTruncation(const qorFileReader::Cut& cut) {
    // What was written between the engine's last read and the truncation
    // is gone with it (a copy-and-truncate rotation takes it to the copy);
    // how much of it an earlier look saw, and the unfinished line held, is
    // known.
    const int64_t llRead = cut.m_llReached - cut.m_llUnfinished;
    const int64_t llLost = cut.m_llUnfinished + cut.m_llSeenUnread;
    TextLogLosses own;
    TextLogLosses& losses = m_pLosses != nullptr ? *m_pLosses : own;
    ++losses.m_qwTruncations;
    losses.m_qwBytes += static_cast<uint64_t>(llLost);
    losses.Report(PrintableText(m_strFileName) + " was truncated after " + std::to_string(llRead) +
                  " bytes of it had been read: what was written to it after those and before the "
                  "truncation is lost" +
                  (llLost > 0 ? " (at least " + std::to_string(llLost) + " bytes)" : std::string()) +
                  "; it is read again from its beginning");
}
