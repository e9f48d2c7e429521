#pragma once
// The wall clock, calendar conversions and the caller's thread id.
//
// Instants are whole seconds since 1970-01-01 00:00:00 UTC (signed 64-bit),
// the unit every record and event of the system carries.  Calendar fields
// follow the usual system-time layout: month 1-12, day of week 0 (Sunday)
// to 6, milliseconds 0-999.

#include <cstdint>

namespace plat {

struct ClockReading {
    int64_t m_iSeconds = 0;       // since 1970, UTC
    uint32_t m_uMilliseconds = 0;  // within that second
};

struct CalendarTime {
    int m_iYear = 0;
    int m_iMonth = 0;      // 1-12
    int m_iDayOfWeek = 0;  // 0 Sunday - 6 Saturday
    int m_iDay = 0;        // 1-31
    int m_iHour = 0;
    int m_iMinute = 0;
    int m_iSecond = 0;
    int m_iMilliseconds = 0;
};

// Seconds between 1601-01-01 (the origin of file times, counted in 100 ns
// units) and 1970-01-01.
constexpr int64_t kFileTimeEpochSeconds = 11644473600;

ClockReading ReadClock();

// Local time now, with milliseconds; hundredths are m_iMilliseconds / 10.
CalendarTime LocalTimeNow();

// The calendar fields of an instant, in UTC or in the local zone (TZ); the
// milliseconds are 0.  False when the instant cannot be represented.
bool UtcCalendarAt(int64_t seconds, CalendarTime& out);
bool LocalCalendarAt(int64_t seconds, CalendarTime& out);

// Reads calendar fields as a UTC date (the day of week is ignored) and
// answers the instant.  False for fields that do not form a date: a year
// outside 1601-30827, a month, day, hour, minute, second or millisecond out
// of range (February 29 only in leap years).  Dates before 1970 give
// negative instants; the milliseconds are dropped.
bool CalendarToSeconds(const CalendarTime& time, int64_t& seconds);

// The kernel's id of the calling thread, the number log lines and crash
// reports print.
uint32_t CurrentThreadId();

}  // namespace plat
