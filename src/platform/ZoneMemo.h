#pragma once
// A per-thread memory of the last answer that depends only on an instant and
// the time-zone setting.  Alert records arrive many to a second and each asks
// for the local time and the zone in force; without the memory every one of
// them re-reads the zone rules and probes the calendar around the instant.
// The memory is keyed by the instant and by the TZ setting, so a changed TZ
// is followed at once.

#include <cstdint>
#include <cstdlib>
#include <string>

namespace plat {

template <typename Value>
class ZoneMemo {
public:
    // Answers the remembered value for `seconds`, or computes it with
    // `compute(seconds, value)` (which answers false when there is none).
    template <typename Compute>
    bool Get(int64_t seconds, Value& out, Compute&& compute) {
        const char* tz = std::getenv("TZ");
        if (m_bValid && seconds == m_llSeconds && SameSetting(tz)) {
            out = m_value;
            return true;
        }
        if (!compute(seconds, out)) {
            return false;
        }
        m_bValid = true;
        m_llSeconds = seconds;
        m_value = out;
        m_bTzSet = tz != nullptr;
        m_strTz = tz != nullptr ? tz : "";
        return true;
    }

private:
    bool SameSetting(const char* tz) const {
        return tz != nullptr ? (m_bTzSet && m_strTz == tz) : !m_bTzSet;
    }

    bool m_bValid = false;
    int64_t m_llSeconds = 0;
    Value m_value{};
    bool m_bTzSet = false;
    std::string m_strTz;
};

}  // namespace plat
