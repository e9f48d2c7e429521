#pragma once
// The event of the event library as a host sees it: header values and three
// attribute sections, its tagged-stream and XML forms, its integrity digest
// and its match against an event filter.  Events are reference counted; the
// last Release deletes the event.  No operation raises: failures come back
// as statuses (0 success, 0xC721xxxx tool library, 0xC739xxxx event
// library).
//
// Sections: 0 the fourteen header values, 1 sensor parameters, 2 alert
// parameters, 3 updated parameters (the first value each updated attribute
// held before the event was frozen).

#include <cstdint>
#include <string>

class qorStreamBufferOwner;
class CEventFilter;
class AlertValue;
struct EventAVP;
struct EventIterator;

class IEventData {
public:
    virtual int32_t AddRef() = 0;
    virtual int32_t Release() = 0;
    virtual ~IEventData() = default;

    // Has `owner` share the event's serialised bytes (computing the digest,
    // and so freezing the event, the first time).  The filter is not used.
    virtual uint32_t Serialize(CEventFilter* filter, qorStreamBufferOwner& owner) = 0;
    // Appends the event's XML form; freezes an open event.
    virtual uint32_t ToXml(std::string& text) = 0;
    // Reads an event from the owner's unread bytes.
    virtual uint32_t Load(qorStreamBufferOwner& owner) = 0;
    virtual uint32_t Reserved(uint32_t unused) = 0;
    virtual bool Matches(const CEventFilter& filter) const = 0;

    virtual EventIterator Begin(uint32_t section) const = 0;
    virtual EventIterator End(uint32_t section) const = 0;
    // The iterator's valid flag is clear when nothing has that name.
    virtual EventIterator Find(const std::string& name, uint32_t section) const = 0;

    // Building, while the event is open.
    virtual uint32_t Add(const std::string& name, const AlertValue& value, uint32_t section) = 0;
    virtual uint32_t SetHeaderValue(uint32_t index, const AlertValue& value) = 0;
    // Updating, once the event is frozen.
    virtual uint32_t Update(const std::string& name, const AlertValue& value,
                            uint32_t section) = 0;
    virtual uint32_t UpdateHeaderValue(uint32_t index, const AlertValue& value) = 0;
    virtual uint32_t UpdateAt(const EventIterator& position, const AlertValue& value) = 0;
    // The record as it was before any update.
    virtual EventAVP GetOriginal(const EventIterator& position) const = 0;

    virtual uint32_t ValidateIntegrity() const = 0;
    // The 26-character text of the digest; the buffer holds at least 27
    // bytes.  Empty when the event carries no 16-byte digest.
    virtual char* GetAlertIdText(char* buffer) const = 0;
    virtual std::string GetAlertIdText() const = 0;
    virtual uint32_t SetAlertIdText(const char* text) = 0;
    virtual uint32_t SetAlertIdText(const std::string& text) = 0;
    // A value read from a stream: unnamed values are header values, named
    // ones attributes of `section`.
    virtual uint32_t AddDecodedValue(uint32_t userType, const char* name, const AlertValue& value,
                                     uint32_t section) = 0;
};
