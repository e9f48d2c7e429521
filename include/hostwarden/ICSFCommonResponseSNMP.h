#pragma once
// The SNMP formatter: fills a version 1 trap message from one alert event;
// the host encodes and sends it.

#include <cstdint>

class ICSFAlertEvent;
class SnmpTrapMessage;

class ICSFCommonResponseSNMP {
public:
    // The formatter's own message, valid until the next call or Release;
    // null when the event is of neither form.
    virtual SnmpTrapMessage* FormatTrap(const char* pszCommunity, ICSFAlertEvent* pEvent,
                                        bool bPrintableOnly) = 0;
    // Deletes the object; answers 0.
    virtual int32_t Release() = 0;
    virtual ~ICSFCommonResponseSNMP() = default;
};
