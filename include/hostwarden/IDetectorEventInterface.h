#pragma once
// Lets the host pass two words on to its own event handler's forward
// operation through the plug-in.

#include <cstdint>

class IDetectorEventInterface {
public:
    // False when the host has not set an event handler.
    virtual bool LogDetectorEvent(uint32_t dwFirst, uint32_t dwSecond) = 0;
    virtual uint32_t Release() = 0;
    virtual ~IDetectorEventInterface() = default;
};
