#pragma once
// The tool library's own logger.  A message passes a filter (category bits
// and a maximum level), becomes one line in a preallocated buffer:
//
//     [<sequence> ][<time stamp>][<source>\t]<message>
//
// and goes to up to three sinks: a file, the debugger output and the event
// log.  Every piece of the line is bounded by the line size (1,024 by
// default); a line that does not fit is cut and ends in ">>>".
//
// Option word: bit 0 enables logging, bit 1 adds the sequence number, bit 2
// the time stamp, bit 3 is set by the logger when it dropped a failing file
// sink, bit 4 writes dates month first, bit 5 writes the time of day only.
// Bits 11-31 are the categories that pass.  Defaults: options 5, maximum
// level 1, so with no categories enabled nothing passes.

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>

#include "qorToolsLib/jsSync.h"
#include "qorToolsLib/qorLogEventSink.h"
#include "qorToolsLib/qorLogSinks.h"
#include "qorToolsLib/qorStatus.h"

class qorLogToDisk {
public:
    enum : uint32_t {
        kOptionEnabled = 0x1,
        kOptionSequence = 0x2,
        kOptionTimestamp = 0x4,
        kOptionFileDropped = 0x8,
        kOptionMonthFirst = 0x10,
        kOptionTimeOnly = 0x20,
        kOptionBits = 0x7FF,
    };

    static constexpr uint32_t kDefaultLineSize = 1024;
    static constexpr uint32_t kHexRowLevel = 15;

    qorLogToDisk();
    virtual ~qorLogToDisk();
    qorLogToDisk(const qorLogToDisk&) = delete;
    qorLogToDisk& operator=(const qorLogToDisk&) = delete;

    // The logger owns the sink from now on and deletes the one it replaces.
    virtual void SetFileSink(qorLogFileSink* sink);
    virtual void SetDebugSink(qorLogDebugSink* sink);
    virtual void SetEventLogSink(qorLogEventSink* sink);

    virtual void SetFilter(uint32_t options, uint32_t maximumLevel);

    // True when the line passed the filter and was handed to the sinks.
    virtual bool LogV(uint32_t category, uint32_t level, const char* source, const char* format,
                      va_list args) __attribute__((format(printf, 5, 0)));

    // The message is the status's text (QORError, lines broken at 240
    // columns).  The library's texts take no inserts of their own, so the
    // trailing arguments are accepted and not used.  The event log gets the
    // lower of the caller's level and the one the status's severity implies.
    virtual bool LogStatus(uint32_t category, uint32_t level, const char* source,
                           StatusCode status, ...);

    virtual bool Log(uint32_t category, uint32_t level, const char* source, const char* format,
                     ...) __attribute__((format(printf, 5, 6)));

    // Fills the time-stamp buffer and returns it; call under the lock.
    virtual const char* FormatTimestamp();

    virtual void ResetSequence();

    // A header line through Log, then at level 15 and above one row per 16
    // bytes: address, the bytes in hexadecimal and as characters.  False
    // only when the header was filtered out.
    virtual bool LogHexDump(uint32_t category, uint32_t level, const char* source, const char* title,
                            const void* data, uint32_t length);

    // A line size below 64 is refused (-1); otherwise the previous size.
    int SetLineSize(uint32_t size);

    uint32_t GetOptions() const { return m_uOptions.load(std::memory_order_relaxed); }

private:
    bool Passes(uint32_t category, uint32_t level) const;
    // Writes sequence text, time stamp and source; answers where the
    // message starts, or the line size when the line is already full.
    size_t BeginLine(const char* source);
    void MarkCut();
    // Hands a finished line to the sinks.  A file sink that fails is
    // dropped, and the failure reported, after the other sinks have the
    // line.
    void Dispatch(const char* line, const char* message, uint32_t level, uint32_t eventCategory);

    std::unique_ptr<char[]> m_pszLine;
    char m_szTimestamp[64] = {};
    std::unique_ptr<qorLogFileSink> m_pFileSink;
    std::unique_ptr<qorLogDebugSink> m_pDebugSink;
    std::unique_ptr<qorLogEventSink> m_pEventSink;
    jsFastSync m_lock;
    uint32_t m_uOpen = 1;
    std::atomic<uint32_t> m_uOptions{kOptionEnabled | kOptionTimestamp};
    std::atomic<uint32_t> m_uMaximumLevel{1};
    uint32_t m_uSequence = 0;
    uint32_t m_uLineSize = kDefaultLineSize;
};
