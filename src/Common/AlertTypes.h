#pragma once
// Alert types: the code every rule and record carries, and its name as the
// policy files and rule scripts spell it.

#include <cstdint>

enum : int32_t {
    kAlertSuspiciousTCP = 101,
    kAlertSuspiciousUDP = 102,
    kAlertSuspiciousICMP = 103,
    kAlertSuspiciousNetworkActivity = 105,
    kAlertSuspectPortConnection = 202,
    kAlertLoginEvent = 203,
    kAlertUserNormalActivity = 204,
    kAlertUserAbnormalActivity = 205,
    kAlertAdminNormalActivity = 206,
    kAlertAdminAbnormalActivity = 207,
    kAlertResourceShortage = 208,
    kAlertSecurityEvent = 209,
    kAlertUserDefinedEvent = 210,
    kAlertApplicationEvent = 211,
};

extern const char* const g_szSuspiciousTCP;
extern const char* const g_szSuspiciousUDP;
extern const char* const g_szSuspiciousICMP;
extern const char* const g_szSuspiciousNetworkActivity;
extern const char* const g_szSuspectPortConnection;
extern const char* const g_szLoginEvent;
extern const char* const g_szUserNormalActivity;
extern const char* const g_szUserAbnormalActivity;
extern const char* const g_szAdminNormalActivity;
extern const char* const g_szAdminAbnormalActivity;
extern const char* const g_szResourceShortage;
extern const char* const g_szSecurityEvent;
extern const char* const g_szUserDefinedEvent;
extern const char* const g_szApplicationEvent;
// Defined with the others but tied to no code.
extern const char* const g_szSensorStatus;
extern const char* const g_szUnknownAlertType;

// The name of a code; "UnknownAlertType" for a code without one (104 too).
const char* AlertTypeName(int32_t nCode);

// The code of a name, compared exactly (case matters); a name that is not
// one of the coded ones, "SensorStatus" included, gives 210.
int32_t AlertTypeCode(const char* pszName);
// Whether the name is one of the table's (exact, case-sensitive).
bool IsAlertTypeName(const char* pszName);
