#pragma once
// Decides whether an event passes: one expression per entry, over the field
// the entry names, and an event passes when every entry's expression holds.
//
// Entry names: "efSensorID" (the sensor's address and name), "efAlertName"
// (the alert's name type and name), or the name of a header value or a
// section 1 attribute.  Entries are kept in byte order of their names.
//
// Binary form, all numbers 32-bit big-endian: mode, entry count, then per
// entry its name as a text token followed by the expression (valid flag,
// kind, token count, tokens).  The bytes are outside input: FromBytes
// checks every length against what is left.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "qorEventLib/CEfExpression.h"
#include "qorToolsLib/qorStatus.h"

class CEventFilter {
public:
    static constexpr uint32_t kDefaultMode = 3;
    static constexpr const char* kSensorIdEntry = "efSensorID";
    static constexpr const char* kAlertNameEntry = "efAlertName";

    // Address, then name.
    using SensorId = std::pair<std::string, std::string>;

    CEventFilter() = default;
    CEventFilter(const CEventFilter&) = default;
    CEventFilter& operator=(const CEventFilter&) = default;
    virtual ~CEventFilter();

    void Clear();
    bool IsEmpty() const { return m_Entries.empty(); }
    const std::map<std::string, CEfExpression>& GetEntries() const { return m_Entries; }

    // A new entry, or the existing one combined with the expression by `op`.
    StatusCode AddExpression(const std::string& entry, uint32_t op, const CEfExpression& expression);
    StatusCode Negate(const std::string& entry);
    bool FindExpression(const std::string& entry, CEfExpression& expression) const;
    bool RemoveExpression(const std::string& entry);

    // Sensor identities added one after the other are joined by "OR".
    void AddSensorID(const std::string& address, const std::string& name);
    void GetSensorIDs(std::vector<SensorId>& ids) const;
    void SetSensorIDs(const std::vector<SensorId>& ids);
    void RemoveSensorID(const SensorId& id);

    bool Equals(const CEventFilter& other) const;

    // "(entry) AND (entry) ...", each entry's postfix tokens as infix.
    StatusCode ToText(std::string& text) const;
    void ToBytes(std::vector<uint8_t>& bytes) const;
    // Clears the filter first; on failure the filter is left empty.
    StatusCode FromBytes(const uint8_t* bytes, size_t length);

    uint32_t m_uMode = kDefaultMode;

private:
    std::map<std::string, CEfExpression> m_Entries;
};
