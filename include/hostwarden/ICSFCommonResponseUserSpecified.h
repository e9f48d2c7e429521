#pragma once
// The user-specified-program formatter: fills the host's parameter template
// from one alert event.

#include <cstdint>

class ICSFAlertEvent;

class ICSFCommonResponseUserSpecified {
public:
    // The parameter line, valid until the next call or Release; null when
    // the event is of neither form.
    virtual const char* GetParameters(const char* pszTemplate, ICSFAlertEvent* pEvent) = 0;
    // Deletes the object; answers 0.
    virtual int32_t Release() = 0;

protected:
    ~ICSFCommonResponseUserSpecified() = default;
};
