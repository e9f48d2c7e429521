#include "platform/TimeZone.h"

#include <time.h>

#include <cstring>
#include <initializer_list>
#include <mutex>

#include "platform/Clock.h"
#include "platform/ZoneMemo.h"

namespace plat {
namespace {

constexpr int64_t kProbeStep = 30 * 86400;
constexpr int kProbeCount = 6;

struct ZoneSample {
    long m_lOffset = 0;  // seconds east of UTC
    bool m_bDaylight = false;
    const char* m_pszName = "";
};

bool Sample(int64_t seconds, ZoneSample& out) {
    time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    if (::localtime_r(&t, &tm) == nullptr || tm.tm_isdst < 0) {
        return false;
    }
    out.m_lOffset = tm.tm_gmtoff;
    out.m_bDaylight = tm.tm_isdst > 0;
    // tm_zone points into the C library's zone data, which lives as long as
    // TZ is not changed; it is copied before this call returns.
    out.m_pszName = tm.tm_zone != nullptr ? tm.tm_zone : "";
    return true;
}

// The nearest instant around `seconds` whose daylight flag is `daylight`.
bool FindCounterpart(int64_t seconds, bool daylight, ZoneSample& out) {
    for (int step = 1; step <= kProbeCount; ++step) {
        for (int sign : {-1, 1}) {
            ZoneSample probe;
            if (Sample(seconds + sign * step * kProbeStep, probe) && probe.m_bDaylight == daylight) {
                out = probe;
                return true;
            }
        }
    }
    return false;
}

void CopyZoneName(char (&target)[32], const char* name) {
    std::strncpy(target, name, sizeof target - 1);
    target[sizeof target - 1] = '\0';
}

}  // namespace

namespace {

// tzset may read the zone data anew, where the names of another thread's
// conversions point: one thread at a time reads and copies them.
std::mutex& ZoneNameLock() {
    static std::mutex zoneLock;
    return zoneLock;
}

TimeZoneInfo ComputeTimeZoneInfo(int64_t seconds) {
    const std::lock_guard<std::mutex> guard(ZoneNameLock());
    ::tzset();
    TimeZoneInfo info;
    ZoneSample at;
    if (!Sample(seconds, at)) {
        return info;
    }
    ZoneSample standard = at;
    ZoneSample daylight = at;
    ZoneSample other;
    if (FindCounterpart(seconds, !at.m_bDaylight, other)) {
        (at.m_bDaylight ? standard : daylight) = other;
    }
    info.m_iBias = static_cast<int32_t>(-standard.m_lOffset / 60);
    info.m_iStandardBias = 0;
    info.m_iDaylightBias = static_cast<int32_t>(-(daylight.m_lOffset - standard.m_lOffset) / 60);
    info.m_eState = at.m_bDaylight ? ZoneState::Daylight : ZoneState::Standard;
    CopyZoneName(info.m_szStandardName, standard.m_pszName);
    CopyZoneName(info.m_szDaylightName, daylight.m_pszName);
    return info;
}

}  // namespace

TimeZoneInfo GetTimeZoneInfoAt(int64_t seconds) {
    thread_local ZoneMemo<TimeZoneInfo> memo;
    TimeZoneInfo info;
    memo.Get(seconds, info, [](int64_t at, TimeZoneInfo& out) {
        out = ComputeTimeZoneInfo(at);
        return true;
    });
    return info;
}

TimeZoneInfo GetTimeZoneInfoNow() {
    return GetTimeZoneInfoAt(ReadClock().m_iSeconds);
}

bool LocalTimeWithZoneName(int64_t seconds, struct tm& local, char (&zoneName)[32]) {
    const time_t t = static_cast<time_t>(seconds);
    const std::lock_guard<std::mutex> guard(ZoneNameLock());
    if (::localtime_r(&t, &local) == nullptr) {
        zoneName[0] = '\0';
        return false;
    }
    CopyZoneName(zoneName, local.tm_zone != nullptr ? local.tm_zone : "");
    // The copy is the caller's; the C library's is not kept.
    local.tm_zone = nullptr;
    return true;
}

}  // namespace plat
