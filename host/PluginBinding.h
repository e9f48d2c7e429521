#pragma once
// The plug-in as the host binds it: the library loaded by path, its one
// export resolved, and the class factory obtained through it.  The library
// stays loaded for the life of the process: its static sensor must outlive
// every object the host was handed.

#include <string>

#include "hostwarden/ICSFClassFactory.h"

class PluginBinding {
public:
    PluginBinding() = default;
    PluginBinding(const PluginBinding&) = delete;
    PluginBinding& operator=(const PluginBinding&) = delete;

    // False with `error` set when the library, its export or its factory
    // cannot be had.
    bool Load(const std::string& path, std::string& error);

    // The factory's answer for `iid`, with the object in *ppObject.
    CSFResult Create(const CSFIdentifier& iid, void** ppObject);

    ICSFClassFactory* Factory() const { return m_pFactory; }
    CSFGetClassObjectFunction Export() const { return m_pfnGetClassObject; }

private:
    void* m_hModule = nullptr;
    CSFGetClassObjectFunction m_pfnGetClassObject = nullptr;
    ICSFClassFactory* m_pFactory = nullptr;
};
