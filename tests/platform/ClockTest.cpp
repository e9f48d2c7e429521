#include "platform/Clock.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "platform/ScopedTimeZone.h"

using plat::CalendarTime;

namespace {

CalendarTime Date(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    CalendarTime t;
    t.m_iYear = year;
    t.m_iMonth = month;
    t.m_iDay = day;
    t.m_iHour = hour;
    t.m_iMinute = minute;
    t.m_iSecond = second;
    return t;
}

}  // namespace

TEST(Clock, CalendarToSecondsInvertsUtcCalendarAt) {
    CalendarTime epoch;
    ASSERT_TRUE(plat::UtcCalendarAt(0, epoch));
    EXPECT_EQ(4, epoch.m_iDayOfWeek);  // a Thursday
    std::mt19937_64 rng(1601);
    std::uniform_int_distribution<int64_t> instant(-plat::kFileTimeEpochSeconds, 253402300799);
    for (int i = 0; i < 2000; ++i) {
        int64_t seconds = instant(rng);
        CalendarTime t;
        int64_t back = 0;
        ASSERT_TRUE(plat::UtcCalendarAt(seconds, t));
        ASSERT_TRUE(plat::CalendarToSeconds(t, back));
        ASSERT_EQ(seconds, back);
    }
}

TEST(Clock, FieldsThatFormNoDateAreRefused) {
    int64_t seconds = 0;
    for (const CalendarTime& bad : {Date(2023, 2, 29), Date(1900, 2, 29), Date(2024, 13, 1),
                                    Date(2024, 4, 31), Date(1600, 12, 31), Date(30828, 1, 1),
                                    Date(2024, 1, 1, 24), Date(2024, 1, 1, 0, 0, 60)}) {
        EXPECT_FALSE(plat::CalendarToSeconds(bad, seconds)) << bad.m_iYear << "-" << bad.m_iMonth;
    }
    EXPECT_TRUE(plat::CalendarToSeconds(Date(2024, 2, 29), seconds));
    ASSERT_TRUE(plat::CalendarToSeconds(Date(1969, 12, 31, 23, 59, 59), seconds));
    EXPECT_EQ(-1, seconds);
}

TEST(Clock, LocalTimeNowLiesBetweenTwoClockReadings) {
    ScopedTimeZone zone("UTC0");
    plat::ClockReading before = plat::ReadClock();
    CalendarTime now = plat::LocalTimeNow();
    plat::ClockReading after = plat::ReadClock();
    int64_t seconds = 0;
    ASSERT_TRUE(plat::CalendarToSeconds(now, seconds));
    EXPECT_LE(before.m_iSeconds, seconds);
    EXPECT_GE(after.m_iSeconds, seconds);
}

TEST(Clock, ThreadIdIsPerThread) {
    EXPECT_EQ(static_cast<uint32_t>(::getpid()), plat::CurrentThreadId());
    uint32_t other = 0;
    std::thread([&] { other = plat::CurrentThreadId(); }).join();
    EXPECT_NE(0u, other);
    EXPECT_NE(plat::CurrentThreadId(), other);
}
