#pragma once
// The class factory and the plug-in's one export.  The host loads the
// plug-in, resolves CSFGetClassObject by name, obtains the factory and asks
// it for every other object by identifier.

#include <cstdint>

#include "hostwarden/CSFIdentifiers.h"
#include "hostwarden/CSFResult.h"

class ICSFClassFactory {
public:
    // On success stores the new object, seen through the interface the
    // identifier names, in *ppObject and answers 0 (null when it could not be
    // allocated).  An unknown identifier answers CSF_E_NO_INTERFACE and
    // leaves *ppObject untouched.
    virtual CSFResult CreateInstance(const CSFIdentifier& iid, void** ppObject) = 0;
    // Destroys the factory; answers 0.
    virtual uint32_t Release() = 0;
    virtual ~ICSFClassFactory() = default;
};

extern "C" {
// CLSID_HostWardenSensor and IID_ICSFClassFactory give the factory (not
// reference counted: every call hands out the same object);
// another class CSF_E_CLASS_NOT_AVAILABLE, another interface
// CSF_E_INVALID_ARGUMENT, both leaving *ppFactory untouched.
using CSFGetClassObjectFunction = CSFResult (*)(const CSFIdentifier* pClassId,
                                                const CSFIdentifier* pInterfaceId,
                                                void** ppFactory);

__attribute__((visibility("default"))) CSFResult CSFGetClassObject(
    const CSFIdentifier* pClassId, const CSFIdentifier* pInterfaceId, void** ppFactory);
}

// The name the host resolves.
inline constexpr const char kCSFGetClassObjectName[] = "CSFGetClassObject";
