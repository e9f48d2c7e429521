#include "PluginBinding.h"

#include <cstdio>

#include "platform/DynamicLoader.h"

bool PluginBinding::Load(const std::string& path, std::string& error) {
    m_hModule = plat::LoadModule(path.c_str());
    if (m_hModule == nullptr) {
        error = "cannot load " + path + ": " + plat::LastLoaderMessage();
        return false;
    }
    m_pfnGetClassObject = reinterpret_cast<CSFGetClassObjectFunction>(
        plat::FindModuleSymbol(m_hModule, kCSFGetClassObjectName));
    if (m_pfnGetClassObject == nullptr) {
        error = path + " has no " + kCSFGetClassObjectName;
        return false;
    }
    void* factory = nullptr;
    CSFResult result = m_pfnGetClassObject(&CLSID_HostWardenSensor, &IID_ICSFClassFactory, &factory);
    if (result != CSF_S_OK || factory == nullptr) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08x", result);
        error = std::string("the plug-in's class factory answered ") + code;
        return false;
    }
    m_pFactory = static_cast<ICSFClassFactory*>(factory);
    return true;
}

CSFResult PluginBinding::Create(const CSFIdentifier& iid, void** ppObject) {
    if (m_pFactory == nullptr) {
        return CSF_E_NO_INTERFACE;
    }
    return m_pFactory->CreateInstance(iid, ppObject);
}
