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

HostServices::HostServices() = default;

HostServices::~HostServices() {
    Close();
}

bool HostServices::Open(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::string problem;
    const bool bOpened = m_file.Open(path, problem);
    m_strProblem = bOpened ? std::string() : problem;
    return bOpened;
}

bool HostServices::Reopen() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::string problem;
    if (m_file.Path().empty()) {
        return false;
    }
    const bool bOpened = m_file.Reopen(problem);
    NoteProblemLocked(bOpened, problem);
    return bOpened;
}

std::string HostServices::OpenProblem() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_strProblem;
}

void HostServices::Close() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_file.Close();
    m_strProblem.clear();
}

void HostServices::NoteProblemLocked(bool bOpened, const std::string& problem) {
    // A log that cannot be opened can only say so on the console, once for
    // each new reason.
    if (!bOpened && problem != m_strProblem) {
        plat::ConsolePrintf("hwhost: the log is not written: %s\n", problem.c_str());
    }
    m_strProblem = bOpened ? std::string() : problem;
}

void HostServices::FollowPathLocked() {
    std::string problem;
    if (!m_file.Path().empty()) {
        NoteProblemLocked(m_file.Follow(problem), problem);
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

bool HostServices::WriteWholeLocked(const std::string& line) {
    // One write per line under the lock, at the end of the file: lines
    // never interleave, and a line is never continued by another.
    ssize_t written = -1;
    do {
        written = ::write(m_file.Fd(), line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(line.size())) {
        return true;
    }
    std::string problem;
    if (written > 0 && !CutWrittenPiece(m_file.Fd(), static_cast<uint64_t>(written), problem)) {
        // The piece stays; a line end keeps the next line apart.
        if (::write(m_file.Fd(), "\n", 1) < 0) {
            return false;
        }
    }
    return false;
}

void HostServices::WriteLine(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_qwLines;
    FollowPathLocked();
    if (m_file.Fd() < 0) {
        ++m_qwLost;
        return;
    }
    if (m_qwLost != m_qwLostReported) {
        char report[160];
        std::snprintf(report, sizeof report,
                      "%s WARNING [tag none] [cat 0x800] hwhost: %llu log lines could not be "
                      "written\n",
                      TimeStamp().c_str(),
                      static_cast<unsigned long long>(m_qwLost - m_qwLostReported));
        if (!WriteWholeLocked(report)) {
            ++m_qwLost;
            return;
        }
        m_qwLostReported = m_qwLost;
    }
    if (!WriteWholeLocked(line)) {
        ++m_qwLost;
    }
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
    }
    return 0;
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
    WriteLine(line);
    const bool bOnConsole = (dwLevel & kCSFLogConsoleFlag) != 0;
    if (bOnConsole) {
        plat::ConsoleWrite(ConsoleLine(dwLevel, text));
    }
    Capture(dwLevel & ~kCSFLogConsoleFlag, text, bOnConsole);
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
        captured.push_back({"WARNING: " + std::to_string(m_nNotCaptured) +
                                " more errors and warnings are in the log only",
                            false});
    }
    return captured;
}

void HostServices::Capture(uint32_t dwLevel, const std::string& text, bool bOnConsole) {
    if (dwLevel != kCSFLogError && dwLevel != kCSFLogWarning) {
        return;
    }
    // The plug-in's warning that scripting is off repeats what the policy
    // itself chose; it says nothing wrong with the policy.
    if (text == "RULEWEAVE is disabled globally.") {
        return;
    }
    std::lock_guard<std::mutex> guard(m_lock);
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

std::vector<std::string> HostServices::LateFindings() const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::string> findings = m_late.m_texts;
    if (m_late.m_nLeftOut > 0) {
        findings.push_back("WARNING: " + std::to_string(m_late.m_nLeftOut) +
                           " more errors and warnings (repeated, or past the first " +
                           std::to_string(kMaxLate) + ") are in the log only");
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

size_t HostServices::DetectorEventCount() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_detectorEvents.Count();
}
