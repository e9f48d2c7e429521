#include "qorCSFLib/CSFEventRegistry.h"

#include <cstdlib>
#include <new>

#include "hostwarden/ICSFEventHandler.h"
#include "hostwarden/ICSFHostServices.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFLog.h"
#include "qorCSFLib/CSFPolicyDetectorEvent.h"
#include "qorCSFLib/CSFSvcRequest.h"

namespace {

constexpr uint32_t kRegistryLogLevel = kCSFLogTrace;

// A list handed out by the container, released with the scope.
struct NameList {
    qgStringVector* m_pList = nullptr;
    ~NameList() {
        if (m_pList != nullptr) {
            m_pList->Release();
        }
    }
    bool Read(IPolicyContainer* pContainer, const std::string& strPath) {
        return pContainer->GetSubKeyNames(strPath.c_str(), &m_pList) && m_pList != nullptr;
    }
};

int32_t Decimal(const std::string& strValue) {
    return static_cast<int32_t>(std::strtol(strValue.c_str(), nullptr, 10));
}

}  // namespace

CSFEventRegistry::CSFEventRegistry() = default;

CSFEventRegistry::~CSFEventRegistry() {
    for (auto& [strPath, record] : m_Sections) {
        if (record.m_pPrototype != nullptr) {
            record.m_pPrototype->Release();
        }
    }
    m_Sections.clear();
    for (auto& [strName, record] : m_DetectorEvents) {
        if (!record.m_bHandedOver) {
            record.m_pEvent->Release();
        }
    }
    m_DetectorEvents.clear();
}

uint32_t CSFEventRegistry::Release() {
    delete this;
    return 0;
}

uint32_t CSFEventRegistry::ConfigureSections() {
    return 0;
}

ICSFEventHandler* CSFEventRegistry::EventHandler() {
    if (m_pEventHandler == nullptr) {
        m_pEventHandler = CSFSvcRequest::CurrentEventHandler();
    }
    return m_pEventHandler;
}

uint32_t CSFEventRegistry::RegisterSection(const char* pszSectionPath, IPolicyEventInterface* pPrototype,
                                           uint32_t dwLevel) {
    if (pszSectionPath == nullptr) {
        return 0;
    }
    IPolicyEventInterface* pCopy = pPrototype != nullptr ? pPrototype->CreatePolicyEvent() : nullptr;
    auto [it, bInserted] = m_Sections.try_emplace(pszSectionPath, SectionRecord{pCopy, dwLevel});
    if (!bInserted && pCopy != nullptr) {
        pCopy->Release();
    }
    CSF_LOG(kRegistryLogLevel, "Registered %s section with a recursion level of %d", pszSectionPath,
            static_cast<int>(dwLevel));
    return 0;
}

void CSFEventRegistry::RegisterEvents(IPolicyContainer* pContainer) {
    m_Registered.clear();
    if (pContainer == nullptr) {
        return;
    }
    for (const auto& [strPath, record] : m_Sections) {
        if (!pContainer->Exists(strPath.c_str(), "")) {
            continue;
        }
        CSF_LOG(kRegistryLogLevel, "Registering section %s", strPath.c_str());
        NameList names;
        if (!names.Read(pContainer, strPath)) {
            continue;
        }
        for (const std::string* pName = names.m_pList->Begin(); pName != names.m_pList->End(); ++pName) {
            RegisterEventsUnder(strPath + *pName, *pName, static_cast<int32_t>(record.m_dwLevel) - 1,
                                pContainer, record);
        }
    }
}

void CSFEventRegistry::RegisterEventsUnder(const std::string& strKeyPath, const std::string& strEventName,
                                           int32_t nLevel, IPolicyContainer* pContainer,
                                           const SectionRecord& section) {
    if (nLevel <= 0) {
        const bool bDefault = false;
        IPolicyEventInterface* pPrototype = section.m_pPrototype;
        if (pPrototype == nullptr || !pContainer->GetBool(strKeyPath.c_str(), "Enabled", &bDefault)) {
            return;
        }
        IPolicyEventInterface* pEvent = pPrototype->CreatePolicyEvent();
        if (pEvent == nullptr) {
            return;
        }
        const std::string strName = EventNameAt(pContainer, strKeyPath, strEventName, section.m_dwLevel);
        if (pEvent->Init(pContainer, strName.c_str(), strKeyPath.c_str())) {
            ForwardPolicyEvent(strName.c_str(), pEvent);
            m_Registered[strName].push_back(strKeyPath);
        } else {
            pEvent->Release();
        }
        return;
    }
    NameList names;
    if (!names.Read(pContainer, strKeyPath)) {
        return;
    }
    for (const std::string* pName = names.m_pList->Begin(); pName != names.m_pList->End(); ++pName) {
        RegisterEventsUnder(strKeyPath + "\\" + *pName, strEventName + "_" + *pName, nLevel - 1, pContainer,
                            section);
    }
}

