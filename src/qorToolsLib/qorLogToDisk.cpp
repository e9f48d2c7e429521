#include "qorToolsLib/qorLogToDisk.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "platform/Clock.h"
#include "qorToolsLib/BoundedFormat.h"
#include "qorToolsLib/ErrorWords.h"
#include "qorToolsLib/QORError.h"
#include "qorToolsLib/jsFastLock.h"

namespace {

constexpr uint32_t kLoggerCategory = 0x800;
constexpr uint32_t kStatusWidth = 240;
constexpr char kCutMark[] = ">>>";

// The event-log level a status's severity implies (top two bits).
uint32_t SeverityLevel(StatusCode status) {
    switch (status >> 30) {
        case 3:
            return 1;
        case 2:
            return 3;
        case 1:
            return 9;
        default:
            return 0;
    }
}

}  // namespace

qorLogToDisk::qorLogToDisk() : m_pszLine(new char[kDefaultLineSize + 1]()) {}

qorLogToDisk::~qorLogToDisk() {
    jsFastLock guard(m_lock, true);
    m_pFileSink.reset();
    m_pDebugSink.reset();
    m_pEventSink.reset();
    m_pszLine.reset();
    m_uOpen = 0;
}

void qorLogToDisk::SetFileSink(qorLogFileSink* sink) {
    jsFastLock guard(m_lock, true);
    m_pFileSink.reset(sink);
}

void qorLogToDisk::SetDebugSink(qorLogDebugSink* sink) {
    jsFastLock guard(m_lock, true);
    m_pDebugSink.reset(sink);
}

void qorLogToDisk::SetEventLogSink(qorLogEventSink* sink) {
    jsFastLock guard(m_lock, true);
    m_pEventSink.reset(sink);
}

void qorLogToDisk::SetFilter(uint32_t options, uint32_t maximumLevel) {
    jsFastLock guard(m_lock, true);
    m_uOptions.store(options, std::memory_order_relaxed);
    m_uMaximumLevel.store(maximumLevel, std::memory_order_relaxed);
}

void qorLogToDisk::ResetSequence() {
    jsFastLock guard(m_lock, true);
    m_uSequence = 0;
}

int qorLogToDisk::SetLineSize(uint32_t size) {
    // The buffer holds one byte more than the line; a size whose buffer
    // would not fit the 32-bit count is refused like a short one.
    if (size < 64 || size == UINT32_MAX) {
        return -1;
    }
    jsFastLock guard(m_lock, true);
    char* buffer = new (std::nothrow) char[size_t{size} + 1]();
    if (buffer == nullptr) {
        return -1;
    }
    m_pszLine.reset(buffer);
    int previous = static_cast<int>(m_uLineSize);
    m_uLineSize = size;
    return previous;
}

bool qorLogToDisk::Passes(uint32_t category, uint32_t level) const {
    uint32_t options = m_uOptions.load(std::memory_order_relaxed);
    category &= ~static_cast<uint32_t>(kOptionBits);
    return (category & options) != 0 && level <= m_uMaximumLevel.load(std::memory_order_relaxed) &&
           (options & kOptionEnabled) != 0;
}

const char* qorLogToDisk::FormatTimestamp() {
    plat::CalendarTime t = plat::LocalTimeNow();
    uint32_t thread = plat::CurrentThreadId();
    int hundredths = t.m_iMilliseconds / 10;
    uint32_t options = m_uOptions.load(std::memory_order_relaxed);
    int n;
    if ((options & kOptionTimeOnly) != 0) {
        n = BoundedSnprintf(m_szTimestamp, sizeof m_szTimestamp, "%2.2d:%2.2d:%2.2d.%2.2d T:%4.4x ",
                            t.m_iHour, t.m_iMinute, t.m_iSecond, hundredths, thread);
    } else if ((options & kOptionMonthFirst) != 0) {
        n = BoundedSnprintf(m_szTimestamp, sizeof m_szTimestamp,
                            "%2.2d/%2.2d/%4.4d %2.2d:%2.2d:%2.2d.%2.2d T:%4.4x ", t.m_iMonth,
                            t.m_iDay, t.m_iYear, t.m_iHour, t.m_iMinute, t.m_iSecond, hundredths,
                            thread);
    } else {
        n = BoundedSnprintf(m_szTimestamp, sizeof m_szTimestamp,
                            "%4.4d/%2.2d/%2.2d %2.2d:%2.2d:%2.2d.%2.2d T:%4.4x ", t.m_iYear,
                            t.m_iMonth, t.m_iDay, t.m_iHour, t.m_iMinute, t.m_iSecond, hundredths,
                            thread);
    }
    if (n < 0) {
        std::memcpy(m_szTimestamp + 60, kCutMark, sizeof kCutMark);
    }
    return m_szTimestamp;
}

