#include "Plugin/CEventRegistry.h"

#include "Plugin/CClassFactory.h"
#include "Plugin/CHostWarden.h"
#include "Common/CThreadList.h"

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
