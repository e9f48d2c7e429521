#include "qorCSFLib/CSFClsFctry.h"

#include <gtest/gtest.h>

#include "RecordingEventHandler.h"
#include "hostwarden/ICSFAlertEvent.h"
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
    return pObject;
}

}  // namespace

TEST(CSFClsFctry, AlertEventTakesTheFormOfTheCurrentSensor) {
    CSFSensor sensor;
    CSFClsFctry factory;
    auto* pAdf = static_cast<ICSFAlertEvent*>(Create(factory, IID_ICSFAlertEvent));
    EXPECT_NE(dynamic_cast<ADFGenericEvent*>(pAdf), nullptr);
    pAdf->Destroy();
    sensor.SetUsesQgEvents(1);
    auto* pQg = static_cast<ICSFAlertEvent*>(Create(factory, IID_ICSFAlertEvent));
    EXPECT_NE(dynamic_cast<QgGenericEvent*>(pQg), nullptr);
    pQg->Destroy();
}

TEST(CSFClsFctry, UnknownIdentifierLeavesTheOutPointerAlone) {
    CSFClsFctry factory;
    int nMarker = 0;
    void* pObject = &nMarker;
    EXPECT_EQ(factory.CreateInstance(CLSID_TclHandler, &pObject), CSF_E_NO_INTERFACE);
    EXPECT_EQ(pObject, &nMarker);
    EXPECT_EQ(factory.CreateInstance(IID_ICSFCrashLogger, nullptr), CSF_E_INVALID_ARGUMENT);
}

TEST(CSFClsFctry, FrameworkObjectsAreMadeByIdentifier) {
    CSFClsFctry factory;
    auto* pRegistry = static_cast<IEventRegistry*>(Create(factory, IID_IEventRegistry));
    ASSERT_NE(pRegistry, nullptr);
    EXPECT_EQ(pRegistry->ConfigureSections(), 0u);
    EXPECT_EQ(pRegistry->Release(), 0u);
    auto* pLogger = static_cast<ICSFCrashLogger*>(Create(factory, IID_ICSFCrashLogger));
    ASSERT_NE(pLogger, nullptr);
    pLogger->LogCrash(5);
    EXPECT_EQ(pLogger->Release(), 0u);
    auto* pSensor = static_cast<ICSFSensor*>(Create(factory, IID_ICSFSensor));
    ASSERT_NE(pSensor, nullptr);
    EXPECT_EQ(CSFSensor::Current(), static_cast<CSFSensor*>(pSensor));
    delete static_cast<CSFSensor*>(pSensor);
    auto* pRequest = static_cast<ICSFSvcRequest*>(Create(factory, IID_ICSFSvcRequest));
    ASSERT_NE(pRequest, nullptr);
    EXPECT_EQ(pRequest->Release(), 0u);
}

TEST(CSFClsFctry, ResponseFormattersAreMadeForTheirInterfaces) {
    CSFClsFctry factory;
    auto* pMail = static_cast<ICSFCommonResponseMail*>(Create(factory, IID_ICSFCommonResponseMail));
    ASSERT_NE(pMail, nullptr);
    EXPECT_FALSE(pMail->ExtractEventData(nullptr));
    EXPECT_EQ(pMail->Release(), 0);
    auto* pUser = static_cast<ICSFCommonResponseUserSpecified*>(Create(factory, IID_ICSFCommonResponseUserSpecified));
    ASSERT_NE(pUser, nullptr);
    EXPECT_EQ(pUser->Release(), 0);
}

TEST(CSFClsFctry, DetectorEventInterfaceForwardsOnlyWithAHandler) {
    CSFClsFctry factory;
    auto* pDetector = static_cast<IDetectorEventInterface*>(Create(factory, IID_IDetectorEventInterface));
    ASSERT_NE(pDetector, nullptr);
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