std::string CSFEventRegistry::EventNameAt(IPolicyContainer*, const std::string&,
                                          const std::string& strWalkName, uint32_t) {
    return strWalkName;
}

void CSFEventRegistry::ForwardPolicyEvent(const char* pszName, IPolicyEventInterface* pEvent) {
    if (pEvent == nullptr) {
        return;
    }
    if (ICSFEventHandler* pHandler = EventHandler()) {
        pHandler->RegisterPolicyEvent(pszName, pEvent);
    } else {
        // Nobody would ever release it.
        pEvent->Release();
    }
}

uint32_t CSFEventRegistry::RegisterDetectorEvent(const char* pszKeyPath, const char* pszName,
                                                 IPolicyContainer* pContainer) {
    if (pszKeyPath == nullptr || pszName == nullptr) {
        return 0;
    }
    if (auto* pEvent = new (std::nothrow) CSFPolicyDetectorEvent()) {
        pEvent->Init(pContainer, pszName, pszKeyPath);
        if (ICSFEventHandler* pHandler = EventHandler()) {
            pHandler->RegisterDetectorPolicyEvent(pszName, pEvent);
        } else {
            pEvent->Release();
        }
    }
    auto* pEvent = new (std::nothrow) CSFPolicyDetectorEvent();
    if (pEvent == nullptr) {
        return 0;
    }
    pEvent->Init(pContainer, pszName, pszKeyPath);
    ICSFHostServices* pServices = CSFSvcRequest::CurrentServices();
    if (pServices == nullptr) {
        pEvent->Release();
        return 0;
    }
    return pServices->RegisterDetectorPolicyEvent(pszName, pEvent);
}

bool CSFEventRegistry::AddDetectorSetting(const char* pszKey, const char* pszValue) {
    if (pszKey == nullptr) {
        return true;
    }
    const std::string strKey = pszKey;
    const std::string strValue = pszValue != nullptr ? pszValue : "";
    const size_t nDot = strKey.find('.');
    if (nDot == std::string::npos) {
        return true;
    }
    const std::string strEvent = strKey.substr(0, nDot);
    const std::string strRest = strKey.substr(nDot + 1);
    auto it = m_DetectorEvents.find(strEvent);
    if (it == m_DetectorEvents.end()) {
        auto* pEvent = new (std::nothrow) CSFPolicyDetectorEvent();
        if (pEvent == nullptr) {
            return true;
        }
        it = m_DetectorEvents.emplace(strEvent, DetectorRecord{pEvent, false}).first;
    }
    CSFPolicyDetectorEvent* pEvent = it->second.m_pEvent;
    const size_t nSecondDot = strRest.find('.');
    if (nSecondDot == std::string::npos) {
        if (strRest == "Enabled") {
            pEvent->SetEnabled(Decimal(strValue));
        } else if (strRest == "Priority") {
            pEvent->SetPriority(static_cast<uint16_t>(Decimal(strValue)));
        }
        return true;
    }
    if (strRest.compare(0, nSecondDot, "Response") == 0) {
        const std::string strResponse = strRest.substr(nSecondDot + 1);
        const size_t nThirdDot = strResponse.find('.');
        if (nThirdDot != std::string::npos) {
            pEvent->AddResponse(strResponse.substr(0, nThirdDot), strValue);
        }
    }
    return true;
}

void CSFEventRegistry::RegisterDetectorEvents() {
    ICSFEventHandler* pHandler = EventHandler();
    if (pHandler == nullptr) {
        return;
    }
    for (auto& [strName, record] : m_DetectorEvents) {
        // Handed over once: the host owns what it was given.
        if (record.m_bHandedOver) {
            continue;
        }
        CSF_LOG(kRegistryLogLevel, "Registering %s inside Event Handler", strName.c_str());
        pHandler->RegisterDetectorPolicyEvent(strName.c_str(), record.m_pEvent);
        record.m_bHandedOver = true;
    }
}

CSFPolicyDetectorEvent* CSFEventRegistry::FindDetectorEvent(const std::string& strName) const {
    auto it = m_DetectorEvents.find(strName);
    return it != m_DetectorEvents.end() ? it->second.m_pEvent : nullptr;
}
