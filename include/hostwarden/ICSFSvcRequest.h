#pragma once
// The service request: the object through which the host hands the plug-in
// its services object and its event handler.  The last one constructed is
// the plug-in's route to the host's logger.

#include <cstdint>

class ICSFEventHandler;
class ICSFHostServices;
class IPolicyContainer;

// A host object that receives the policy's template key.
class ICSFTemplateReceiver {
public:
    virtual ~ICSFTemplateReceiver() = default;
    virtual uint32_t ReceiveTemplate(const char* pszTemplate) = 0;
};

class ICSFSvcRequest {
public:
    virtual uint8_t IsInitialized() = 0;
    virtual bool SetServices(ICSFHostServices* pServices) = 0;
    // The host words are opaque to the plug-in; it stores and returns them.
    // The first two keep the first nonzero value they are given.
    virtual bool SetHostWord1(uint32_t dwWord) = 0;
    virtual bool SetHostWord2(uint32_t dwWord) = 0;
    virtual bool Accept(uint32_t dwWord) = 0;
    // The policy section under which the host finds the sensor's own
    // parameters, or null.
    virtual const char* GetPolicyRoot() = 0;
    virtual bool SetEventHandler(ICSFEventHandler* pHandler) = 0;
    // Destroys the object; answers 0.
    virtual uint32_t Release() = 0;
    virtual uint32_t SetHostWord3(uint32_t dwWord) = 0;
    virtual uint32_t GetHostWord3() = 0;
    virtual bool SetTemplateReceiver(ICSFTemplateReceiver* pReceiver) = 0;
    virtual uint32_t SetHostWord4(uint32_t dwWord) = 0;
    virtual ~ICSFSvcRequest() = default;
    // Reads "\template" "key" from the container and hands it to the
    // template receiver; answers (and keeps) the receiver's result.
    virtual uint32_t ReadTemplate(IPolicyContainer* pContainer) = 0;
};
