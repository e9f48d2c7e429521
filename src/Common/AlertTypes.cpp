#include "Common/AlertTypes.h"

#include <cstring>

const char* const g_szSuspiciousTCP = "SuspiciousTCP";
const char* const g_szSuspiciousUDP = "SuspiciousUDP";
const char* const g_szSuspiciousICMP = "SuspiciousICMP";
const char* const g_szSuspiciousNetworkActivity = "SuspiciousNetworkActivity";
const char* const g_szSuspectPortConnection = "SuspectPortConnection";
const char* const g_szLoginEvent = "LoginEvent";
const char* const g_szUserNormalActivity = "UserNormalActivity";
const char* const g_szUserAbnormalActivity = "UserAbnormalActivity";
const char* const g_szAdminNormalActivity = "AdminNormalActivity";
const char* const g_szAdminAbnormalActivity = "AdminAbnormalActivity";
const char* const g_szResourceShortage = "ResourceShortage";
const char* const g_szSecurityEvent = "SecurityEvent";
const char* const g_szUserDefinedEvent = "UserDefinedEvent";
const char* const g_szApplicationEvent = "ApplicationEvent";
const char* const g_szSensorStatus = "SensorStatus";
const char* const g_szUnknownAlertType = "UnknownAlertType";

namespace {

struct AlertTypeRow {
    int32_t nCode;
    const char* const* ppszName;
};

// In the order a name is looked up.
const AlertTypeRow kAlertTypes[] = {
    {kAlertSuspiciousTCP, &g_szSuspiciousTCP},
    {kAlertSuspiciousUDP, &g_szSuspiciousUDP},
    {kAlertSuspiciousICMP, &g_szSuspiciousICMP},
    {kAlertSuspiciousNetworkActivity, &g_szSuspiciousNetworkActivity},
    {kAlertSuspectPortConnection, &g_szSuspectPortConnection},
    {kAlertLoginEvent, &g_szLoginEvent},
    {kAlertUserNormalActivity, &g_szUserNormalActivity},
    {kAlertUserAbnormalActivity, &g_szUserAbnormalActivity},
    {kAlertAdminNormalActivity, &g_szAdminNormalActivity},
    {kAlertAdminAbnormalActivity, &g_szAdminAbnormalActivity},
    {kAlertResourceShortage, &g_szResourceShortage},
    {kAlertSecurityEvent, &g_szSecurityEvent},
    {kAlertUserDefinedEvent, &g_szUserDefinedEvent},
    {kAlertApplicationEvent, &g_szApplicationEvent},
};

}  // namespace

const char* AlertTypeName(int32_t nCode) {
    for (const AlertTypeRow& row : kAlertTypes) {
        if (row.nCode == nCode) {
            return *row.ppszName;
        }
    }
    return g_szUnknownAlertType;
}

bool IsAlertTypeName(const char* pszName) {
    if (pszName != nullptr) {
        for (const AlertTypeRow& row : kAlertTypes) {
            if (std::strcmp(*row.ppszName, pszName) == 0) {
                return true;
            }
        }
    }
    return false;
}

int32_t AlertTypeCode(const char* pszName) {
    if (pszName != nullptr) {
        for (const AlertTypeRow& row : kAlertTypes) {
            if (std::strcmp(*row.ppszName, pszName) == 0) {
                return row.nCode;
            }
        }
    }
    return kAlertUserDefinedEvent;
}
