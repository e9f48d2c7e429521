// The alert road on one core: an engine reports a record (the script
// variables, the sensor's report and correlation gate, the host's sink),
// hwhost's pipeline turns it into the alert event through the rule's policy
// event, serialises the host message and writes the event's XML form.  One
// thread does all of it, the pipeline drained every few alerts, so the
// figure is alerts a second per core.
//
// Beside it, in the same run: making and reporting the record alone into a
// sink that drops it (the sensor's share of the road).
//
//   alert_road_bench [--alerts FILE] [benchmark options]
// The XML goes to /dev/null unless --alerts names a file.

#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "AlertPipeline.h"
#include "Common/CThreadList.h"
#include "HostCommandRequest.h"
#include "HostEventHandler.h"
#include "HostServices.h"
#include "NTSyslog/CEngineNTSyslog.h"
#include "Plugin/CClassFactory.h"
#include "Plugin/CHostWarden.h"
#include "ResponseRunner.h"
#include "hostwarden/CSFIdentifiers.h"
#include "hostwarden/ICSFSvcRequest.h"
#include "hostwarden/IEventRegistry.h"
#include "hostwarden/IPolicyContainer.h"
#include "support/NetworkNamespace.h"
#include "support/TestUtil.h"

namespace {

std::string g_strAlerts = "/dev/null";
constexpr const char kRuleName[] = "Failed log-in";
constexpr const char kLine[] =
    "<38>Jan  1 00:00:00 loadhost sshd[4242]: Failed password for mallory from 203.0.113.5 port 22 "
    "ssh2";
// Alerts handed over between two drains of the pipeline.
constexpr int kBatch = 64;

// A sink that drops every record, for the sensor's share of the road.
class DroppingSink : public ICSFEventHandler {
public:
    explicit DroppingSink(ICSFEventHandler& registrar) : m_registrar(registrar) {}
    uint8_t HandleAlert(AgentEventInfo*, const CSFEventInfo*, uint32_t, uint32_t) override {
        return 0;
    }
    uint8_t ForwardEvent(uint32_t, uint32_t) override { return 0; }
    void RegisterPolicyEvent(const char* pszName, IPolicyEventInterface* pEvent) override {
        m_registrar.RegisterPolicyEvent(pszName, pEvent);
    }
    void RegisterDetectorPolicyEvent(const char* pszName, IPolicyEventInterface* pEvent) override {
        m_registrar.RegisterDetectorPolicyEvent(pszName, pEvent);
    }

private:
    ICSFEventHandler& m_registrar;
};

std::string PolicyValue(const char* pszName, char type, const char* pszValue) {
    return std::string(pszName) + "\t=" + type + "\t" + pszValue + ";\r\n";
}

// The sensor started in a scratch root on a policy of one syslog rule, the
// demo's "Failed log-in" with its display response, and the host's
// services, sink and pipeline as hwhost has them.  Its syslog engine's
// listener runs in the bench's own network namespace and stays idle: the
// bench hands the engine its datagram directly.
class Road {
public:
    explicit Road(bool bDropping = false)
        : m_root(MakeRoot()),
          m_sensorRoot("HostWardenRoot", m_root.c_str()),
          m_daemonRoot("DaemonRoot", m_root.c_str()),
          m_platformRoot("QOR_PLATFORM_ROOT", (m_root + "/platform").c_str()) {
        m_services.Open(m_root + "/logs/hwhost.log");
        std::string error;
        m_pipeline.Open(g_strAlerts, "", error);
        m_pipeline.SetResponseRunner(&m_responses);
        void* pObject = nullptr;
        m_sensor.GetClassFactory()->CreateInstance(IID_ICSFSvcRequest, &pObject);
        m_pRequest = static_cast<ICSFSvcRequest*>(pObject);
        m_pRequest->SetServices(&m_services);
        m_pRequest->SetEventHandler(bDropping ? static_cast<ICSFEventHandler*>(&m_dropping)
                                              : &m_handler);
        m_sensor.GetClassFactory()->CreateInstance(IID_IEventRegistry, &pObject);
        m_pRegistry = static_cast<IEventRegistry*>(pObject);
        m_sensor.SetSensorAddress("192.0.2.7");
        m_sensor.SetBaseDirectory((m_root + "/").c_str());
        m_pCommon = CreatePluginPolicyContainer();
        const bool bTrue = true;
        m_pCommon->SetBool("\\Response\\DISPLAY\\Default", "Enabled", &bTrue);
        m_sensor.OnChangeCommonPolicy(m_pCommon);
        HostCommandRequest request;
        if (m_sensor.Oninit(&request) != 0 || request.GetStatus() != 1) {
            std::fprintf(stderr, "alert_road_bench: the sensor did not start; see %s\n",
                         m_root.c_str());
            std::exit(2);
        }
        m_pEngine = dynamic_cast<CEngineNTSyslog*>(m_sensor.GetThreadList()->Find("NT Syslog"));
    }
    ~Road() {
        HostCommandRequest request;
        m_sensor.OnStop(&request);
        m_pRegistry->Release();
        m_pRequest->SetEventHandler(nullptr);
        m_pRequest->Release();
        m_pCommon->Release();
        std::filesystem::remove_all(m_root);
    }

