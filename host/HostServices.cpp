#include "HostServices.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "hostwarden/ILogTag.h"
#include "platform/Console.h"
#include "qorToolsLib/SafeText.h"

namespace {

std::string FormatText(const char* pszFormat, va_list args) {
    if (pszFormat == nullptr) {
        return std::string();
    }
    char local[1024];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(local, sizeof local, pszFormat, copy);
    va_end(copy);
    if (n < 0) {
        return std::string();
    }
    if (static_cast<size_t>(n) < sizeof local) {
        return std::string(local, static_cast<size_t>(n));
    }
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), pszFormat, args);
    text.resize(static_cast<size_t>(n));
    return text;
}

// Line ends inside a text would split one record over several lines; other
// unsafe bytes are shown as "\xHH".
std::string LogText(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return PrintableText(text);
}

// "3 more errors and warnings<why> are", "1 more error or warning<why> is".
std::string MoreFindings(size_t nMore, const std::string& why = std::string()) {
    return nMore == 1 ? "1 more error or warning" + why + " is"
                      : std::to_string(nMore) + " more errors and warnings" + why + " are";
}

std::string TimeStamp() {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char text[40];
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03ld", static_cast<long>(now.tv_usec / 1000));
    return text;
}

}  // namespace

HostServices::HostServices() {
    // Withdrawn under the lock that the write saying it is back holds.
    m_log.SetFindingEnded([this](const std::string& text) { m_logEnded.push_back(text); });
}

HostServices::~HostServices() {
    Close();
}

bool HostServices::Open(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::string problem;
    m_bClosing = false;
    const bool bOpened = m_log.OpenFile(path, problem, ReportLimiter::Now());
    m_strProblem = bOpened ? std::string() : problem;
    return bOpened;
}

bool HostServices::Reopen() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_log.IsWanted()) {
        return false;
    }
    m_log.AskReopen();
    WriteKeptLocked();
    return m_log.File().Fd() >= 0;
}

std::string HostServices::OpenProblem() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_strProblem;
}

std::string HostServices::BoundReached() const {
    return m_log.BoundReached();
}

void HostServices::Close() {
    std::thread retry;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bClosing = true;
        retry.swap(m_retry);
    }
    m_retryWake.notify_all();
    if (retry.joinable()) {
        retry.join();
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_log.IsWanted()) {
        WriteKeptLocked(true);
        std::string line;
        m_qwLost += m_log.CountNotWritten(line);
        for (const auto& [dwLevel, text] : m_logReports) {
            // Nothing more reaches the file: the console has the last word.
            plat::ConsoleWrite(ConsoleLine(dwLevel, LogText(text)));
        }
        m_logReports.clear();
    }
    m_log.Close();
    m_strProblem.clear();
}

void HostServices::SetKeptLimit(size_t bytes) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_log.SetKeptLimit(bytes);
}

void HostServices::KeepLocked(const std::string& line) {
    if (!m_log.HasRoom()) {
        ++m_qwLost;
        m_log.LeftOut();
        return;
    }
    m_log.Pending() += line;
    m_log.Made(line.size());
}

void HostServices::WriteKeptLocked(bool bLastTry) {
    const ReportLimiter::Clock::time_point now = ReportLimiter::Now();
    m_log.Write(now, bLastTry);
    // What the log says of itself is said once the write is over; as its
    // own lines it goes in after those kept before it, at the next write if
    // not at once.  Each round says less (what is said again is said at
    // most once a minute), so this ends.
    while (!m_logReports.empty()) {
        std::vector<std::pair<uint32_t, std::string>> reports;
        reports.swap(m_logReports);
        for (const auto& [dwLevel, said] : reports) {
            const std::string text = LogText(said);
            const bool bOnConsole = (dwLevel & kCSFLogConsoleFlag) != 0;
            if (bOnConsole) {
                plat::ConsoleWrite(ConsoleLine(dwLevel, text));
            }
            CaptureLocked(dwLevel & ~kCSFLogConsoleFlag, text, bOnConsole);
            KeepLocked(TimeStamp() + " " + LevelName(dwLevel) + " [tag none] [cat 0x800] " + __FILE__ +
                       ":" + std::to_string(__LINE__) + ": " + text + "\n");
        }
        m_log.Write(now, bLastTry);
    }
    for (const std::string& ended : m_logEnded) {
        EndFindingLocked(LogText(ended));
    }
    m_logEnded.clear();
    if (m_log.IsFailing()) {
        StartRetryLocked();
    }
}

