#include "platform/TimeZone.h"

#include <time.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Clock.h"
#include "platform/ScopedTimeZone.h"

using plat::TimeZoneInfo;
using plat::ZoneState;

namespace {

constexpr int64_t kJanuary = 1705320000;  // 2024-01-15 12:00:00 UTC
constexpr int64_t kJuly = 1721044800;     // 2024-07-15 12:00:00 UTC

constexpr char kCentralEurope[] = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr char kEasternUs[] = "EST5EDT,M3.2.0,M11.1.0";
constexpr char kEasternAustralia[] = "AEST-10AEDT,M10.1.0,M4.1.0/3";

}  // namespace

TEST(TimeZone, DaylightBiasAppliesOnlyAtInstantsInDaylightTime) {
    ScopedTimeZone zone(kEasternUs);
    TimeZoneInfo winter = plat::GetTimeZoneInfoAt(kJanuary);
    TimeZoneInfo summer = plat::GetTimeZoneInfoAt(kJuly);
    for (const TimeZoneInfo& info : {winter, summer}) {
        EXPECT_EQ(300, info.m_iBias);
        EXPECT_EQ(0, info.m_iStandardBias);
        EXPECT_EQ(-60, info.m_iDaylightBias);
        EXPECT_STREQ("EST", info.m_szStandardName);
        EXPECT_STREQ("EDT", info.m_szDaylightName);
    }
    EXPECT_EQ(ZoneState::Standard, winter.m_eState);
    EXPECT_EQ(300, winter.ActiveBias());
    EXPECT_EQ(ZoneState::Daylight, summer.m_eState);
    EXPECT_EQ(240, summer.ActiveBias());
    EXPECT_STREQ("EDT", summer.ActiveName());
}

TEST(TimeZone, ZoneWithoutDaylightSavingNamesItsStandardTimeForBoth) {
    ScopedTimeZone zone("JST-9");
    TimeZoneInfo info = plat::GetTimeZoneInfoAt(kJuly);
    EXPECT_EQ(ZoneState::Standard, info.m_eState);
    EXPECT_EQ(-540, info.ActiveBias());
    EXPECT_EQ(0, info.m_iDaylightBias);
    EXPECT_STREQ("JST", info.m_szDaylightName);
}

TEST(TimeZone, StateChangesExactlyAtTheTransition) {
    ScopedTimeZone zone(kCentralEurope);
    const int64_t change = 1711846800;  // 2024-03-31 01:00:00 UTC
    TimeZoneInfo before = plat::GetTimeZoneInfoAt(change - 1);
    TimeZoneInfo after = plat::GetTimeZoneInfoAt(change);
    EXPECT_EQ(ZoneState::Standard, before.m_eState);
    EXPECT_EQ(-60, before.ActiveBias());
    EXPECT_EQ(ZoneState::Daylight, after.m_eState);
    EXPECT_EQ(-120, after.ActiveBias());
}

TEST(TimeZone, ActiveBiasAlwaysMatchesTheLibraryOffset) {
    for (const char* name : {kCentralEurope, kEasternUs, kEasternAustralia, "UTC0", "IST-5:30"}) {
        ScopedTimeZone zone(name);
        for (int64_t at = kJanuary; at < kJanuary + 400 * 86400; at += 86400 + 3607) {
            time_t t = static_cast<time_t>(at);
            struct tm tm;
            ASSERT_NE(nullptr, ::localtime_r(&t, &tm));
            TimeZoneInfo info = plat::GetTimeZoneInfoAt(at);
            ASSERT_EQ(-tm.tm_gmtoff / 60, info.ActiveBias()) << name << " at " << at;
            ASSERT_EQ(tm.tm_isdst > 0, info.m_eState == ZoneState::Daylight) << name << " at " << at;
        }
    }
}

TEST(TimeZone, SameInstantAskedAgainAfterATzChangeGetsTheNewZone) {
    // Answers for one instant are remembered per thread; a changed TZ must
    // not be answered from that memory.
    plat::CalendarTime local;
    {
        ScopedTimeZone zone(kEasternUs);
        EXPECT_EQ(240, plat::GetTimeZoneInfoAt(kJuly).ActiveBias());
        ASSERT_TRUE(plat::LocalCalendarAt(kJuly, local));
        EXPECT_EQ(8, local.m_iHour);
    }
    {
        ScopedTimeZone zone(kCentralEurope);
        EXPECT_EQ(-120, plat::GetTimeZoneInfoAt(kJuly).ActiveBias());
        ASSERT_TRUE(plat::LocalCalendarAt(kJuly, local));
        EXPECT_EQ(14, local.m_iHour);
        EXPECT_EQ(-120, plat::GetTimeZoneInfoAt(kJuly).ActiveBias());
    }
}

// The zone's name comes with the local time, a copy the caller keeps,
// while other threads read the zone information at other instants.
TEST(TimeZone, LocalTimeComesWithTheNameOfTheZoneInForceThen) {
    ScopedTimeZone zone(kCentralEurope);
    std::atomic<bool> bDone{false};
    std::thread other([&] {
        for (int64_t at = kJanuary; !bDone.load(); at += 3607)
            plat::GetTimeZoneInfoAt(at);
    });
    for (int i = 0; i < 200; ++i) {
        struct tm local;
        char szZone[32];
        const bool bConverted = plat::LocalTimeWithZoneName(i % 2 == 0 ? kJanuary : kJuly, local, szZone);
        EXPECT_TRUE(bConverted);
        if (!bConverted)
            break;
        EXPECT_STREQ(i % 2 == 0 ? "CET" : "CEST", szZone);
        EXPECT_EQ(i % 2 == 0 ? 13 : 14, local.tm_hour);
        EXPECT_EQ(nullptr, local.tm_zone);
    }
    bDone = true;
    other.join();
}
