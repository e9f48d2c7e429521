#include "qorToolsLib/QorSeException.h"

#include <algorithm>
#include <cstring>

#include "qorToolsLib/BoundedFormat.h"
#include "qorToolsLib/QORError.h"
#include "qorToolsLib/ReportWriter.h"

namespace {

constexpr size_t kReportArea = 8092;
constexpr size_t kDumpArea = 4100;
constexpr size_t kDumpTextOffset = 4;

thread_local SeTranslatorFunction t_translator = nullptr;

// "Exception code = ..., Address = ..., Thread ID = ...\n"
void AppendFirstLine(ReportWriter& out, uint32_t code, const plat::FaultRecord& record) {
    out.Printf("Exception code = %#x, Address = %#lx, Thread ID = %#x\n", code,
               static_cast<unsigned long>(record.address), record.threadId);
}

// Four registers a line, the way the report has always laid them out.
void AppendRegisters(ReportWriter& out, const plat::FaultRecord& record) {
    out.Printf("Register Contents:\n\n");
    for (size_t i = 0; i < record.registerCount; ++i) {
        const plat::FaultRegister& reg = record.registers[i];
        bool lineEnd = i % 4 == 3 || i + 1 == record.registerCount;
        out.Printf("%-3s = %016llx%s", reg.name, static_cast<unsigned long long>(reg.value),
                   lineEnd ? "\n" : "   ");
    }
}

}  // namespace

void QorSeException::FormatException(char* buffer, size_t size) const {
    if (buffer == nullptr || size == 0) {
        return;
    }
    char area[kReportArea];
    size_t room = sizeof area;
    ReportWriter out(area, room);
    AppendFirstLine(out, m_uCode, *m_pRecord);
    AppendRegisters(out, *m_pRecord);
    StackTraceToBuffer(out.Position(), room, m_pRecord);
    size_t length = std::min(std::strlen(area), size - 1);
    std::memcpy(buffer, area, length);
    buffer[length] = '\0';
    buffer[size - 1] = '\0';
}

void QorSeException::ReportException(QorReportSink sink) const {
    if (sink == nullptr) {
        return;
    }
    char header[2048];
    size_t room = sizeof header;
    ReportWriter out(header, room);
    AppendFirstLine(out, m_uCode, *m_pRecord);
    AppendRegisters(out, *m_pRecord);
    sink("%s", header);
    StackTrace(m_pRecord, sink);
}

void QorSeException::ReportExceptionBrief(QorReportSink sink, const char* title) const {
    if (sink == nullptr) {
        return;
    }
    char line[256];
    size_t room = sizeof line;
    ReportWriter out(line, room);
    AppendFirstLine(out, m_uCode, *m_pRecord);
    sink("%s: %s", title != nullptr ? title : "Program Exception", line);
}

void SeTranslator(uint32_t code, const plat::FaultRecord* record) {
    throw QorSeException(code, record);
}

void RegisterDumpTranslator(uint32_t code, const plat::FaultRecord* record) {
    thread_local char area[kDumpArea];
    size_t room = kDumpArea - kDumpTextOffset;
    ReportWriter out(area + kDumpTextOffset, room);
    out.Printf("Exception = %08X, Address = %08lX \r\n", code,
               static_cast<unsigned long>(record->address));
    for (size_t i = 0; i < record->registerCount; i += 2) {
        const plat::FaultRegister& left = record->registers[i];
        out.Printf("%-3s = %016llX", left.name, static_cast<unsigned long long>(left.value));
        if (i + 1 < record->registerCount) {
            const plat::FaultRegister& right = record->registers[i + 1];
            out.Printf("   %-3s = %016llX", right.name,
                       static_cast<unsigned long long>(right.value));
        }
        out.Printf("\r\n");
    }
    char* end = StackTraceToBuffer(out.Position(), room, record);
    if (room > 2) {
        ReportWriter tail(end, room);
        tail.Printf("\r\n");
    }
    area[kDumpArea - 1] = '\0';
    throw jsThreadException(area + kDumpTextOffset);
}

SeTranslatorFunction SetSeTranslator(SeTranslatorFunction translator) {
    SeTranslatorFunction previous = t_translator;
    t_translator = translator;
    return previous;
}

void TranslateFault(const plat::FaultRecord* record) {
    SeTranslatorFunction translator = t_translator != nullptr ? t_translator : SeTranslator;
    translator(record->code, record);
    // A translator that returns has not done its one job.
    SeTranslator(record->code, record);
}

bool AssertCheck(bool condition, int line, const char* file) {
    if (!condition) {
        char text[512];
        BoundedSnprintf(text, sizeof text, "Assert at %d in %s", line, file != nullptr ? file : "");
    }
    return condition;
}