size_t qorLogToDisk::BeginLine(const char* source) {
    uint32_t options = m_uOptions.load(std::memory_order_relaxed);
    const char* stamp = (options & kOptionTimestamp) != 0 ? FormatTimestamp() : "";
    ++m_uSequence;

    char* line = m_pszLine.get();
    size_t room = m_uLineSize;
    size_t length = 0;
    line[0] = '\0';
    // Each piece is formatted into what is left, so a long time stamp or
    // source can cut the line but never run past it.
    auto piece = [&](int written) {
        if (written < 0) {
            length = room;
        } else {
            length += static_cast<size_t>(written);
        }
    };
    if ((options & kOptionSequence) != 0) {
        piece(BoundedSnprintf(line, room, "%u ", m_uSequence));
    }
    if (length < room) {
        piece(BoundedSnprintf(line + length, room - length, "%s", stamp));
    }
    if (length < room && source != nullptr) {
        piece(BoundedSnprintf(line + length, room - length, "%s\t", source));
    }
    return length;
}

void qorLogToDisk::MarkCut() {
    std::memcpy(m_pszLine.get() + m_uLineSize - 4, kCutMark, sizeof kCutMark);
}

void qorLogToDisk::Dispatch(const char* line, const char* message, uint32_t level,
                            uint32_t eventCategory) {
    uint32_t fileError = 0;
    if (m_pFileSink) {
        fileError = m_pFileSink->Write(line);
        if (fileError != 0) {
            m_pFileSink.reset();
        }
    }
    if (m_pDebugSink) {
        m_pDebugSink->Write(line);
    }
    if (m_pEventSink) {
        m_pEventSink->Write(message, level, eventCategory);
    }
    if (fileError != 0) {
        // Re-enters the lock and reuses the line buffer: the line above has
        // reached every sink by now.
        Log(kLoggerCategory, 1, "Logger", "Disk log closed after output error: %d (%s)",
            static_cast<int>(fileError), ErrorWords(fileError).c_str());
        m_uOptions.fetch_or(kOptionFileDropped, std::memory_order_relaxed);
    }
}

bool qorLogToDisk::LogV(uint32_t category, uint32_t level, const char* source, const char* format,
                        va_list args) {
    if (!Passes(category, level)) {
        return false;
    }
    jsFastLock guard(m_lock, true);
    if (!m_pszLine) {
        return false;
    }
    size_t start = BeginLine(source);
    char* line = m_pszLine.get();
    if (start >= m_uLineSize ||
        BoundedVsnprintf(line + start, m_uLineSize - start, format != nullptr ? format : "",
                         args) < 0) {
        MarkCut();
        start = std::min<size_t>(start, m_uLineSize - 1);
    }
    Dispatch(line, line + start, level, category & ~static_cast<uint32_t>(kOptionBits));
    return true;
}

bool qorLogToDisk::Log(uint32_t category, uint32_t level, const char* source, const char* format,
                       ...) {
    va_list args;
    va_start(args, format);
    bool written = LogV(category, level, source, format, args);
    va_end(args);
    return written;
}

bool qorLogToDisk::LogStatus(uint32_t category, uint32_t level, const char* source,
                             StatusCode status, ...) {
    if (!Passes(category, level)) {
        return false;
    }
    QORError error(status);
    const char* text = error.GetMessage(kStatusWidth);
    jsFastLock guard(m_lock, true);
    if (!m_pszLine) {
        return false;
    }
    size_t start = BeginLine(source);
    char* line = m_pszLine.get();
    if (start >= m_uLineSize || BoundedSnprintf(line + start, m_uLineSize - start, "%s", text) < 0) {
        MarkCut();
        start = std::min<size_t>(start, m_uLineSize - 1);
    }
    uint32_t eventLevel = std::min(SeverityLevel(status), level);
    Dispatch(line, line + start, eventLevel, category & ~static_cast<uint32_t>(kOptionBits));
    return true;
}

bool qorLogToDisk::LogHexDump(uint32_t category, uint32_t level, const char* source,
                              const char* title, const void* data, uint32_t length) {
    if (title == nullptr) {
        title = "buffer";
    }
    auto address = reinterpret_cast<uintptr_t>(data);
    if (!Log(category, level, source, "%s@0x%8.8lx len=%lu (%lx)", title,
             static_cast<unsigned long>(address), static_cast<unsigned long>(length),
             static_cast<unsigned long>(length))) {
        return false;
    }
    if (data == nullptr || length == 0 || level < kHexRowLevel) {
        return true;
    }

    jsFastLock guard(m_lock, true);
    uint32_t options = m_uOptions.load(std::memory_order_relaxed);
    std::string prefix;
    ++m_uSequence;
    if ((options & kOptionSequence) != 0) {
        prefix = std::to_string(m_uSequence) + " ";
    }
    if ((options & kOptionTimestamp) != 0) {
        prefix += FormatTimestamp();
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    char cell[24];
    for (uint32_t offset = 0; offset < length; offset += 16) {
        std::string row;
        row.reserve(80);
        row += prefix;
        BoundedSnprintf(cell, sizeof cell, "%8.8lx:", static_cast<unsigned long>(address + offset));
        row += cell;
        for (uint32_t i = offset; i < offset + 16; ++i) {
            if (i < length) {
                BoundedSnprintf(cell, sizeof cell, " %2.2x", bytes[i]);
                row += cell;
            } else {
                row += " ..";
            }
        }
        row += " - \"";
        for (uint32_t i = offset; i < offset + 16 && i < length; ++i) {
            // Only printable ASCII: anything else could be a terminal's
            // command, and would not keep the rows aligned.
            row += bytes[i] > 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
        }
        row += '"';
        Dispatch(row.c_str(), row.c_str(), level, category);
    }
    return true;
}
