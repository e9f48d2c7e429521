#pragma once
// What the engines, rules and rule readers need of the one sensor object.
// The sensor registers itself with SetSensorCore when it is made and
// withdraws before it goes; until then callers see no sensor and act as the
// comments of each caller say (records are deleted, nothing is validated).

#include <cstdint>

#include "hostwarden/ICSFEventHandler.h"

class AgentEventInfo;
class IPolicyContainer;
class ITclHandler;
class RuleContainer;

class ISensorCore {
public:
    // Takes the record: builds its event information (event id, rule name
    // twice) and answers LogToCSF(record, information, 0, 15).
    virtual uint8_t ReportEvent(AgentEventInfo* pRecord) = 0;
    // Takes the record: applies its rule's correlation gate, then hands it
    // to the host's event sink, deleting it when the sink refuses it.
    // Answers the sink's answer, 1 when a correlation rule took the record,
    // 0 for a null record.
    virtual uint8_t LogToCSF(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                             uint32_t dwFlags) = 0;
    // Takes the record: hands it to the host's event sink as it is, past
    // the correlation gate, deleting it when the sink refuses it.  Answers
    // the sink's answer; 0 for a null record.
    virtual uint8_t DeliverToHost(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                                  uint32_t dwFlags) = 0;
    // The host event handler's second operation; 0 without a handler.
    virtual uint8_t ForwardToEventSink(uint32_t dwFirst, uint32_t dwSecond) = 0;
    // The script handler, or null while scripting is switched off in the
    // settings or before start-up has created it.
    virtual ITclHandler* GetTclHandler() = 0;
    // Whether the sensor knows the response `pszName` with that choice
    // (both compared exactly).
    virtual bool IsValidResponse(const char* pszName, const char* pszChoice) = 0;
    // Whether the host has handed over any response definitions at all.
    virtual bool HasResponseDefinitions() = 0;
    // The sensor's own container, through which every rule a reader makes
    // is eventually deleted.
    virtual RuleContainer* GetRuleContainer() = 0;
    // The merged policy currently published, or null.
    virtual IPolicyContainer* GetCurrentPolicy() = 0;

protected:
    ~ISensorCore() = default;
};

// The process-wide sensor; null withdraws it.
void SetSensorCore(ISensorCore* pSensor);
ISensorCore* GetSensorCore();
