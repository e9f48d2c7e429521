#pragma once
// Traces of the stream buffer, encoder and decoder.  They go to the
// process's trace logger, which lets nothing through unless a host widens
// its filter, so a trace costs one filter test.

#include <cstdint>

#include "qorToolsLib/TraceInterface.h"
#include "qorToolsLib/qorStatus.h"

namespace qorStream {

constexpr uint32_t kTraceCategory = 0x2000;
constexpr uint32_t kTraceLevel = 9;
constexpr uint32_t kErrorCategory = 0x1000;
constexpr uint32_t kErrorLevel = 1;

// Looked up on first use rather than by static initialisation, so that an
// encoder built by another module's static initialiser still finds it.
inline TraceInterface* Tracer() {
    static TraceInterface* trace = GetTraceInterface();
    return trace;
}

// Status texts of the error lines: "0x%8.8x" above 0xFFFF, else "%u".
struct StatusText {
    explicit StatusText(StatusCode status);
    char m_szText[12];
};

// Addresses are printed as the numbers they are.
inline unsigned long Address(const void* p) { return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace qorStream

#define QOR_STREAM_TRACE(...) \
    qorStream::Tracer()->Log(qorStream::kTraceCategory, qorStream::kTraceLevel, nullptr, __VA_ARGS__)
#define QOR_STREAM_ERROR(source, ...) \
    qorStream::Tracer()->Log(qorStream::kErrorCategory, qorStream::kErrorLevel, source, __VA_ARGS__)