void HostServices::StartRetryLocked() {
    if (!m_retry.joinable() && !m_bClosing) {
        m_retry = std::thread([this] { RetryLoop(); });
    }
}

void HostServices::RetryLoop() {
    std::unique_lock<std::mutex> guard(m_lock);
    while (!m_bClosing) {
        m_retryWake.wait_for(guard, KeptOutput::kRetryInterval, [this] { return m_bClosing; });
        if (!m_bClosing && m_log.IsFailing()) {
            WriteKeptLocked();
        }
    }
}

std::string HostServices::LevelName(uint32_t dwLevel) {
    switch (dwLevel & ~kCSFLogConsoleFlag) {
        case kCSFLogError:
            return "ERROR";
        case kCSFLogWarning:
            return "WARNING";
        case kCSFLogNotice:
            return "NOTICE";
        case kCSFLogInfo:
            return "INFO";
        case kCSFLogTrace:
            return "TRACE";
        default:
            return "LEVEL " + std::to_string(dwLevel & ~kCSFLogConsoleFlag);
    }
}

void HostServices::WriteLine(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_qwLines;
    if (!m_log.IsWanted()) {
        ++m_qwLost;
        return;
    }
    // One write of what is kept under the lock, at the end of the file:
    // lines never interleave, and a line is never continued by another.
    KeepLocked(line);
    WriteKeptLocked();
}

uint32_t HostServices::Notice(uint32_t dwKind, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    std::string text = LogText(FormatText(pszFormat, args));
    va_end(args);
    WriteLine(TimeStamp() + " NOTICE [kind " + std::to_string(dwKind) + "] " + text + "\n");
    if (dwKind == kCSFNoticeDescription) {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_qwDescriptionNotices;
    } else if (dwKind == kCSFNoticeFindingEnded) {
        std::lock_guard<std::mutex> guard(m_lock);
        EndFindingLocked(text);
    } else if (dwKind == kCSFNoticeUnreadAtStop) {
        uint64_t qwFiles = 0;
        uint64_t qwBytes = 0;
        int nRead = -1;
        if (std::sscanf(text.c_str(), kCSFUnreadAtStopScan, &qwFiles, &qwBytes, &nRead) == 2 &&
            static_cast<size_t>(nRead) == text.size()) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_unreadAtStop.m_qwFiles += qwFiles;
            m_unreadAtStop.m_qwBytes += qwBytes;
        } else {
            SayMalformedNotice(dwKind);
        }
    } else if (dwKind == kCSFNoticeLostAtStop) {
        uint64_t qwCount = 0;
        int nRead = -1;
        if (std::sscanf(text.c_str(), kCSFLostAtStopScan, &qwCount, &nRead) == 1 && nRead > 0 &&
            static_cast<size_t>(nRead) < text.size()) {
            std::lock_guard<std::mutex> guard(m_lock);
            AddLostAtStopLocked(text.substr(static_cast<size_t>(nRead)), qwCount);
        } else {
            SayMalformedNotice(dwKind);
        }
    }
    return 0;
}

void HostServices::AddLostAtStopLocked(const std::string& what, uint64_t qwCount) {
    for (auto& [known, qwSum] : m_lostAtStop) {
        if (known == what) {
            qwSum = qwSum > UINT64_MAX - qwCount ? UINT64_MAX : qwSum + qwCount;
            return;
        }
    }
    m_lostAtStop.emplace_back(what, qwCount);
}

void HostServices::SayMalformedNotice(uint32_t dwKind) {
    // The stop's tally would leave it out without a word.
    Log(nullptr, kCSFLogCategory, kCSFLogError, __LINE__, __FILE__,
        "hwhost: the notice above of kind %u is not in its form: the stop's tally leaves it out",
        static_cast<unsigned>(dwKind));
}

void HostServices::EndFinding(const std::string& text) {
    const std::string logged = LogText(text);
    WriteLine(TimeStamp() + " NOTICE [kind " + std::to_string(kCSFNoticeFindingEnded) + "] " +
              logged + "\n");
    std::lock_guard<std::mutex> guard(m_lock);
    EndFindingLocked(logged);
}

