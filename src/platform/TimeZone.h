#pragma once
// Zone information of the local time zone (TZ) for one instant, in the
// terms the event model works in: biases in minutes WEST of UTC, so that
//     UTC = local time + bias                    (standard time)
//     UTC = local time + bias + daylight bias    (daylight saving time)
//
// Everything is derived from the C library's view of TZ at the instant
// asked about (tm_gmtoff and tm_isdst), so a date in summer and a date in
// winter each get the offset that was in force at that date, and changes
// of TZ are followed on the next call.
//
// How the fields are found:
//  - the instant's own offset and daylight flag come from localtime_r;
//  - the other half of the pair (the standard offset when the instant is
//    in daylight time, or the daylight offset when it is not) comes from
//    the nearest instant, probing a month at a time up to six months either
//    way, whose daylight flag differs;
//  - a zone without daylight saving (UTC, most of Asia) reports
//    ZoneState::Standard with a daylight bias of 0 and both names equal.
// Invariant: ActiveBias() == -(tm_gmtoff of the instant) / 60.

#include <cstdint>
#include <ctime>

namespace plat {

enum class ZoneState : uint32_t {
    Unknown = 0,   // the instant could not be converted; biases are 0
    Standard = 1,  // standard time is in force at the instant
    Daylight = 2,  // daylight saving time is in force at the instant
};

struct TimeZoneInfo {
    int32_t m_iBias = 0;          // minutes west of UTC, standard time
    int32_t m_iStandardBias = 0;  // added to m_iBias in standard time; always 0 here
    int32_t m_iDaylightBias = 0;  // added to m_iBias in daylight time, usually -60
    ZoneState m_eState = ZoneState::Unknown;
    char m_szStandardName[32] = {};  // abbreviation, e.g. "CET"
    char m_szDaylightName[32] = {};  // e.g. "CEST"; the standard name without DST

    // The bias in force at the instant: m_iBias plus the standard or the
    // daylight bias.  Local time + ActiveBias() minutes = UTC.
    int32_t ActiveBias() const {
        return m_iBias + (m_eState == ZoneState::Daylight ? m_iDaylightBias : m_iStandardBias);
    }

    // The zone name in force at the instant.
    const char* ActiveName() const {
        return m_eState == ZoneState::Daylight ? m_szDaylightName : m_szStandardName;
    }
};

// Zone information for the instant `seconds` (since 1970, UTC).
TimeZoneInfo GetTimeZoneInfoAt(int64_t seconds);

// Zone information for the current instant.
TimeZoneInfo GetTimeZoneInfoNow();

// The local time of the instant `seconds`, with the name of the zone in
// force then copied into `zoneName`; false when it cannot be converted.
// The name is read under the lock the zone information is read under:
// the C library's names may be read anew under another thread's tzset.
bool LocalTimeWithZoneName(int64_t seconds, struct tm& local, char (&zoneName)[32]);

}  // namespace plat
