#pragma once
// The plug-in's event registry: the framework's registry whose section
// configuration has every engine of the sensor register its rule sections.
// Each event is handed to the host under the name its rule's alerts come
// under, so that the host finds it for them.  The host owns each registry
// it obtains.

#include <cstdint>
#include <string>

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

protected:
    // A rule of a table registered at level 1 is read one rule per key by
    // the rule readers, which name it by its "SecCheckId" when it has one:
    // its event goes under that name.  The firewall's rules, two levels
    // down, are named by their section and key whatever they hold, as the
    // walk names them.
    std::string EventNameAt(IPolicyContainer* pContainer, const std::string& strKeyPath,
                            const std::string& strWalkName, uint32_t dwSectionLevel) override;

private:
    CHostWarden* m_pSensor;
};