    void Report() { m_pEngine->ParseEntry(0x0500000A, kLine); }
    uint32_t Drain() { return m_pipeline.Drain(); }

private:
    static std::string MakeRoot() {
        char pattern[] = "/tmp/alert_road_bench.XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::exit(2);
        }
        const std::string root = pattern;
        std::string policy = "Alert road policy\r\n[\\];\r\n[\\config\\];\r\n";
        policy += PolicyValue("ScriptEnabled", 'B', "0") + PolicyValue("Nodekeeper", 'B', "0");
        policy +=
            "[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\];\r\n";
        policy +=
            "[\\Advanced\\Rules\\SysLog Rules\\Info\\];\r\n" + PolicyValue("Sensor", 'S', "@Host");
        const std::string key = std::string("[\\Advanced\\Rules\\SysLog Rules\\") + kRuleName;
        policy += key + "\\];\r\n";
        policy += PolicyValue("Enabled", 'B', "1") + PolicyValue("Priority", 'L', "2") +
                  PolicyValue("Risk Level", 'L', "2") +
                  PolicyValue("Alert Type", 'S', "LoginEvent") +
                  PolicyValue("Regular Expression", 'S', "(Failed password for|FAILED LOGIN)");
        policy += key + "\\Info\\];\r\n";
        policy += PolicyValue("User", 'S', "invalid user {!} from|for {!} from") +
                  PolicyValue("AttackOrigin", 'S', "from {!} port") +
                  PolicyValue("Sender", 'S', "@Remote");
        policy += key + "\\Response\\DISPLAY\\];\r\n";
        policy += PolicyValue("Enabled", 'B', "1") + PolicyValue("Choice", 'S', "Default");
        std::ofstream(root + "/Default.policy", std::ios::binary) << policy;
        return root;
    }

    std::string m_root;
    hwtest::EnvironmentOverride m_sensorRoot;
    hwtest::EnvironmentOverride m_daemonRoot;
    hwtest::EnvironmentOverride m_platformRoot;
    HostServices m_services;
    AlertPipeline m_pipeline{m_services};
    HostEventHandler m_handler{m_pipeline};
    DroppingSink m_dropping{m_handler};
    ResponseRunner m_responses{m_services, m_root, ""};
    CHostWarden m_sensor;
    ICSFSvcRequest* m_pRequest = nullptr;
    IEventRegistry* m_pRegistry = nullptr;
    IPolicyContainer* m_pCommon = nullptr;
    CEngineNTSyslog* m_pEngine = nullptr;
};

void AlertRoad(benchmark::State& state) {
    Road road;
    int pending = 0;
    for (auto _ : state) {
        road.Report();
        if (++pending == kBatch) {
            road.Drain();
            pending = 0;
        }
    }
    road.Drain();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(AlertRoad)->UseRealTime();

void SensorShareOnly(benchmark::State& state) {
    Road road(true);
    for (auto _ : state) {
        road.Report();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(SensorShareOnly)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--alerts") == 0 && i + 1 < argc) {
            g_strAlerts = argv[++i];
            continue;
        }
        args.push_back(argv[i]);
    }
    // The sensor's syslog engine listens on port 514: in a namespace of the
    // bench's own it takes nobody's port.
    if (hwtest::EnterNewNetworkNamespace() != 0) {
        std::fprintf(stderr,
                     "alert_road_bench: cannot make a private network namespace (run as root)\n");
        return 2;
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
