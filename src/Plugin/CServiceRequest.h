#pragma once
// The plug-in's service request: one per process, made on first use and
// kept until the host releases it.  Through it the host hands over its
// services object (the logger) and its event handler.

#include "qorCSFLib/CSFSvcRequest.h"

class CServiceRequest : public CSFSvcRequest {
public:
    // The one request, made on the first call; null when it cannot be
    // allocated (the next call tries again).  Never a released request: a
    // release withdraws it, and the next call makes a new one.
    static CServiceRequest* GetInstance();
    // The live request, without making one.
    static CServiceRequest* Peek();

    // "\Advanced\": where the host finds the sensor's advanced parameters.
    const char* GetPolicyRoot() override;
    uint32_t Release() override;
    ~CServiceRequest() override;

private:
    CServiceRequest();
};
