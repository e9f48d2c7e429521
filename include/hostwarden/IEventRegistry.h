#pragma once
// The registry through which the events of a policy are made known to the
// host: engines register policy sections; the registry walks a policy
// container and hands one policy event per enabled event to the host.

#include <cstdint>

class IPolicyContainer;
class IPolicyEventInterface;

class IEventRegistry {
public:
    // Has every engine register its sections.
    virtual uint32_t ConfigureSections() = 0;
    // Hands the host a fresh policy event for each enabled event found under
    // the registered sections.  Called at start-up and at every reload.
    virtual void RegisterEvents(IPolicyContainer* pContainer) = 0;
    virtual uint32_t RegisterDetectorEvent(const char* pszKeyPath, const char* pszName,
                                           IPolicyContainer* pContainer) = 0;
    // "Event.Setting" or "Event.Response.NAME.part" with its value.
    virtual bool AddDetectorSetting(const char* pszKey, const char* pszValue) = 0;
    // Destroys the registry; answers 0.
    virtual uint32_t Release() = 0;
    virtual void RegisterDetectorEvents() = 0;
    virtual ~IEventRegistry() = default;
    virtual void ForwardPolicyEvent(const char* pszName, IPolicyEventInterface* pEvent) = 0;
};
