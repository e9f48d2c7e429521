#pragma once
// The alert event the host receives: an event of the event library with
// its fourteen header values filled from the alert, the sensor and the
// clock, its parameters turned into attributes, and its tagged stream
// written behind the 12-byte header of a type 600, version 5 message.
//
// The event is open until its first WriteMessage or WriteBytes, which
// computes its digest and freezes it; the same bytes are handed out from
// then on.  Only the reference count is guarded: one thread at a time
// builds and serialises an event.

#include <cstdint>

#include "hostwarden/ICSFAlertEvent.h"
#include "qorCSFLib/CSFAlertMessage.h"
#include "qorEventLib/CQorEvent.h"

class ICSFSensor;
class IPolicyEventInterface;

class ADFGenericEvent : public ICSFAlertEvent, public CQorEvent {
public:
    static constexpr uint32_t kMessageType = 600;
    static constexpr uint32_t kMessageVersion = 5;
    // Longest name and value texts a parameter entry can carry.
    static constexpr size_t kParameterNameMax = sizeof(CSFAlertParameter::m_szName) - 1;
    static constexpr size_t kParameterValueMax = sizeof(CSFAlertParameter::m_szValue) - 1;

    // An empty event, to be filled by LoadBytes or an assignment.
    ADFGenericEvent();
    // A complete event.  The policy event gives the priority, the flags
    // (whether it logs to the database at this level) and the response
    // list; the parameters, if any, end at the first entry with an empty
    // name.  Raises qorErrorException ("osStatus") when a value is refused.
    ADFGenericEvent(const char* pszAlertName, uint32_t dwNameType, uint32_t dwAlertType,
                    IPolicyEventInterface* pPolicyEvent, ICSFSensor* pSensor, uint32_t dwLevel,
                    const CSFAlertParameter* pParameters);
    // The other event's records; text and blob payloads are shared.
    ADFGenericEvent(const ADFGenericEvent& other);
    ~ADFGenericEvent() override;

    // The AlertPriority header value; 0 when it holds no 32-bit number.
    int32_t GetPriority() override;
    ICSFAlertEvent* CreateEmpty() override;
    ICSFAlertEvent* Clone() override;
    uint32_t WriteMessage(CSFAlertMessage* pMessage) override;
    uint32_t WriteBytes(HostByteBuffer* pBuffer) override;
    // Reads the event's stream alone, without the message header.
    uint32_t LoadBytes(const uint8_t* pBytes, const uint32_t* pdwLength) override;
    // Deletes the event whatever its reference count.
    void Destroy() override;

    // Sets the fourteen header values.  Raises qorErrorException
    // ("osStatus") when one is refused.
    virtual void FillHeader(const char* pszAlertName, uint32_t dwNameType, uint32_t dwAlertType,
                            uint32_t dwPriority, ICSFSensor* pSensor, uint32_t dwFlags);

    // Appends an attribute without looking for one of the same name and
    // without the frozen test, as the record export writes most of them.
    void AppendAttribute(uint32_t dwSection, const std::string& strName, const AlertValue& value) {
        Append(dwSection, strName, value);
    }

private:
    // Serialises the event (freezing it the first time) and hands the
    // stream to `deliver`; failures, raised or returned, come back as the
    // status.
    template <typename Deliver>
    uint32_t DeliverStream(Deliver deliver);
};
