// The plug-in's one export.

#include "Plugin/CClassFactory.h"
#include "Plugin/CHostWarden.h"
#include "hostwarden/ICSFClassFactory.h"

extern "C" CSFResult CSFGetClassObject(const CSFIdentifier* pClassId,
                                       const CSFIdentifier* pInterfaceId, void** ppFactory) {
    if (pClassId == nullptr || !(*pClassId == CLSID_HostWardenSensor)) {
        return CSF_E_CLASS_NOT_AVAILABLE;
    }
    if (pInterfaceId == nullptr || !(*pInterfaceId == IID_ICSFClassFactory) ||
        ppFactory == nullptr) {
        return CSF_E_INVALID_ARGUMENT;
    }
    // Not reference counted: every call hands out the sensor's one factory.
    *ppFactory = static_cast<ICSFClassFactory*>(CHostWarden::Instance().GetClassFactory());
    return CSF_S_OK;
}
