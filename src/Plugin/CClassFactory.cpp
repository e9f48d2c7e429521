#include "Plugin/CClassFactory.h"

#include <new>

#include "IDS/IDSConfig.h"
#include "Plugin/CEventRegistry.h"
#include "Plugin/CHostWarden.h"
#include "Plugin/CServiceRequest.h"
#include "Responses/FormatEmailResponse.h"
#include "Responses/HostWardenResponseSNMP.h"
#include "Responses/HostWardenResponseUserSpecified.h"
#include "TclHandler/tclHandler.h"
#include "hostwarden/ICSFSensor.h"
#include "hostwarden/ICSFSvcRequest.h"
#include "hostwarden/IEventRegistry.h"

namespace {

// The object seen through the interface the identifier names, or the
// failure to make it.
CSFResult Answer(void** ppObject, void* pInterface) {
    *ppObject = pInterface;
    return pInterface != nullptr ? CSF_S_OK : CSF_E_OUT_OF_MEMORY;
}

}  // namespace

CClassFactory::CClassFactory(CHostWarden* pSensor) : m_pSensor(pSensor) {}

CClassFactory::~CClassFactory() = default;

CSFResult CClassFactory::CreateInstance(const CSFIdentifier& iid, void** ppObject) {
    if (ppObject == nullptr) {
        return CSF_E_INVALID_ARGUMENT;
    }
    // Constructors fill tables and may throw; nothing thrown may reach the
    // host.
    try {
        return MakeObject(iid, ppObject);
    } catch (const std::exception&) {
        return Answer(ppObject, nullptr);
    }
}

CSFResult CClassFactory::MakeObject(const CSFIdentifier& iid, void** ppObject) {
    if (iid == IID_ICSFSensor) {
        return Answer(ppObject, static_cast<ICSFSensor*>(m_pSensor));
    }
    if (iid == IID_ICSFSvcRequest) {
        m_pServiceRequest = CServiceRequest::GetInstance();
        return Answer(ppObject, static_cast<ICSFSvcRequest*>(m_pServiceRequest));
    }
    if (iid == IID_IEventRegistry) {
        // The previous registry is the host's; it is only forgotten here.
        m_pEventRegistry = new (std::nothrow) CEventRegistry(m_pSensor);
        return Answer(ppObject, static_cast<IEventRegistry*>(m_pEventRegistry));
    }
    if (iid == CLSID_ResponseMail) {
        return Answer(ppObject,
                      static_cast<ICSFCommonResponseMail*>(new (std::nothrow) CFormatEmailResponse));
    }
    if (iid == CLSID_ResponseSNMP) {
        return Answer(ppObject, static_cast<ICSFCommonResponseSNMP*>(
                                    new (std::nothrow) CHostWardenResponseSNMP));
    }
    if (iid == CLSID_ResponseUserSpecified) {
        return Answer(ppObject, static_cast<ICSFCommonResponseUserSpecified*>(
                                    new (std::nothrow) CHostWardenResponseUserSpecified));
    }
    if (iid == CLSID_TclHandler) {
        return Answer(ppObject, static_cast<ITclHandler*>(&tclHandler::GetInstance()));
    }
    if (iid == CLSID_IDSConfig) {
        return Answer(ppObject, static_cast<IIDSConfig*>(CIDSConfig::GetInstance()));
    }
    return CSFClsFctry::CreateInstance(iid, ppObject);
}

CServiceRequest* CClassFactory::GetServiceRequest() const {
    // A released request is gone even though this field still names it.
    return m_pServiceRequest != nullptr && m_pServiceRequest == CServiceRequest::Peek()
               ? m_pServiceRequest
               : nullptr;
}

void CClassFactory::ForgetEventRegistry(CEventRegistry* pRegistry) {
    if (m_pEventRegistry == pRegistry) {
        m_pEventRegistry = nullptr;
    }
}

uint32_t CClassFactory::Release() {
    // The sensor owns its factory and the export hands the same one to every
    // caller without counting: a host's release leaves it to the sensor.
    return 0;
}
