#include "platform/TimeZone.h"

#include <time.h>

#include <gtest/gtest.h>

#include "platform/ScopedTimeZone.h"

using plat::TimeZoneInfo;
using plat::ZoneState;

namespace {

// 2024-01-15 12:00:00 UTC and 2024-07-15 12:00:00 UTC.
constexpr int64_t kJanuary = 1705320000;
constexpr int64_t kJuly = 1721044800;

constexpr char kCentralEurope[] = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr char kEasternUs[] = "EST5EDT,M3.2.0,M11.1.0";
constexpr char kEasternAustralia[] = "AEST-10AEDT,M10.1.0,M4.1.0/3";

}  // namespace

TEST(TimeZone, ZoneWithoutDaylightSavingIsAlwaysStandard) {
    ScopedTimeZone zone("JST-9");
    for (int64_t at : {kJanuary, kJuly}) {
        TimeZoneInfo info = plat::GetTimeZoneInfoAt(at);
        EXPECT_EQ(ZoneState::Standard, info.m_eState);
        EXPECT_EQ(-540, info.m_iBias);
        EXPECT_EQ(0, info.m_iDaylightBias);
        EXPECT_EQ(-540, info.ActiveBias());
        EXPECT_STREQ("JST", info.m_szStandardName);
        EXPECT_STREQ("JST", info.m_szDaylightName);
    }
}

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
    EXPECT_STREQ("EST", winter.ActiveName());
    EXPECT_EQ(ZoneState::Daylight, summer.m_eState);
    EXPECT_EQ(240, summer.ActiveBias());
    EXPECT_STREQ("EDT", summer.ActiveName());
}

TEST(TimeZone, SouthernHemisphereIsInDaylightTimeInJanuary) {
    ScopedTimeZone zone(kEasternAustralia);
    TimeZoneInfo january = plat::GetTimeZoneInfoAt(kJanuary);
    EXPECT_EQ(ZoneState::Daylight, january.m_eState);
    EXPECT_EQ(-600, january.m_iBias);
    EXPECT_EQ(-60, january.m_iDaylightBias);
    EXPECT_EQ(-660, january.ActiveBias());
    EXPECT_EQ(ZoneState::Standard, plat::GetTimeZoneInfoAt(kJuly).m_eState);
}

TEST(TimeZone, StateChangesExactlyAtTheTransition) {
    ScopedTimeZone zone(kCentralEurope);
    // Daylight time starts 2024-03-31 01:00:00 UTC.
    const int64_t change = 1711846800;
    TimeZoneInfo before = plat::GetTimeZoneInfoAt(change - 1);
    TimeZoneInfo after = plat::GetTimeZoneInfoAt(change);
    EXPECT_EQ(ZoneState::Standard, before.m_eState);
    EXPECT_EQ(-60, before.ActiveBias());
    EXPECT_EQ(ZoneState::Daylight, after.m_eState);
    EXPECT_EQ(-120, after.ActiveBias());
    EXPECT_EQ(before.m_iBias, after.m_iBias);
    EXPECT_EQ(before.m_iDaylightBias, after.m_iDaylightBias);
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

TEST(TimeZone, ChangedTzIsFollowedOnTheNextCall) {
    {
        ScopedTimeZone zone("UTC0");
        EXPECT_EQ(0, plat::GetTimeZoneInfoNow().ActiveBias());
    }
    ScopedTimeZone zone("IST-5:30");
    TimeZoneInfo info = plat::GetTimeZoneInfoNow();
    EXPECT_EQ(-330, info.ActiveBias());
    EXPECT_EQ(ZoneState::Standard, info.m_eState);
}