void HostServices::EndFindingLocked(const std::string& text) {
    bool bEnded = false;
    for (LateList* pList : {&m_late, &m_lateBefore}) {
        for (const char* pszLevel : {"ERROR: ", "WARNING: "}) {
            auto found = std::find(pList->m_texts.begin(), pList->m_texts.end(), pszLevel + text);
            if (found != pList->m_texts.end()) {
                pList->m_texts.erase(found);
                bEnded = true;
            }
        }
    }
    if (bEnded) {
        ++m_qwLateVersion;
    }
}

void HostServices::Log(ILogTag* pTag, uint32_t dwCategory, uint32_t dwLevel, int nLine,
                       const char* pszFile, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    LogV(pTag, dwCategory, dwLevel, nLine, pszFile, pszFormat, args);
    va_end(args);
}

void HostServices::LogV(ILogTag* pTag, uint32_t dwCategory, uint32_t dwLevel, int nLine,
                        const char* pszFile, const char* pszFormat, va_list args) {
    std::string text = LogText(FormatText(pszFormat, args));
    char tag[64];
    if (pTag != nullptr) {
        std::snprintf(tag, sizeof tag, "%p %u/%u", static_cast<void*>(pTag), pTag->GetFirstWord(),
                      pTag->GetSecondWord());
    } else {
        std::snprintf(tag, sizeof tag, "none");
    }
    char category[16];
    std::snprintf(category, sizeof category, "0x%x", dwCategory);
    std::string line = TimeStamp() + " " + LevelName(dwLevel) + " [tag " + tag + "] [cat " +
                       category + "] " + (pszFile != nullptr ? pszFile : "?") + ":" +
                       std::to_string(nLine) + ": " + text + "\n";
    // A failure of the log itself is found by this write, and listed
    // before the line that met it.
    WriteLine(line);
    if (m_bWatchingThreads.load(std::memory_order_relaxed)) {
        NoteLastLine(line);
    }
    const bool bOnConsole = (dwLevel & kCSFLogConsoleFlag) != 0;
    // Kept among the findings before it is said on the console, so that
    // whoever reads the console line finds the finding too.
    Capture(dwLevel & ~kCSFLogConsoleFlag, text, bOnConsole);
    if (bOnConsole) {
        plat::ConsoleWrite(ConsoleLine(dwLevel, text));
    }
}

void HostServices::BeginWatchingThreads() {
    std::lock_guard<std::mutex> guard(m_watchLock);
    m_lastLines.clear();
    m_lastLines.reserve(kMaxWatchedThreads);
    m_bWatchingThreads.store(true);
}

void HostServices::NoteLastLine(const std::string& line) {
    const std::thread::id self = std::this_thread::get_id();
    std::lock_guard<std::mutex> guard(m_watchLock);
    auto found = std::find_if(m_lastLines.begin(), m_lastLines.end(),
                              [&](const auto& entry) { return entry.first == self; });
    if (found == m_lastLines.end()) {
        if (m_lastLines.size() >= kMaxWatchedThreads) {
            return;
        }
        found = m_lastLines.emplace(m_lastLines.end(), self, LastLine{});
    }
    found->second.m_qwOrder = ++m_qwWatchOrder;
    found->second.m_strLine.assign(line, 0, line.size() - (!line.empty() && line.back() == '\n' ? 1 : 0));
}

std::vector<std::string> HostServices::LastLinesOfThreads(size_t max) const {
    std::vector<LastLine> lines;
    {
        std::lock_guard<std::mutex> guard(m_watchLock);
        for (const auto& [thread, last] : m_lastLines) {
            lines.push_back(last);
        }
    }
    std::sort(lines.begin(), lines.end(),
              [](const LastLine& a, const LastLine& b) { return a.m_qwOrder > b.m_qwOrder; });
    if (lines.size() > max) {
        lines.resize(max);
    }
    std::vector<std::string> texts;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        texts.push_back(it->m_strLine);
    }
    return texts;
}

std::string HostServices::ConsoleLine(uint32_t dwLevel, const std::string& text) {
    return LevelName(dwLevel) + ": " + text + "\n";
}

