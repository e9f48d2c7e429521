#include "qorCSFLib/CSFPolicyDetectorEvent.h"

#include <cstring>
#include <new>

#include "qorCSFLib/ADFGenericEvent.h"
#include "qorCSFLib/CSFSensor.h"
#include "qorCSFLib/QgGenericEvent.h"

namespace {

constexpr uint32_t kDetectorNameType = 5;
constexpr uint32_t kDetectorAlertType = 1;

}  // namespace

CSFPolicyDetectorEvent::CSFPolicyDetectorEvent() = default;

CSFPolicyDetectorEvent::~CSFPolicyDetectorEvent() = default;

IPolicyEventInterface* CSFPolicyDetectorEvent::CreatePolicyEvent() {
    return new (std::nothrow) CSFPolicyDetectorEvent();
}

const char* CSFPolicyDetectorEvent::GetName() {
    const char* pszName = CSFPolicyEvent::GetName();
    static const char* const kNames[][2] = {{"Detector_Error", "Sensor_Error"},
                                            {"Detector_Warning", "Sensor_Warning"},
                                            {"Detector_Info", "Sensor_Info"}};
    for (const auto& names : kNames) {
        if (std::strcmp(pszName, names[0]) == 0) {
            return names[1];
        }
    }
    return pszName;
}

ICSFAlertEvent* CSFPolicyDetectorEvent::CreateAlertEvent(const CSFAlertParameter* pParameters,
                                                         AgentEventInfo* /*pRecord*/, uint32_t dwLevel) {
    CSFSensor* pSensor = CSFSensor::Current();
    try {
        if (pSensor != nullptr && pSensor->UsesQgEvents() != 0) {
            return new QgGenericEvent(GetName(), GetResponseMask(), GetPriority(), pParameters);
        }
        return new ADFGenericEvent(GetName(), kDetectorNameType, kDetectorAlertType, this, pSensor,
                                   dwLevel, pParameters);
    } catch (const std::exception&) {
        return nullptr;
    }
}

void CSFPolicyDetectorEvent::ReadResponses(IPolicyContainer* pContainer, const char* pszKeyPath) {
    CSFPolicyEvent::ReadResponses(pContainer, pszKeyPath);
    for (CSFResponsePair& response : ExecutedResponses()) {
        if (response.m_strName == "SNMP") {
            response.m_strName = "LOGTRAP";
            break;
        }
    }
}
