#pragma once
// A host for tests of the plug-in's sensor: recording services and event
// sink, the service request and event registry obtained through the
// sensor's own class factory, and a sensor root in a scratch folder that is
// also the sensor's folder.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Common/AgentEventInfo.h"
#include "Plugin/CClassFactory.h"
#include "Plugin/CHostWarden.h"
#include "hostwarden/ICSFEventHandler.h"
#include "hostwarden/ICSFSvcRequest.h"
#include "hostwarden/IEventRegistry.h"
#include "hostwarden/IPolicyEventInterface.h"
#include "platform/OsVersion.h"
#include "qorCSFLib/FakeHost.h"
#include "support/TestUtil.h"

// Takes records while accepting (and frees them at the end), refuses them
// otherwise.
class RecordingSink : public ICSFEventHandler {
public:
    ~RecordingSink() {
        for (AgentEventInfo* pRecord : m_taken) {
            delete pRecord;
        }
    }
    uint8_t HandleAlert(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                        uint32_t dwFlags) override {
        m_offered.push_back(std::to_string(pInfo->m_nEventId) + " " + pInfo->m_pszName + " " +
                            pInfo->m_pszRuleName + " " + std::to_string(dwWord) + " " +
                            std::to_string(dwFlags));
        if (!m_bAccept) {
            return 0;
        }
        m_taken.push_back(pRecord);
        return 1;
    }
    uint8_t ForwardEvent(uint32_t dwFirst, uint32_t dwSecond) override {
        return static_cast<uint8_t>(dwFirst + dwSecond);
    }
    void RegisterPolicyEvent(const char*, IPolicyEventInterface* pEvent) override {
        pEvent->Release();
    }
    void RegisterDetectorPolicyEvent(const char*, IPolicyEventInterface* pEvent) override {
        pEvent->Release();
    }

    bool m_bAccept = true;
    std::vector<std::string> m_offered;
    std::vector<AgentEventInfo*> m_taken;
};

// Installs a version answer for one test.
class VersionOverride {
public:
    VersionOverride(uint32_t dwPlatform, uint32_t dwMajor, uint32_t dwMinor) {
        m_previous = plat::SetOsVersionSource([=](plat::OsVersion& version) {
            version.m_dwPlatformId = dwPlatform;
            version.m_dwMajorVersion = dwMajor;
            version.m_dwMinorVersion = dwMinor;
            return true;
        });
    }
    ~VersionOverride() { plat::SetOsVersionSource(m_previous); }

private:
    plat::OsVersionSource m_previous;
};

class SensorTestHost : public ::testing::Test {
protected:
    static constexpr const char* kEngines[] = {
        "Decoy Engine",    "IDS Engine", "WebPlugin",         "NTEventlog Engine",
        "NT Syslog", "Text Log Monitor", "Correlation Engine"};
    static constexpr const char* kPolicy =
        "Test policy\n[\\config\\];\nNodekeeper\t=B\t1;\nScriptEnabled\t=B\t0;\n[\\template\\VersionInfo\\];\n"
        "PolicyVersion\t=S\t1.0.1.0;\n";

    void SetUp() override {
        hwtest::WriteWholeFile(m_dir.File("Default.policy"), kPolicy);
        m_pSensor = std::make_unique<CHostWarden>();
        CClassFactory* pFactory = m_pSensor->GetClassFactory();
        void* pObject = nullptr;
        ASSERT_EQ(0u, pFactory->CreateInstance(IID_ICSFSvcRequest, &pObject));
        m_pServiceRequest = static_cast<ICSFSvcRequest*>(pObject);
        m_pServiceRequest->SetServices(&m_services);
        m_pServiceRequest->SetEventHandler(&m_sink);
        ASSERT_EQ(0u, pFactory->CreateInstance(IID_IEventRegistry, &pObject));
        m_pRegistry = static_cast<IEventRegistry*>(pObject);
        m_pSensor->SetBaseDirectory((m_dir.Path() + "/").c_str());
    }

    void TearDown() override {
        if (m_pSensor->GetState() != CHostWarden::kStopped &&
            m_pSensor->GetState() != CHostWarden::kConstructed) {
            m_pSensor->OnStop(nullptr);
        }
        m_pRegistry->Release();
        m_pServiceRequest->Release();
        m_pSensor.reset();
    }

    // The engine steps logged since the last call, as "operation engine".
    std::vector<std::string> TakeSteps() {
        std::vector<std::string> steps;
        const std::string prefix = "Thread list: ";
        for (const std::string& text : m_services.Texts()) {
            if (text.compare(0, prefix.size(), prefix) == 0) {
                steps.push_back(text.substr(prefix.size()));
            }
        }
        m_services.Forget();
        return steps;
    }

    // `operation` on every engine in list order.
    static std::vector<std::string> Each(const std::string& operation) {
        std::vector<std::string> steps;
        for (const char* pszEngine : kEngines) {
            steps.push_back(operation + " " + pszEngine);
        }
        return steps;
    }

    static std::vector<std::string> Then(std::vector<std::string> first,
                                         const std::vector<std::string>& second) {
        first.insert(first.end(), second.begin(), second.end());
        return first;
    }

    hwtest::ScratchDirectory m_dir;
    hwtest::EnvironmentOverride m_sensorRoot{"HostWardenRoot", m_dir.Path().c_str()};
    hwtest::EnvironmentOverride m_daemonRoot{"DaemonRoot", m_dir.Path().c_str()};
    hwtest::EnvironmentOverride m_platformRoot{"QOR_PLATFORM_ROOT",
                                               (m_dir.Path() + "/platform").c_str()};
    RecordingServices m_services;
    RecordingSink m_sink;
    std::unique_ptr<CHostWarden> m_pSensor;
    ICSFSvcRequest* m_pServiceRequest = nullptr;
    IEventRegistry* m_pRegistry = nullptr;
};
