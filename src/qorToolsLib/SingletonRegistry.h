#pragma once
// One name-to-object table per process, so that modules of the library
// linked into several images of one process share their singletons (the
// trace logger).  A module finds the table of another module through the
// environment variable "QOR_SINGLETON_REGISTRY" ("<address>,<pid>" in
// hexadecimal), which PublishSingletonRegistry sets.  The variable is
// honoured only when this process put it there: a value inherited from the
// parent, or one naming another process, is ignored and a registry of this
// module's own is made instead, so no address from outside is ever
// followed.

#include <map>
#include <mutex>
#include <string>

class SingletonRegistry {
public:
    SingletonRegistry();
    virtual ~SingletonRegistry();
    SingletonRegistry(const SingletonRegistry&) = delete;
    SingletonRegistry& operator=(const SingletonRegistry&) = delete;

    // Replaces any earlier object under the name.
    virtual void Register(const char* name, void* object);

    // The object under the name, or null; an unknown name is entered with
    // null.
    void* Lookup(const char* name);

    bool IsValid() const { return m_bValid; }

private:
    bool m_bValid = true;
    std::mutex m_lock;
    std::map<std::string, void*> m_objects;
};

// The name of the environment variable that carries the registry.
constexpr const char kSingletonRegistryVariable[] = "QOR_SINGLETON_REGISTRY";

// The registry the environment names, when this process published it and
// it is alive; null otherwise.  GetSingletonRegistry asks it once.
SingletonRegistry* FindPublishedSingletonRegistry();

// The process's registry, made or found on first use and kept.
SingletonRegistry* GetSingletonRegistry();

void* LookupSingleton(const char* name);
void RegisterSingleton(const char* name, void* object);

// Puts "QOR_SINGLETON_REGISTRY=<address>,<pid>" into the environment.
void PublishSingletonRegistry();
