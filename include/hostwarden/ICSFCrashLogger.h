#pragma once
// A crash logger the host may obtain; the plug-in's does nothing with the
// word it is given.

#include <cstdint>

class ICSFCrashLogger {
public:
    virtual void LogCrash(uint32_t dwWord) = 0;
    virtual uint32_t Release() = 0;
    virtual ~ICSFCrashLogger() = default;
};
