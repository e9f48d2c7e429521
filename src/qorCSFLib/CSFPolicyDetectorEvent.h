#pragma once
// The framework's policy event for the detector's own events (its errors,
// warnings and information): reported under the sensor's names, with the
// first SNMP response sent as "LOGTRAP".

#include "qorCSFLib/CSFPolicyEvent.h"

class CSFPolicyDetectorEvent : public CSFPolicyEvent {
public:
    CSFPolicyDetectorEvent();
    ~CSFPolicyDetectorEvent() override;

    IPolicyEventInterface* CreatePolicyEvent() override;
    // "Sensor_Error", "Sensor_Warning" and "Sensor_Info" for the three
    // detector names; any other name as it stands.
    const char* GetName() override;
    // A new event of the sensor's form; the record is not read.  Null when
    // the event cannot be made.
    ICSFAlertEvent* CreateAlertEvent(const CSFAlertParameter* pParameters, AgentEventInfo* pRecord,
                                     uint32_t dwLevel) override;
    void ReadResponses(IPolicyContainer* pContainer, const char* pszKeyPath) override;
};
