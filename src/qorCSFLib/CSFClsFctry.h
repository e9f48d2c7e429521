#pragma once
// The framework's class factory, with the two small objects it hands out
// itself: a crash logger that does nothing and the detector-event
// interface that passes two words on to the host's event handler.  The
// plug-in's factory handles its own identifiers and falls back on this one.

#include <cstdint>

#include "hostwarden/ICSFClassFactory.h"
#include "hostwarden/ICSFCrashLogger.h"
#include "hostwarden/IDetectorEventInterface.h"

class CSFClsFctry : public ICSFClassFactory {
public:
    // By interface identifier: the sensor, the service request, the event
    // registry, an empty alert event of the current sensor's form, the
    // detector-event interface, the e-mail and user-specified response
    // formatters, the crash logger.  An object that cannot be made is
    // answered with null and 0; an identifier not in that list with
    // CSF_E_NO_INTERFACE, the out pointer untouched.
    CSFResult CreateInstance(const CSFIdentifier& iid, void** ppObject) override;
    uint32_t Release() override;
    ~CSFClsFctry() override;
};

class CSFCrashLogger : public ICSFCrashLogger {
public:
    // The word means nothing to the plug-in.
    void LogCrash(uint32_t dwWord) override;
    uint32_t Release() override;
    ~CSFCrashLogger() override;
};

class CSFLogDetectorEvent : public IDetectorEventInterface {
public:
    bool LogDetectorEvent(uint32_t dwFirst, uint32_t dwSecond) override;
    uint32_t Release() override;
    ~CSFLogDetectorEvent() override;
};
