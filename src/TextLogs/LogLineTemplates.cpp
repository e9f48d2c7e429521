#include "TextLogs/LogLineTemplates.h"

#include <string>

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

bool ResolveLineTemplate(std::string_view strTemplate, std::string_view strLine,
                         std::string& strValue) {
    strValue.clear();
    if (strTemplate.substr(0, sizeof kFieldTemplate - 1) == kFieldTemplate) {
        // The number as atoi reads it (blanks, a sign, digits; 0 without).
        const int nField = AgentEventInfo::ReadInteger(
            std::string(strTemplate.substr(sizeof kFieldTemplate - 1)), 10);
        AgentEventInfo::GetTextField(nField, strLine, strValue);
        return true;
    }
    AgentEventInfo::ResolveInfoTemplate(strTemplate, strLine, strValue);
    return !strValue.empty();
}
