#pragma once
// The plug-in's event registry: the framework's registry whose section
// configuration has every engine of the sensor register its rule sections.
// The host owns each registry it obtains.

#include <cstdint>

#include "qorCSFLib/CSFEventRegistry.h"

class CHostWarden;
class IPolicyEventInterface;

class CEventRegistry : public CSFEventRegistry {
public:
    // The sensor whose engines configure the registry's sections.
    explicit CEventRegistry(CHostWarden* pSensor);
    ~CEventRegistry() override;

    uint32_t ConfigureSections() override;
    uint32_t Release() override;

    // Engines register their sections here, with the sensor's prototype
    // policy event and their recursion level.
    uint32_t RegisterSection(const char* pszSection, IPolicyEventInterface* pPrototype,
                             uint32_t dwLevel) {
        return CSFEventRegistry::RegisterSection(pszSection, pPrototype, dwLevel);
    }

private:
    CHostWarden* m_pSensor;
};
