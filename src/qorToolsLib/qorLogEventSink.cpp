#include "qorToolsLib/qorLogEventSink.h"

#include <ctime>

#include "qorToolsLib/Crc32.h"

namespace {

constexpr size_t kPurgeAbove = 50;
constexpr int64_t kPurgeAge = 3600;

int64_t SystemSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace

qorLogEventSink::qorLogEventSink(uint16_t eventCategory, const char* sourceName, Clock clock)
    : m_clock(clock != nullptr ? clock : &SystemSeconds),
      m_iCreated(m_clock()),
      m_uEventCategory(eventCategory),
      m_pSource(plat::RegisterEventSource(sourceName)) {}

qorLogEventSink::~qorLogEventSink() {
    if (m_pSource != nullptr) {
        plat::DeregisterEventSource(m_pSource);
    }
}

void qorLogEventSink::Configure(uint32_t reportFlags, uint32_t repeatLimit, uint32_t repeatPeriod) {
    m_uReportFlags = reportFlags;
    m_uRepeatLimit = repeatLimit;
    m_uRepeatPeriod = repeatPeriod;
}

int64_t qorLogEventSink::Now() const {
    return m_clock();
}

void qorLogEventSink::Purge(int64_t now) {
    if (m_repeats.size() <= kPurgeAbove || now - m_iCreated <= kPurgeAge) {
        return;
    }
    for (auto it = m_repeats.begin(); it != m_repeats.end();) {
        if (now - it->second.m_iLastReport > static_cast<int64_t>(m_uRepeatPeriod)) {
            it = m_repeats.erase(it);
        } else {
            ++it;
        }
    }
}

bool qorLogEventSink::Admit(const char* text) {
    uint32_t key = Crc32(text);
    int64_t now = Now();
    auto it = m_repeats.find(key);
    if (it == m_repeats.end()) {
        Purge(now);
        m_repeats[key] = Repeat{1, now};
        return true;
    }
    Repeat& repeat = it->second;
    if (repeat.m_uCount < m_uRepeatLimit) {
        ++repeat.m_uCount;
        repeat.m_iLastReport = now;
        return true;
    }
    if (now - repeat.m_iLastReport <= static_cast<int64_t>(m_uRepeatPeriod)) {
        return false;
    }
    repeat.m_uCount = 1;
    repeat.m_iLastReport = now;
    return true;
}

void qorLogEventSink::Report(uint16_t eventType, uint32_t eventId, const char* text) {
    if (m_pSource == nullptr) {
        return;
    }
    const char* strings[] = {text != nullptr ? text : ""};
    plat::ReportEvent(m_pSource, eventType, m_uEventCategory, eventId, nullptr, 0, 1, strings, 0,
                      nullptr);
}

uint32_t qorLogEventSink::Write(const char* text, uint32_t /*level*/, uint32_t category) {
    if (!Admit(text)) {
        return 0;
    }
    if ((m_uReportFlags & 1u) != 0 && (category & 0x20000u) != 0) {
        Report(plat::kEventError, kErrorEventId, text);
    } else if ((m_uReportFlags & 2u) != 0 && (category & 0x40000u) != 0) {
        Report(plat::kEventWarning, kWarningEventId, text);
    } else if (((m_uReportFlags & 4u) != 0 && (category & 0x80000u) != 0) ||
               ((m_uReportFlags & 8u) != 0 && (category & 0x100000u) != 0)) {
        Report(plat::kEventInformation, kInformationEventId, text);
    }
    return 0;
}

uint32_t qorLogEventLevelSink::Write(const char* text, uint32_t level, uint32_t /*category*/) {
    if (!Admit(text)) {
        return 0;
    }
    if ((ReportFlags() & 1u) != 0 && (level == 1 || level == 2)) {
        Report(plat::kEventError, kErrorEventId, text);
    } else if ((ReportFlags() & 2u) != 0 && level >= 3 && level <= 5) {
        Report(plat::kEventWarning, kWarningEventId, text);
    } else if (((ReportFlags() & 4u) != 0 && level >= 6 && level <= 8) ||
               (ReportFlags() & 8u) != 0) {
        Report(plat::kEventInformation, kInformationEventId, text);
    }
    return 0;
}
