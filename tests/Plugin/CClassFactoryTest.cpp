#include "Plugin/CClassFactory.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "Plugin/CEventRegistry.h"
#include "Plugin/CServiceRequest.h"
#include "Plugin/SensorTestHost.h"
#include "TclHandler/tclHandler.h"
#include "hostwarden/ICSFAlertEvent.h"
#include "hostwarden/ICSFClassFactory.h"
#include "hostwarden/ICSFCommonResponseMail.h"
#include "hostwarden/ICSFSensor.h"

namespace {

const std::string kPlugin = std::string(HW_BINARY_DIR) + "/bin/libhostwarden.so";
constexpr CSFIdentifier kUnknown = {{1u, 2u, 3u, 4u}};
void* const kUntouched = reinterpret_cast<void*>(0x5a5a);

class CClassFactoryTest : public SensorTestHost {
protected:
    CSFResult Create(const CSFIdentifier& iid, void*& pObject) {
        pObject = kUntouched;
        return m_pSensor->GetClassFactory()->CreateInstance(iid, &pObject);
    }
};

}  // namespace

// The real plug-in, loaded as a host loads it.  Like a host, the test never
// unloads it: its static sensor lives until the process ends.
TEST(CSFGetClassObjectTest, WrongClassOrInterfaceIsRefusedAndTheOutPointerKept) {
    void* hModule = dlopen(kPlugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, hModule) << dlerror();
    auto getClassObject = reinterpret_cast<CSFGetClassObjectFunction>(dlsym(hModule, kCSFGetClassObjectName));
    ASSERT_NE(nullptr, getClassObject) << dlerror();
    void* pFactory = kUntouched;

    EXPECT_EQ(0x80040111u, getClassObject(&kUnknown, &IID_ICSFClassFactory, &pFactory));
    EXPECT_EQ(0x80040111u, getClassObject(&kUnknown, &kUnknown, &pFactory));
    EXPECT_EQ(0x80070057u, getClassObject(&CLSID_HostWardenSensor, &kUnknown, &pFactory));
    EXPECT_EQ(kUntouched, pFactory);

    ASSERT_EQ(0u, getClassObject(&CLSID_HostWardenSensor, &IID_ICSFClassFactory, &pFactory));
    void* pAgain = nullptr;
    ASSERT_EQ(0u, getClassObject(&CLSID_HostWardenSensor, &IID_ICSFClassFactory, &pAgain));
    EXPECT_NE(nullptr, pFactory);
    EXPECT_EQ(pFactory, pAgain);
}

TEST(CSFGetClassObjectTest, PluginExportsNothingElse) {
    std::string command = "nm -D --defined-only " + kPlugin;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::string exported;
    std::array<char, 512> line{};
    while (std::fgets(line.data(), line.size(), pipe) != nullptr) {
        // "address type name": code and data symbols only.
        char type = 0;
        char name[256] = {};
        if (std::sscanf(line.data(), "%*s %c %255s", &type, name) == 2 &&
            std::string("TtWwDdBbRrVvi").find(type) != std::string::npos) {
            exported += std::string(name) + " ";
        }
    }
    ASSERT_EQ(0, pclose(pipe));
    EXPECT_EQ("CSFGetClassObject ", exported);
}

TEST_F(CClassFactoryTest, EachIdentifierGetsItsObject) {
    void* pFirst = nullptr;
    void* pSecond = nullptr;
    ASSERT_EQ(0u, Create(IID_ICSFSvcRequest, pFirst));
    ASSERT_EQ(0u, Create(IID_ICSFSvcRequest, pSecond));
    EXPECT_EQ(pFirst, pSecond);
    EXPECT_EQ(static_cast<ICSFSvcRequest*>(m_pServiceRequest), pFirst);

    ASSERT_EQ(0u, Create(IID_IEventRegistry, pFirst));
    ASSERT_EQ(0u, Create(IID_IEventRegistry, pSecond));
    EXPECT_NE(pFirst, pSecond);
    EXPECT_EQ(static_cast<IEventRegistry*>(m_pSensor->GetClassFactory()->GetEventRegistry()),
              pSecond);
    static_cast<IEventRegistry*>(pFirst)->Release();
    static_cast<IEventRegistry*>(pSecond)->Release();
    // A released registry is not kept.
    EXPECT_EQ(nullptr, m_pSensor->GetClassFactory()->GetEventRegistry());

    // Each formatter request makes a new formatter, which the host releases.
    ASSERT_EQ(0u, Create(CLSID_ResponseMail, pFirst));
    ASSERT_EQ(0u, Create(CLSID_ResponseMail, pSecond));
    EXPECT_NE(pFirst, pSecond);
    static_cast<ICSFCommonResponseMail*>(pFirst)->Release();
    static_cast<ICSFCommonResponseMail*>(pSecond)->Release();
}

TEST_F(CClassFactoryTest, SingletonsAreOneForTheProcessAndOthersGoToTheFramework) {
    void* pObject = nullptr;
    void* pHandler = nullptr;
    ASSERT_EQ(0u, Create(CLSID_TclHandler, pHandler));
    ASSERT_EQ(0u, Create(CLSID_TclHandler, pObject));
    EXPECT_EQ(pHandler, pObject) << "the script handler is one for the process";
    tclHandler::DeleteInstance();
    void* pConfig = nullptr;
    ASSERT_EQ(0u, Create(CLSID_IDSConfig, pConfig));
    ASSERT_EQ(0u, Create(CLSID_IDSConfig, pObject));
    EXPECT_NE(nullptr, pObject);
    EXPECT_EQ(pConfig, pObject) << "the IDS configuration is one for the process";
    EXPECT_EQ(0x80004002u, Create(kUnknown, pObject));
    EXPECT_EQ(kUntouched, pObject);
    ASSERT_EQ(0u, Create(IID_ICSFAlertEvent, pObject));
    static_cast<ICSFAlertEvent*>(pObject)->Destroy();
}

// Every caller of the export gets the sensor's one factory, so a host that
// releases it must not end it for the next caller (or for the sensor); a
// released service request is never handed out again.
TEST_F(CClassFactoryTest, ReleasedFactoryStaysUsableAndReleasedRequestIsForgotten) {
    EXPECT_EQ(0u, static_cast<ICSFClassFactory*>(m_pSensor->GetClassFactory())->Release());
    void* pObject = nullptr;
    ASSERT_EQ(0u, Create(IID_ICSFSensor, pObject));
    EXPECT_EQ(static_cast<ICSFSensor*>(m_pSensor.get()), pObject);

    m_pServiceRequest->Release();
    EXPECT_EQ(nullptr, CServiceRequest::Peek());
    EXPECT_EQ(nullptr, m_pSensor->GetClassFactory()->GetServiceRequest());
    ASSERT_EQ(0u, Create(IID_ICSFSvcRequest, pObject));
    m_pServiceRequest = static_cast<ICSFSvcRequest*>(pObject);
    EXPECT_EQ(static_cast<ICSFSvcRequest*>(CServiceRequest::Peek()), m_pServiceRequest);
    EXPECT_STREQ("\\Advanced\\", m_pServiceRequest->GetPolicyRoot());
}
