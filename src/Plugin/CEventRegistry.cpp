#include "Plugin/CEventRegistry.h"

#include "Plugin/CClassFactory.h"
#include "Plugin/CHostWarden.h"
#include "Common/CThreadList.h"
#include "Common/InitializeRules.h"
#include "hostwarden/IPolicyContainer.h"

CEventRegistry::CEventRegistry(CHostWarden* pSensor) : m_pSensor(pSensor) {}

CEventRegistry::~CEventRegistry() {
    CClassFactory* pFactory = m_pSensor != nullptr ? m_pSensor->GetClassFactory() : nullptr;
    if (pFactory != nullptr) {
        pFactory->ForgetEventRegistry(this);
    }
}

uint32_t CEventRegistry::ConfigureSections() {
    CThreadList* pThreads = m_pSensor != nullptr ? m_pSensor->GetThreadList() : nullptr;
    if (pThreads != nullptr) {
        pThreads->ConfigureEventSections(this);
    }
    return 0;
}

uint32_t CEventRegistry::Release() {
    delete this;
    return 0;
}

std::string CEventRegistry::EventNameAt(IPolicyContainer* pContainer, const std::string& strKeyPath,
                                        const std::string& strWalkName, uint32_t dwSectionLevel) {
    if (dwSectionLevel != 1 || pContainer == nullptr) {
        return strWalkName;
    }
    const char* pszSecCheckId = pContainer->GetText(strKeyPath.c_str(), kSecCheckIdValue, "");
    return pszSecCheckId != nullptr && *pszSecCheckId != '\0' ? std::string(pszSecCheckId) : strWalkName;
}
