#pragma once
// A processor fault (access violation, division by zero and the like)
// arriving as a C++ exception.  Code run through RunTranslated has its
// faults trapped on its own thread; the thread's translator (SeTranslator
// unless another is set) then throws.  The frames between the fault and
// RunTranslated are abandoned without their destructors, so locks taken
// there stay taken: a fault is a defect, reported so the process can go on.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/FaultTrap.h"
#include "qorToolsLib/StackTrace.h"

class QorSeException {
public:
    QorSeException(uint32_t code, const plat::FaultRecord* record)
        : m_pRecord(record), m_uCode(code) {}

    uint32_t Code() const { return m_uCode; }
    // The fault's registers and frames; valid until the thread's next
    // trapped fault.
    const plat::FaultRecord* ExceptionPointers() const { return m_pRecord; }
    uintptr_t ExceptionAddress() const { return m_pRecord->address; }
    uintptr_t FramePointer() const { return m_pRecord->framePointer; }

    // The full report (first line, registers, traceback) cut to `size`
    // with a NUL always in the last position; nothing without a buffer.
    void FormatException(char* buffer, size_t size) const;
    // The first line and registers as one sink call, then the traceback.
    void ReportException(QorReportSink sink) const;
    // The first line alone, under `title` ("Program Exception" when null).
    void ReportExceptionBrief(QorReportSink sink, const char* title) const;

private:
    const plat::FaultRecord* m_pRecord;
    uint32_t m_uCode;
};

// Turns a trapped fault into an exception; must throw.
using SeTranslatorFunction = void (*)(uint32_t code, const plat::FaultRecord* record);

// Throws QorSeException.
[[noreturn]] void SeTranslator(uint32_t code, const plat::FaultRecord* record);

// Throws a jsThreadException whose text is a register dump and traceback
// kept in the thread's own area.
[[noreturn]] void RegisterDumpTranslator(uint32_t code, const plat::FaultRecord* record);

// Sets the calling thread's translator (null means SeTranslator) and
// returns the previous one.
SeTranslatorFunction SetSeTranslator(SeTranslatorFunction translator);

// Hands a trapped fault to the calling thread's translator.
[[noreturn]] void TranslateFault(const plat::FaultRecord* record);

// Runs `call()`; a processor fault inside it is thrown by the thread's
// translator.  Nests.
template <typename Call>
void RunTranslated(Call&& call) {
    using CallType = std::remove_reference_t<Call>;
    const plat::FaultRecord* fault =
        plat::RunWithFaultTrap([](void* argument) { (*static_cast<CallType*>(argument))(); },
                               const_cast<void*>(static_cast<const void*>(&call)));
    if (fault != nullptr) {
        TranslateFault(fault);
    }
}

// Installs a translator for the calling thread and puts the previous one
// back when it goes out of scope.
class SeTranslatorScope {
public:
    explicit SeTranslatorScope(SeTranslatorFunction translator)
        : m_previous(SetSeTranslator(translator)) {}
    ~SeTranslatorScope() { SetSeTranslator(m_previous); }
    SeTranslatorScope(const SeTranslatorScope&) = delete;
    SeTranslatorScope& operator=(const SeTranslatorScope&) = delete;

private:
    SeTranslatorFunction m_previous;
};

// Returns `condition`.  A failed check is worded for the library's trace,
// which writes nothing.
bool AssertCheck(bool condition, int line, const char* file);
