#pragma once
// The event-log sinks of the library's logger: each line becomes one event
// of the log "Application" under the sink's event source, unless the same
// text was reported too often lately.
//
// Repeat throttle: a text (keyed by its CRC-32) is reported at most
// `repeat limit` times; after that it stays quiet until more than `repeat
// period` seconds have passed since its last report, and then counts from 1
// again.  Entries not reported for a period are dropped once the table
// holds more than 50 texts and the sink is older than an hour.

#include <cstdint>
#include <map>

#include "platform/EventLog.h"

class qorLogEventSink {
public:
    // Event ids of the three kinds of event.
    static constexpr uint32_t kErrorEventId = 0xC0000001u;
    static constexpr uint32_t kWarningEventId = 0x80000002u;
    static constexpr uint32_t kInformationEventId = 0x40000003u;

    // Seconds since 1970; replaceable so the throttle can be tested without
    // waiting an hour.
    using Clock = int64_t (*)();

    qorLogEventSink(uint16_t eventCategory, const char* sourceName, Clock clock = nullptr);
    virtual ~qorLogEventSink();
    qorLogEventSink(const qorLogEventSink&) = delete;
    qorLogEventSink& operator=(const qorLogEventSink&) = delete;

    // Reports the text when its category bit is enabled by the report
    // flags: 0x20000 error (flag bit 0), 0x40000 warning (bit 1), 0x80000
    // and 0x100000 information (bits 2 and 3); the first match wins.
    // Always 0.
    virtual uint32_t Write(const char* text, uint32_t level, uint32_t category);

    virtual void Configure(uint32_t reportFlags, uint32_t repeatLimit, uint32_t repeatPeriod);

protected:
    // The throttle step: true when the text may be reported now.
    bool Admit(const char* text);
    void Report(uint16_t eventType, uint32_t eventId, const char* text);
    uint32_t ReportFlags() const { return m_uReportFlags; }

private:
    struct Repeat {
        uint32_t m_uCount = 0;
        int64_t m_iLastReport = 0;
    };

    int64_t Now() const;
    void Purge(int64_t now);

    uint32_t m_uReportFlags = 0xF;
    uint32_t m_uRepeatLimit = 5;
    uint32_t m_uRepeatPeriod = 3600;
    Clock m_clock;
    int64_t m_iCreated;
    std::map<uint32_t, Repeat> m_repeats;
    uint16_t m_uEventCategory;
    plat::EventSource* m_pSource;
};

// Chooses the kind of event by the line's level instead of its category:
// levels 1-2 error (flag bit 0), 3-5 warning (bit 1), 6-8 information
// (bit 2); with flag bit 3 any other level is reported as information.
class qorLogEventLevelSink : public qorLogEventSink {
public:
    using qorLogEventSink::qorLogEventSink;

    uint32_t Write(const char* text, uint32_t level, uint32_t category) override;
};
