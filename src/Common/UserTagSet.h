#pragma once
// User tags: information pairs named "USER_..." that, instead of travelling
// as alert parameters, overwrite chosen header values and attributes of the
// outgoing alert event.  The set takes them out of the record before the
// event is built and writes them into it after the record's own export, so
// the user's values win.  One set serves one conversion on one thread.

#include <cstdint>
#include <string>

class AgentEventInfo;
class CADFEvent;

class UserTagSet {
public:
    static constexpr uint32_t kTagCount = 22;
    // What the date conversion answers for a text that is no date.
    static constexpr uint64_t kInvalidDate = UINT64_MAX;

    // Takes every user tag (and "USER_ReplaceAlertName") out of the
    // record's pairs; a null record gives an empty set.
    explicit UserTagSet(AgentEventInfo* pRecord);

    // Refusals logged a minute, for the whole process; the next one logged
    // counts those left out.
    static constexpr unsigned kRefusalReportsPerMinute = 20;

    // Writes the tags into the event; false when a value was refused (each
    // refusal is logged, within kRefusalReportsPerMinute, and the other
    // tags are still written).
    bool Apply(CADFEvent& event);

    // "USER_AlertName", ...; index 0 is never matched.
    static const char* TagName(uint32_t dwIndex);
    // A "year-month-day hour:minute:second" text read as local time, as
    // seconds since 1970 (UTC).  `nOffset` is the zone offset in seconds to
    // add (UTC = local + offset); -1 takes the local zone's offset in force
    // at that date.  kInvalidDate for a text that is no date or lies before
    // 1970.
    static uint64_t ConvertDate(const std::string& strText, int32_t nOffset);

    bool Found() const { return m_bFound; }
    bool ReplacesName() const { return m_bReplaceName; }
    const std::string& Value(uint32_t dwIndex) const { return m_strValues[dwIndex]; }

private:
    bool m_bFound = false;
    bool m_bReplaceName = false;
    std::string m_strValues[kTagCount];
};
