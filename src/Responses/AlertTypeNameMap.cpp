#include "Responses/AlertTypeNameMap.h"

void FillAlertTypeNameMap(AlertTypeNameMap& map) {
    static const struct {
        int32_t nCode;
        const char* pszName;
    } kRows[] = {
        {101, "SuspiciousTCP"},
        {102, "SuspiciousUDP"},
        {103, "SuspiciousICMP"},
        {104, "SuspiciousARP"},
        {105, "SuspiciousNetworkActivity"},
        {202, "SuspectPortConnection"},
        {203, "HostIDSLoginEvent"},
        {204, "HostIDSUserNormalActivity"},
        {205, "HostIDSUserAbnormalActivity"},
        {206, "HostIDSAdminNormalActivity"},
        {207, "HostIDSAdminAbnormalActivity"},
        {208, "HostIDSResourceShortage"},
        {209, "HostIDSSecurityEvent"},
        {210, "HostIDSUserDefined"},
        {211, "HostIDSApplicationEvent"},
    };
    for (const auto& row : kRows) {
        map[row.nCode] = row.pszName;
    }
}

const char* LookUpAlertTypeName(const AlertTypeNameMap& map, int32_t nCode) {
    auto found = map.find(nCode);
    return found != map.end() ? found->second.c_str() : "unknown";
}
