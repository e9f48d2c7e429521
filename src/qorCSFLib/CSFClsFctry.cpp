#include "qorCSFLib/CSFClsFctry.h"

#include <new>

#include "hostwarden/ICSFEventHandler.h"
#include "qorCSFLib/ADFGenericEvent.h"
#include "qorCSFLib/CSFCommonResponseMail.h"
#include "qorCSFLib/CSFCommonResponseUserSpecified.h"
#include "qorCSFLib/CSFEventRegistry.h"
#include "qorCSFLib/CSFSensor.h"
#include "qorCSFLib/CSFSvcRequest.h"
#include "qorCSFLib/QgGenericEvent.h"

namespace {

ICSFAlertEvent* MakeEmptyAlertEvent() {
    CSFSensor* pSensor = CSFSensor::Current();
    if (pSensor != nullptr && pSensor->UsesQgEvents() != 0) {
        return new (std::nothrow) QgGenericEvent();
    }
    return new (std::nothrow) ADFGenericEvent();
}

}  // namespace

CSFResult CSFClsFctry::CreateInstance(const CSFIdentifier& iid, void** ppObject) {
    if (ppObject == nullptr) {
        return CSF_E_INVALID_ARGUMENT;
    }
    void* pObject = nullptr;
    try {
        if (iid == IID_ICSFSensor) {
            pObject = static_cast<ICSFSensor*>(new (std::nothrow) CSFSensor());
        } else if (iid == IID_ICSFSvcRequest) {
            pObject = static_cast<ICSFSvcRequest*>(new (std::nothrow) CSFSvcRequest());
        } else if (iid == IID_IEventRegistry) {
            pObject = static_cast<IEventRegistry*>(new (std::nothrow) CSFEventRegistry());
        } else if (iid == IID_ICSFAlertEvent) {
            pObject = MakeEmptyAlertEvent();
        } else if (iid == IID_IDetectorEventInterface) {
            pObject = static_cast<IDetectorEventInterface*>(new (std::nothrow) CSFLogDetectorEvent());
        } else if (iid == IID_ICSFCommonResponseMail) {
            pObject = static_cast<ICSFCommonResponseMail*>(new (std::nothrow) CCSFCommonResponseMail());
        } else if (iid == IID_ICSFCommonResponseUserSpecified) {
            pObject = static_cast<ICSFCommonResponseUserSpecified*>(
                new (std::nothrow) CCSFCommonResponseUserSpecified());
        } else if (iid == IID_ICSFCrashLogger) {
            pObject = static_cast<ICSFCrashLogger*>(new (std::nothrow) CSFCrashLogger());
        } else {
            return CSF_E_NO_INTERFACE;
        }
    } catch (const std::exception&) {
        pObject = nullptr;
    }
    *ppObject = pObject;
    return CSF_S_OK;
}

uint32_t CSFClsFctry::Release() {
    delete this;
    return 0;
}

CSFClsFctry::~CSFClsFctry() = default;

void CSFCrashLogger::LogCrash(uint32_t /*dwWord*/) {}

uint32_t CSFCrashLogger::Release() {
    delete this;
    return 0;
}

CSFCrashLogger::~CSFCrashLogger() = default;

bool CSFLogDetectorEvent::LogDetectorEvent(uint32_t dwFirst, uint32_t dwSecond) {
    ICSFEventHandler* pHandler = CSFSvcRequest::CurrentEventHandler();
    return pHandler != nullptr && pHandler->ForwardEvent(dwFirst, dwSecond) != 0;
}

uint32_t CSFLogDetectorEvent::Release() {
    delete this;
    return 0;
}

CSFLogDetectorEvent::~CSFLogDetectorEvent() = default;
