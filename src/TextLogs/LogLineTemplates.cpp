#include "TextLogs/LogLineTemplates.h"

#include <cstdlib>

#include "Common/AgentEventInfo.h"
#include "Common/HelperFunc.h"
#include "platform/Sockets.h"
#include "qorCSFLib/CSFSensor.h"

namespace {

constexpr uint32_t kNoAddress = 0xFFFFFFFFu;
constexpr const char kFieldTemplate[] = "@Field";

}  // namespace

const std::string& LogHostName() {
    static const std::string s_strName = [] {
        std::string strName;
        if (GetLocalHostName(strName) != 0 || strName.empty()) {
            strName = "localhost";
        }
        return strName;
    }();
    return s_strName;
}

uint32_t LogSensorAddress() {
    CSFSensor* pSensor = CSFSensor::Current();
    uint32_t dwAddress = kNoAddress;
    if (pSensor == nullptr || !plat::ParseIpv4Address(pSensor->GetSensorAddress(), dwAddress)) {
        return kNoAddress;
    }
    return dwAddress;
}

bool ResolveLineTemplate(const std::string& strTemplate, const std::string& strLine,
                         std::string& strValue) {
    strValue.clear();
    if (strTemplate.compare(0, sizeof kFieldTemplate - 1, kFieldTemplate) == 0) {
        const int nField = std::atoi(strTemplate.c_str() + sizeof kFieldTemplate - 1);
        AgentEventInfo::GetTextField(nField, strLine, strValue);
        return true;
    }
    AgentEventInfo::ResolveInfoTemplate(strTemplate, strLine, strValue);
    return !strValue.empty();
}
