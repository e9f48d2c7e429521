#pragma once
// The policy of one event as the host sees it: enabled, priority, noise
// threshold, ignore interval and the chosen responses with their 32-bit
// response mask.  The host owns every policy event it is handed and
// disposes of it with Release.

#include <cstdint>
#include <list>
#include <string>

class AgentEventInfo;
class ICSFAlertEvent;
class IPolicyContainer;
struct CSFAlertParameter;

// A response chosen for an event: its name and the value of its "Choice".
struct CSFResponsePair {
    std::string m_strName;
    std::string m_strChoice;

    friend bool operator==(const CSFResponsePair&, const CSFResponsePair&) = default;
};
using CSFResponseList = std::list<CSFResponsePair>;

// Response mask bits.
enum : uint32_t {
    kResponseKill = 0x1,
    kResponseView = 0x2,
    kResponseEmail = 0x4,
    kResponseLogWithRaw = 0x8,
    kResponseDisplay = 0x40,
    kResponseUserSpecified = 0x80,
    kResponseLogWithoutRaw = 0x200,
    kResponseOpsec = 0x400,
    kResponseSnmp = 0x800,
    kResponseBanner = 0x20000,
    kResponseDisable = 0x40000,
    kResponseSuspend = 0x80000,
    kResponseBlock = 0x100000,
    kResponseScript = 0x200000,
};

class IPolicyEventInterface {
public:
    // A new, empty policy event of the same class.
    virtual IPolicyEventInterface* CreatePolicyEvent() = 0;
    virtual bool Init(IPolicyContainer* pContainer, const char* pszEventName,
                      const char* pszKeyPath) = 0;
    // The responses the host carries out, in order.
    virtual const CSFResponseList* GetResponses() = 0;
    virtual int32_t IsEnabled() = 0;
    virtual const char* GetName() = 0;
    virtual uint16_t GetPriority() = 0;
    virtual uint32_t GetEventCode() = 0;
    virtual int32_t GetNoiseThreshold() = 0;
    virtual uint32_t GetResponseMask() = 0;
    virtual int32_t GetIgnoreInterval() = 0;
    // Turns a record the host took from the event sink into an alert event
    // that owns the record; null leaves the record with the host.
    virtual ICSFAlertEvent* CreateAlertEvent(const CSFAlertParameter* pParameters,
                                             AgentEventInfo* pRecord, uint32_t dwLevel) = 0;
    virtual uint8_t HasKillResponse() = 0;
    // Destroys the event; answers 0.
    virtual uint32_t Release() = 0;
    virtual ~IPolicyEventInterface() = default;
    virtual int32_t SetEnabled(int32_t nEnabled) = 0;
    // "NAME:choice,NAME:choice..."
    virtual void SetResponses(const char* pszResponses) = 0;
    virtual uint16_t SetPriority(uint16_t wPriority) = 0;
    virtual uint32_t SetEventCode(uint32_t dwCode) = 0;
    virtual void SetName(const char* pszName) = 0;
    virtual int32_t SetNoiseThreshold(int32_t nThreshold) = 0;
    virtual int32_t SetIgnoreInterval(int32_t nInterval) = 0;
    virtual const char* GetSecondName() = 0;
    // The one-letter code of the strongest response in the mask, or "".
    virtual const char* GetResponseCode() = 0;
    // "NAME=choice:0,..." over the chosen responses; above level 1 the
    // display and filtered-logging choices are left out.
    virtual std::string GetResponseListText(uint32_t dwLevel) = 0;
    virtual bool LogsToDatabase(uint32_t dwLevel) = 0;
    virtual void ReadResponses(IPolicyContainer* pContainer, const char* pszKeyPath) = 0;
    virtual void ReadResponsesQg(IPolicyContainer* pContainer, const char* pszKeyPath) = 0;
    virtual void ReadResponsesAdf(IPolicyContainer* pContainer, const char* pszKeyPath) = 0;
};
