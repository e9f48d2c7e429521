#pragma once
// The process-wide trace logger of the tool library.  It is made on first
// use with the logger's defaults (no sinks, nothing passes) and shared
// through the singleton registry under the name "TraceInterface", so every
// module of the process traces into one logger.  The library's classes
// write their traces with category 0x2000, level 9, and their error lines
// with category 0x1000, level 1; a host that wants them sets a filter and
// sinks:
//
//     TraceInterface* trace = GetTraceInterface();
//     trace->SetFileSink(sink);             // after sink->Open(path, true)
//     trace->SetFilter(0x3000 | 0x5, 9);    // categories, options, level
//     trace->Log(0x2000, 9, nullptr, "stream: %u bytes", n);

#include <cstdint>

#include "qorToolsLib/qorLogToDisk.h"

class TraceLogger : public qorLogToDisk {
public:
    TraceLogger();
    ~TraceLogger() override;

    // Returns the previous trace level.
    virtual uint32_t SetTraceLevel(uint32_t level);
    uint32_t GetTraceLevel() const { return m_uTraceLevel; }

private:
    uint32_t m_uTraceLevel = 0;
};

class TraceInterface : public TraceLogger {};

constexpr const char kTraceInterfaceName[] = "TraceInterface";

// The process's trace logger, made and registered on first use.
TraceInterface* GetTraceInterface();

// Unregisters and deletes the trace logger; the next GetTraceInterface
// makes a new one.  Pointers kept from before dangle afterwards.
void ReleaseTraceInterface();
