#include "qorCSFLib/CSFClsFctry.h"

#include <gtest/gtest.h>

#include "FakeHost.h"
#include "RecordingEventHandler.h"
#include "hostwarden/ICSFCommonResponseMail.h"
#include "hostwarden/ICSFCommonResponseUserSpecified.h"
#include "hostwarden/ICSFSvcRequest.h"
#include "hostwarden/IEventRegistry.h"
#include "qorCSFLib/ADFGenericEvent.h"
#include "qorCSFLib/CSFSensor.h"
#include "qorCSFLib/CSFSvcRequest.h"
#include "qorCSFLib/QgGenericEvent.h"

namespace {

void* Create(CSFClsFctry& factory, const CSFIdentifier& iid) {
    void* pObject = nullptr;
    EXPECT_EQ(factory.CreateInstance(iid, &pObject), CSF_S_OK);
    EXPECT_NE(pObject, nullptr);
    return pObject;
}

}  // namespace

TEST(CSFClsFctry, AlertEventTakesTheFormOfTheCurrentSensor) {
    CSFSensor sensor;
    CSFClsFctry factory;
    AlertEventPtr pAdf(static_cast<ICSFAlertEvent*>(Create(factory, IID_ICSFAlertEvent)));
    EXPECT_NE(dynamic_cast<ADFGenericEvent*>(pAdf.get()), nullptr);
    sensor.SetUsesQgEvents(1);
    AlertEventPtr pQg(static_cast<ICSFAlertEvent*>(Create(factory, IID_ICSFAlertEvent)));
    EXPECT_NE(dynamic_cast<QgGenericEvent*>(pQg.get()), nullptr);
}

TEST(CSFClsFctry, FrameworkObjectsAreMadeByIdentifierAndOthersRefused) {
    CSFClsFctry factory;
    int nMarker = 0;
    void* pObject = &nMarker;
    EXPECT_EQ(factory.CreateInstance(CLSID_TclHandler, &pObject), CSF_E_NO_INTERFACE);
    EXPECT_EQ(pObject, &nMarker);
    EXPECT_EQ(factory.CreateInstance(IID_ICSFCrashLogger, nullptr), CSF_E_INVALID_ARGUMENT);

    EXPECT_EQ(static_cast<IEventRegistry*>(Create(factory, IID_IEventRegistry))->Release(), 0u);
    EXPECT_EQ(static_cast<ICSFCrashLogger*>(Create(factory, IID_ICSFCrashLogger))->Release(), 0u);
    auto* pSensor = static_cast<CSFSensor*>(static_cast<ICSFSensor*>(Create(factory, IID_ICSFSensor)));
    EXPECT_EQ(CSFSensor::Current(), pSensor);
    delete pSensor;
    EXPECT_EQ(static_cast<ICSFSvcRequest*>(Create(factory, IID_ICSFSvcRequest))->Release(), 0u);
    auto* pMail = static_cast<ICSFCommonResponseMail*>(Create(factory, IID_ICSFCommonResponseMail));
    EXPECT_EQ(pMail->Release(), 0);
    auto* pUser = static_cast<ICSFCommonResponseUserSpecified*>(
        Create(factory, IID_ICSFCommonResponseUserSpecified));
    EXPECT_EQ(pUser->Release(), 0);
}

TEST(CSFClsFctry, DetectorEventInterfaceForwardsOnlyWithAHandler) {
    CSFClsFctry factory;
    auto* pDetector = static_cast<IDetectorEventInterface*>(Create(factory, IID_IDetectorEventInterface));
    EXPECT_FALSE(pDetector->LogDetectorEvent(1, 2));
    RecordingEventHandler handler;
    auto* pRequest = new CSFSvcRequest;
    pRequest->SetEventHandler(&handler);
    EXPECT_TRUE(pDetector->LogDetectorEvent(3, 4));
    EXPECT_EQ(handler.m_Forwarded, (std::vector<uint32_t>{3, 4}));
    handler.m_byForwardAnswer = 0;
    EXPECT_FALSE(pDetector->LogDetectorEvent(5, 6));
    pRequest->Release();
    pDetector->Release();
}
