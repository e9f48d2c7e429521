#pragma once
// The sensor's alert events: the two framework forms with the record they
// were made from, the record's identity (event id, record kind, rule and
// rule name), an event-source text and the sensor.  An event owns its
// record and deletes it with itself; a copy owns a copy of the record.

#include <cstdint>
#include <string>

#include "qorCSFLib/ADFGenericEvent.h"

class AgentEventInfo;
class ICSFSensor;
class Rule;

// What the two forms add to their framework base.
class SensorAlertLink {
public:
    SensorAlertLink();
    SensorAlertLink(const SensorAlertLink& other);
    SensorAlertLink& operator=(const SensorAlertLink& other);
    ~SensorAlertLink();

    uint32_t GetEventId() const { return m_dwEventId; }
    void SetEventId(uint32_t dwEventId) { m_dwEventId = dwEventId; }
    uint32_t GetRecordKind() const { return m_dwRecordKind; }
    void SetRecordKind(uint32_t dwKind) { m_dwRecordKind = dwKind; }
    const std::string& GetRuleName() const { return m_strRuleName; }
    void SetRuleName(const std::string& strName) { m_strRuleName = strName; }
    // Empty unless the record's class sets it (the event-log source).
    const std::string& GetEventSourceText() const { return m_strEventSource; }
    void SetEventSourceText(const std::string& strText) { m_strEventSource = strText; }
    AgentEventInfo* GetAlertRecord() const { return m_pRecord; }
    // Takes the record; a record held before is deleted.
    void SetAlertRecord(AgentEventInfo* pRecord);
    Rule* GetRule() const { return m_pRule; }
    void SetRule(Rule* pRule) { m_pRule = pRule; }
    ICSFSensor* GetSensor() const { return m_pSensor; }

private:
    uint32_t m_dwEventId = 0;
    uint32_t m_dwRecordKind = 0;
    std::string m_strRuleName;
    std::string m_strEventSource;
    AgentEventInfo* m_pRecord = nullptr;
    Rule* m_pRule = nullptr;
    ICSFSensor* m_pSensor;
};

class CADFEvent : public ADFGenericEvent, public SensorAlertLink {
public:
    CADFEvent();
    // The framework event of these arguments; the sensor kept is always
    // the sensor object, whatever sensor is given.
    CADFEvent(const char* pszAlertName, uint32_t dwNameType, uint32_t dwAlertType,
              IPolicyEventInterface* pPolicyEvent, ICSFSensor* pSensor, uint32_t dwLevel,
              const CSFAlertParameter* pParameters);
    CADFEvent(const CADFEvent& other);
    ~CADFEvent() override;

    ICSFAlertEvent* CreateEmpty() override;
    ICSFAlertEvent* Clone() override;
    void Destroy() override;
    // The argument is not used.
    virtual CADFEvent* GetSelf(uint32_t dwUnused);
    virtual CADFEvent& operator=(const CADFEvent& other);
};
