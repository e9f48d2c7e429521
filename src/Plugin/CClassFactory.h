#pragma once
// The plug-in's class factory: the door through which the host obtains the
// sensor, the service request, event registries and the other objects it
// drives, by identifier.  What it does not make itself it leaves to the
// framework's factory.  It remembers the last registry and service request
// it handed out, which the sensor takes at start-up; the host owns both.

#include <cstdint>

#include "qorCSFLib/CSFClsFctry.h"

class CEventRegistry;
class CHostWarden;
class CServiceRequest;

class CClassFactory : public CSFClsFctry {
public:
    explicit CClassFactory(CHostWarden* pSensor);
    ~CClassFactory() override;

    // 0 with the object in *ppObject; 0x8007000E with null when the object
    // cannot be made; for identifiers it does not know, the framework's
    // answer.
    CSFResult CreateInstance(const CSFIdentifier& iid, void** ppObject) override;
    // 0; the factory lives as long as the sensor that made it.
    uint32_t Release() override;

    // The last registry and service request handed out, while the host has
    // not released them.
    CEventRegistry* GetEventRegistry() const { return m_pEventRegistry; }
    CServiceRequest* GetServiceRequest() const;
    // A registry being released withdraws itself.
    void ForgetEventRegistry(CEventRegistry* pRegistry);

private:
    CSFResult MakeObject(const CSFIdentifier& iid, void** ppObject);

    CHostWarden* m_pSensor;
    CEventRegistry* m_pEventRegistry = nullptr;
    CServiceRequest* m_pServiceRequest = nullptr;
};
