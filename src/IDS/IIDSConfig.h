#pragma once
// The engine side of the process-wide IDS configuration.  Its interface is
// the host's (hostwarden/IIDSConfig.h); the IDS master engine configures and
// resets it, the IDS slaves read its tables and the web-server engine
// follows its network-monitoring switch.

#include <cstdint>

#include "hostwarden/IIDSConfig.h"

// The interface's operations, left to the configuration class.
class CIDSConfigDummy : public IIDSConfig {
public:
    ~CIDSConfigDummy() override = default;
};

// The IDS master engine's configuration steps, driven by its start and
// pause: Initialize configures from the engine's rules, Shutdown resets.
class IIDSMasterEngine {
public:
    virtual int32_t Initialize() = 0;
    virtual void Shutdown() = 0;

protected:
    ~IIDSMasterEngine() = default;
};
