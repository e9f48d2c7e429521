#pragma once
// The e-mail formatter: turns one alert event into a subject and a body.
// The host creates it through the class factory, reads one event, asks for
// the texts and releases it.

#include <cstdint>

class ICSFAlertEvent;

class ICSFCommonResponseMail {
public:
    // False when the event is of neither form.
    virtual bool ExtractEventData(ICSFAlertEvent* pEvent) = 0;
    // With a template of the host's own, or null for the fixed layout.  The
    // text stays valid until the next call of the same operation or Release.
    virtual const char* GetBody(const char* pszTemplate) = 0;
    virtual const char* GetSubject(const char* pszTemplate) = 0;
    // Deletes the object; answers 0.
    virtual int32_t Release() = 0;

protected:
    ~ICSFCommonResponseMail() = default;
};
