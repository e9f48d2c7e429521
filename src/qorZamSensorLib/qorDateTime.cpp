#include "qorZamSensorLib/qorDateTime.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/TimeZone.h"

namespace qor {

DateTime DateTime::Local(int64_t nSeconds) {
    return DateTime(nSeconds, -plat::GetTimeZoneInfoAt(nSeconds).ActiveBias());
}

std::string DateTime::ToString() const {
    const time_t local = static_cast<time_t>(m_nSeconds + int64_t{m_nZoneMinutes} * 60);
    std::tm fields{};
    if (gmtime_r(&local, &fields) == nullptr) {
        return std::string();
    }
    char szText[64];
    const size_t nLength = std::strftime(szText, sizeof szText, "%Y-%m-%dT%H:%M:%S", &fields);
    if (nLength == 0) {
        return std::string();
    }
    std::snprintf(szText + nLength, sizeof szText - nLength, "%+03d:%02d", m_nZoneMinutes / 60,
                  std::abs(m_nZoneMinutes % 60));
    return szText;
}

}  // namespace qor
