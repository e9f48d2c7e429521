#include "HostServices.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "hostwarden/ILogTag.h"
#include "platform/Console.h"

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

// Line ends inside a text would split one record over several lines.
void FlattenLineEnds(std::string& text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
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
    std::error_code ignored;
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) {
        std::filesystem::create_directories(parent, ignored);
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_nFd >= 0) {
        ::close(m_nFd);
    }
    m_nFd = fd;
    return fd >= 0;
}

void HostServices::Close() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_nFd >= 0) {
        ::close(m_nFd);
        m_nFd = -1;
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
    if (m_nFd < 0) {
        return;
    }
    // One write per line under the lock: lines never interleave.
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(m_nFd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

uint32_t HostServices::Notice(uint32_t dwKind, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    std::string text = FormatText(pszFormat, args);
    va_end(args);
    FlattenLineEnds(text);
    WriteLine(TimeStamp() + " NOTICE [kind " + std::to_string(dwKind) + "] " + text + "\n");
    return 0;
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
    std::string text = FormatText(pszFormat, args);
    FlattenLineEnds(text);
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
    if ((dwLevel & kCSFLogConsoleFlag) != 0) {
        plat::ConsoleWrite(line);
    }
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

size_t HostServices::DetectorEventCount() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_detectorEvents.Count();
}
