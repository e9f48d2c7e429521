#pragma once
// An alert event as the host receives it: it serialises itself into the
// host's message (a 12-byte header, then the event) or byte buffer, copies
// itself, and is destroyed by the host.  The two forms of the event are told
// apart by run-time type.

#include <cstdint>

// The host's message: a stream-buffer owner with the header fields (message
// type, version, payload length).
class CSFAlertMessage;
// The host's growable byte buffer.
class HostByteBuffer;

// One parameter entry the host passes when it asks for an event; an array of
// them ends at the first entry whose name is empty.
struct CSFAlertParameter {
    char m_szName[32];
    char m_szValue[1024];
};

class ICSFAlertEvent {
public:
    virtual int32_t GetPriority() = 0;
    // A new empty event of the same form; null when it cannot be allocated.
    virtual ICSFAlertEvent* CreateEmpty() = 0;
    virtual ICSFAlertEvent* Clone() = 0;
    // Status results: 0 or a library status.
    virtual uint32_t WriteMessage(CSFAlertMessage* pMessage) = 0;
    virtual uint32_t WriteBytes(HostByteBuffer* pBuffer) = 0;
    virtual uint32_t LoadBytes(const uint8_t* pBytes, const uint32_t* pdwLength) = 0;
    // Deletes the event at once.
    virtual void Destroy() = 0;

protected:
    ~ICSFAlertEvent() = default;
};
