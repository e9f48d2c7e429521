// Any bytes as a syslog datagram, taken as the listener takes it (every
// byte, NULs included) and parsed by the syslog engine against rules that
// read every part of it: the demo's expressions, an except rule, and a rule
// without an expression whose pairs use every field and template form.
// Every record must name a rule that matched, and no value may be longer
// than an alert's value carries.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Common/AgentEventInfo.h"
#include "Common/FakeSensorCore.h"
#include "NTSyslog/CEngineNTSyslog.h"
#include "platform/Console.h"
#include "qorCSFLib/CSFSensor.h"

namespace {

constexpr char kTable[] = "\\Advanced\\Rules\\SysLog Rules\\";
constexpr char kUserTable[] = "\\Advanced\\userdefinedsignatures\\SysLog Rules\\";
constexpr uint32_t kSender = 0x0964330Au;  // 10.51.100.9 in network byte order

using Pairs = std::vector<std::pair<const char*, const char*>>;

void AddRule(IPolicyContainer& policy, const std::string& strPath, const char* pszPattern,
             bool bIgnoreCase, bool bExcept, const Pairs& pairs) {
    const bool bTrue = true;
    policy.SetBool(strPath.c_str(), "Enabled", &bTrue);
    policy.SetText(strPath.c_str(), "Log Type", "Syslog");
    if (pszPattern != nullptr) {
        policy.SetText(strPath.c_str(), "Regular Expression", pszPattern);
        policy.SetBool(strPath.c_str(), "Ignore Case", &bIgnoreCase);
        policy.SetBool(strPath.c_str(), "Except", &bExcept);
    }
    const std::string strInfo = strPath + "Info\\";
    for (const auto& [pszName, pszTemplate] : pairs) {
        policy.SetText(strInfo.c_str(), pszName, pszTemplate);
    }
}

// The process-wide pieces the engine reads: the sensor, its policy and the
// stand-in that keeps what the engine reports.
struct Setup {
    CSFSensor m_FrameworkSensor;
    FakeSensorCore m_Core;
    IPolicyContainer* m_pPolicy = CreatePluginPolicyContainer();
    std::unique_ptr<CEngineNTSyslog> m_pEngine;

    Setup() {
        plat::SetConsoleSink([](std::string_view) {});
        m_FrameworkSensor.SetSensorAddress("192.0.2.7");
        const std::string strTable = kTable;
        AddRule(*m_pPolicy, strTable + "Failed su\\",
                "su(\\[[0-9]+\\])?: .*(authentication failure|FAILED SU)", true, false,
                {{"User", "ruser={!} |) {!} on"}, {"Sender", "@Remote"}});
        AddRule(*m_pPolicy, strTable + "Failed log-in\\", "(Failed password for|FAILED LOGIN)", false,
                false,
                {{"User", "invalid user {!} from|for {!} from|FOR '{!}',"},
                 {"AttackOrigin", "from {!} port"}});
        AddRule(*m_pPolicy, strTable + "Not kernel\\", "^<[0-9]+>.*kernel", true, true,
                {{"Facility", "<{!}>"}, {"AttackOrigin", "src={!} "}});
        AddRule(*m_pPolicy, strTable + "Every field\\", nullptr, false, false,
                {{"F0", "@Field0"}, {"F1", "@Field1"}, {"F7", "@Field7"}, {"Far", "@Field600"},
                 {"Letter", "@Fieldx"}, {"Negative", "@Field-3"}, {"Huge", "@Field99999999999"},
                 {"Remote", "@Remote"}, {"Host", "@Host"}, {"File", "@File"}, {"Group", "@Group"},
                 {"Literal", "constant"}, {"Marker", "{!}"}, {"Star", "a*b {!} c*"},
                 {"Alternatives", "x={!};|y={!}|{!}|"}, {"Empty", ""},
                 {"AttackOrigin", "from {!} port"}});
        AddRule(*m_pPolicy, std::string(kUserTable) + "User rule\\", "[[:alpha:]]+\\[[0-9]*\\]",
                false, false, {{"Tag", "]: {!} "}});
        m_Core.m_pPolicy = m_pPolicy;
        m_pEngine = std::make_unique<CEngineNTSyslog>();
        if (m_pEngine->Oninit(0) != 0 || m_pEngine->GetActiveRules().size() != 5) {
            std::abort();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup* s_pSetup = new Setup;
    // Read where the fuzzer put it, which ends at the datagram's own end,
    // so a read past the text is caught.
    s_pSetup->m_pEngine->ParseEntry(kSender,
                                    std::string_view(reinterpret_cast<const char*>(data), size));
    size_t total = 0;
    for (const auto& pRecord : s_pSetup->m_Core.TakeReported()) {
        const Rule* pRule = pRecord->GetRule();
        if (pRule == nullptr || pRecord->m_dwDestinationAddress != kSender) {
            std::abort();
        }
        for (const auto& pair : pRecord->GetInfoPairs()) {
            if (pair.m_strValue.size() > AgentEventInfo::kMaxInfoValueBytes) {
                std::abort();
            }
            total += pair.m_strValue.size();
        }
    }
    return total == SIZE_MAX ? 1 : 0;
}
