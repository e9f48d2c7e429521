#include "qorToolsLib/SingletonRegistry.h"

#include <cstdio>
#include <cstdlib>

#include "platform/Environment.h"
#include "qorToolsLib/BoundedFormat.h"

namespace {

std::mutex g_registryLock;
SingletonRegistry* g_registry = nullptr;

}  // namespace

SingletonRegistry* FindPublishedSingletonRegistry() {
    const char* text = std::getenv(kSingletonRegistryVariable);
    if (text == nullptr) {
        return nullptr;
    }
    unsigned long address = 0;
    unsigned long pid = 0;
    char extra = 0;
    if (std::sscanf(text, "%lx,%lx%c", &address, &pid, &extra) != 2 || address == 0 ||
        pid != plat::CurrentProcessId()) {
        return nullptr;
    }
    if (plat::IsInheritedEnvironmentValue(kSingletonRegistryVariable, text)) {
        return nullptr;
    }
    auto* registry = reinterpret_cast<SingletonRegistry*>(address);
    return registry->IsValid() ? registry : nullptr;
}

SingletonRegistry::SingletonRegistry() = default;

SingletonRegistry::~SingletonRegistry() {
    m_bValid = false;
}

void SingletonRegistry::Register(const char* name, void* object) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_objects[name != nullptr ? name : ""] = object;
}

void* SingletonRegistry::Lookup(const char* name) {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_objects[name != nullptr ? name : ""];
}

SingletonRegistry* GetSingletonRegistry() {
    std::lock_guard<std::mutex> guard(g_registryLock);
    if (g_registry == nullptr) {
        g_registry = FindPublishedSingletonRegistry();
        if (g_registry == nullptr) {
            g_registry = new SingletonRegistry;
        }
    }
    return g_registry;
}

void* LookupSingleton(const char* name) {
    return GetSingletonRegistry()->Lookup(name);
}

void RegisterSingleton(const char* name, void* object) {
    GetSingletonRegistry()->Register(name, object);
}

void PublishSingletonRegistry() {
    SingletonRegistry* registry = GetSingletonRegistry();
    std::lock_guard<std::mutex> guard(g_registryLock);
    char value[64];
    BoundedSnprintf(value, sizeof value, "%lx,%lx", reinterpret_cast<unsigned long>(registry),
                    static_cast<unsigned long>(plat::CurrentProcessId()));
    plat::SetEnvironmentText(kSingletonRegistryVariable, value);
}
