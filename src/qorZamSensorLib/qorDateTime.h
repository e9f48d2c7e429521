#pragma once
// A time as the signature module's match parameters show it: local time
// and its offset from UTC, "2026-12-06T14:05:09-03:30".

#include <cstdint>
#include <string>

namespace qor {

class DateTime {
public:
    // `nZoneMinutes` east of UTC.
    DateTime(int64_t nSeconds, int32_t nZoneMinutes) : m_nSeconds(nSeconds), m_nZoneMinutes(nZoneMinutes) {}
    // The instant with the local zone's offset in force at it.
    static DateTime Local(int64_t nSeconds);

    // "%Y-%m-%dT%X" of the local time, then the offset as "%+03d:%02d"
    // (hours with their sign, minutes without).  Empty for an instant that
    // cannot be shown.
    std::string ToString() const;

    int64_t GetSeconds() const { return m_nSeconds; }
    int32_t GetZoneMinutes() const { return m_nZoneMinutes; }

private:
    int64_t m_nSeconds;
    int32_t m_nZoneMinutes;
};

}  // namespace qor
