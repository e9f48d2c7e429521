#pragma once
// The host's event sink: alert records leave the plug-in here, and the
// policy events made from the policy are registered here.

#include <cstdint>

// The alert record of the sensor core.  It carries a magic word, so a host
// that is handed a foreign pointer by mistake can recognise it.
class AgentEventInfo;
class IPolicyEventInterface;

// What travels with a record: its event id, and the rule name twice (the
// alert name and the name of the rule it was raised by).
struct CSFEventInfo {
    int32_t m_nEventId;
    const char* m_pszName;
    const char* m_pszRuleName;
};

class ICSFEventHandler {
public:
    // Nonzero: the host took the record and owns it from now on.  Zero: the
    // record stays with the caller, which deletes it.
    virtual uint8_t HandleAlert(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                                uint32_t dwFlags) = 0;
    virtual uint8_t ForwardEvent(uint32_t dwFirst, uint32_t dwSecond) = 0;
    // The host keeps the events handed over by the next two operations.
    virtual void RegisterPolicyEvent(const char* pszName, IPolicyEventInterface* pEvent) = 0;
    virtual void RegisterDetectorPolicyEvent(const char* pszName,
                                             IPolicyEventInterface* pEvent) = 0;

protected:
    ~ICSFEventHandler() = default;
};
