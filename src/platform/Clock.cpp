#include "platform/Clock.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "platform/ZoneMemo.h"

namespace plat {
namespace {

bool FromTm(const struct tm& tm, CalendarTime& out) {
    out.m_iYear = tm.tm_year + 1900;
    out.m_iMonth = tm.tm_mon + 1;
    out.m_iDayOfWeek = tm.tm_wday;
    out.m_iDay = tm.tm_mday;
    out.m_iHour = tm.tm_hour;
    out.m_iMinute = tm.tm_min;
    out.m_iSecond = tm.tm_sec;
    out.m_iMilliseconds = 0;
    return true;
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given proleptic Gregorian date.
int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t yearOfEra = year - era * 400;
    int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

}  // namespace

ClockReading ReadClock() {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    ClockReading reading;
    reading.m_iSeconds = now.tv_sec;
    reading.m_uMilliseconds = static_cast<uint32_t>(now.tv_nsec / 1000000);
    return reading;
}

CalendarTime LocalTimeNow() {
    ClockReading now = ReadClock();
    CalendarTime out;
    LocalCalendarAt(now.m_iSeconds, out);
    out.m_iMilliseconds = static_cast<int>(now.m_uMilliseconds);
    return out;
}

bool UtcCalendarAt(int64_t seconds, CalendarTime& out) {
    time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    return ::gmtime_r(&t, &tm) != nullptr && FromTm(tm, out);
}

bool LocalCalendarAt(int64_t seconds, CalendarTime& out) {
    thread_local ZoneMemo<CalendarTime> memo;
    return memo.Get(seconds, out, [](int64_t at, CalendarTime& local) {
        // localtime_r need not look at TZ again; tzset makes a changed zone
        // count.
        ::tzset();
        time_t t = static_cast<time_t>(at);
        struct tm tm;
        return ::localtime_r(&t, &tm) != nullptr && FromTm(tm, local);
    });
}

bool CalendarToSeconds(const CalendarTime& time, int64_t& seconds) {
    if (time.m_iYear < 1601 || time.m_iYear > 30827 || time.m_iMonth < 1 || time.m_iMonth > 12 ||
        time.m_iDay < 1 || time.m_iDay > DaysInMonth(time.m_iYear, time.m_iMonth) ||
        time.m_iHour < 0 || time.m_iHour > 23 || time.m_iMinute < 0 || time.m_iMinute > 59 ||
        time.m_iSecond < 0 || time.m_iSecond > 59 || time.m_iMilliseconds < 0 ||
        time.m_iMilliseconds > 999) {
        return false;
    }
    seconds = DaysFromCivil(time.m_iYear, time.m_iMonth, time.m_iDay) * 86400 +
              time.m_iHour * 3600 + time.m_iMinute * 60 + time.m_iSecond;
    return true;
}

uint32_t CurrentThreadId() {
    // Not cached: a forked child's thread would keep its parent's id.
    return static_cast<uint32_t>(::syscall(SYS_gettid));
}

}  // namespace plat
