#pragma once
// The field setters the sensor's e-mail and user-specified formatters share:
// each reads one field of an alert event's alert section and, when it is
// there (and of the demanded kind), assigns its text to its tag.  A field
// that is missing leaves its tag as it was.
//
// The reader borrows the tag map and the event for the length of one
// extraction; it keeps nothing.

#include <cstdint>
#include <optional>

#include "Responses/AlertTypeNameMap.h"
#include "qorCSFLib/ResponseTagMap.h"

class IEventData;

class ResponseFieldReader {
public:
    // With `bAliases` the address and port setters also fill the short
    // aliases ("<srcaddr>", "<srcport>", "<destaddr>", "<destport>").
    ResponseFieldReader(ResponseTagMap& tags, const IEventData& event,
                        const AlertTypeNameMap& alertTypes, bool bAliases);

    void SetSourceAddress();
    void SetSourcePort();
    void SetSourcePortName();
    void SetDestinationAddress();
    void SetDestinationPort();
    void SetDestinationPortName();
    void SetProtocol();
    void SetAttackSuccessful();
    void SetAttackOrigin();
    void SetUserName();
    void SetAlertType();
    void SetICMPCode();
    void SetICMPType();
    void SetSystemAgent();
    void SetResourceID();
    void SetResourceSubID();
    void SetApplication();

    // The fourteen setters every event gets, in their order.
    void RunCommonSetters();
    // The resource setters for type 208, the application setter for 211,
    // nothing for any other type.
    void RunTypeSetters(int32_t nAlertType);

    // The event's own "AlertType" header value when it holds a number.
    static std::optional<int32_t> HeaderAlertType(const IEventData& event);

private:
    // Assigns the field's text when it is there; with `bUint32Only` only a
    // value of the unsigned 32-bit kind counts.  True when assigned.
    bool CopyField(const char* pszField, const char* pszTag, bool bUint32Only,
                   const char* pszAlias = nullptr);

    ResponseTagMap& m_Tags;
    const IEventData& m_Event;
    const AlertTypeNameMap& m_AlertTypes;
    bool m_bAliases;
};
