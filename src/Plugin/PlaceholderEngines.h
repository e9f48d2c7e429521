#pragma once
// The sensor's seven engines, each under its own class and thread name,
// for as long as the engine's own code is not part of the build.  A
// placeholder registers no rule sections, reads no rules, and its thread
// only waits to be told to stop; everything else is the engine base's, so
// the sensor drives it exactly as it will drive the real engine.  An engine
// that is built leaves this file and takes its place in the sensor's
// constructor.

#include <cstdint>

#include "ApacheEngine/CEngineApache.h"
#include "Common/EngineBase.h"
#include "Decoy/CEngineDecoy.h"

class CPlaceholderEngine : public CEngineBase {
public:
    explicit CPlaceholderEngine(const char* pszThreadName) : CEngineBase(pszThreadName) {}
    ~CPlaceholderEngine() override;

    int32_t ConfigureEventSections(CSFEventRegistry* pRegistry) override;
    int32_t PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) override;

protected:
    uint32_t _doWork() override;
};

class CEngineIDS : public CPlaceholderEngine {
public:
    CEngineIDS() : CPlaceholderEngine("IDS Engine") {}
    // Without capture there are no adapter engines to add or remove.
    uint32_t UpdateAdapterList() { return 0; }
};