void HostServices::BeginCapture(std::thread::id thread) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bCapturing = true;
    m_captureThread = thread;
    m_captured.clear();
    m_nNotCaptured = 0;
    m_lateBefore = std::move(m_late);
    m_late = LateList();
    ++m_qwLateVersion;
}

std::vector<HostServices::Finding> HostServices::EndCapture() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bCapturing = false;
    std::vector<Finding> captured = std::move(m_captured);
    m_captured.clear();
    if (m_nNotCaptured > 0) {
        captured.push_back({"WARNING: " + MoreFindings(m_nNotCaptured) + " in the log only", false});
    }
    return captured;
}

void HostServices::Capture(uint32_t dwLevel, const std::string& text, bool bOnConsole) {
    std::lock_guard<std::mutex> guard(m_lock);
    CaptureLocked(dwLevel, text, bOnConsole);
}

void HostServices::CaptureLocked(uint32_t dwLevel, const std::string& text, bool bOnConsole) {
    if (dwLevel != kCSFLogError && dwLevel != kCSFLogWarning) {
        return;
    }
    // The plug-in's warning that scripting is off repeats what the policy
    // itself chose; it says nothing wrong with the policy.
    if (text == "RULEWEAVE is disabled globally.") {
        return;
    }
    if (!m_bCapturing) {
        // Only what the sensor asked the operator to see: a line for the
        // log alone is routine between loads.
        if (bOnConsole) {
            KeepLateLocked(FindingText(dwLevel, text));
        }
        return;
    }
    // Another thread's line is the load's when the operator was shown it
    // while the load ran (a port an engine opened, a script refused).
    if (std::this_thread::get_id() != m_captureThread && !bOnConsole) {
        return;
    }
    if (m_captured.size() >= kMaxCaptured) {
        ++m_nNotCaptured;
        return;
    }
    m_captured.push_back({FindingText(dwLevel, text), bOnConsole});
}

void HostServices::KeepLateLocked(std::string text) {
    ++m_qwLateVersion;
    if (m_late.m_texts.size() >= kMaxLate ||
        std::find(m_late.m_texts.begin(), m_late.m_texts.end(), text) != m_late.m_texts.end()) {
        ++m_late.m_nLeftOut;
        return;
    }
    m_late.m_texts.push_back(std::move(text));
}

void HostServices::KeepStopTally(const std::string& text) {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_qwLateVersion;
    m_late.m_texts.push_back(FindingText(kCSFLogWarning, text));
}

std::vector<std::string> HostServices::LateFindings() const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::string> findings = m_late.m_texts;
    if (m_late.m_nLeftOut > 0) {
        findings.push_back("WARNING: " + MoreFindings(m_late.m_nLeftOut, " (repeated, or past the first " +
                                                                     std::to_string(kMaxLate) + ")") +
                           " in the log only");
    }
    return findings;
}

uint64_t HostServices::LateVersion() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_qwLateVersion;
}

void HostServices::KeepEarlierLateFindings() {
    std::lock_guard<std::mutex> guard(m_lock);
    LateList since = std::move(m_late);
    m_late = std::move(m_lateBefore);
    m_lateBefore = LateList();
    m_late.m_nLeftOut += since.m_nLeftOut;
    for (std::string& text : since.m_texts) {
        KeepLateLocked(std::move(text));
    }
    ++m_qwLateVersion;
}

uint64_t HostServices::DescriptionNotices() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_qwDescriptionNotices;
}

HostServices::Unread HostServices::UnreadAtStop() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_unreadAtStop;
}

std::vector<std::pair<std::string, uint64_t>> HostServices::LostAtStop() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lostAtStop;
}

std::string HostServices::FindingText(uint32_t dwLevel, const std::string& text) {
    return (dwLevel == kCSFLogError ? "ERROR: " : "WARNING: ") + text;
}

uint32_t HostServices::RegisterDetectorPolicyEvent(const char* pszName,
                                                   IPolicyEventInterface* pEvent) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_detectorEvents.Keep(pszName, pEvent);
    return 0;
}

uint64_t HostServices::LinesWritten() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_qwLines;
}

uint64_t HostServices::LinesLost() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_qwLost;
}

size_t HostServices::LinesKept() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_log.PiecesKept();
}

size_t HostServices::DetectorEventCount() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_detectorEvents.Count();
}
