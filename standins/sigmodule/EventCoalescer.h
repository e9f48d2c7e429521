#pragma once
// Combines repeated matches of one issue between the same intruder and
// victim into one event.  A group is handed out when it is older than the
// age time (on Age), when it fills, or on Flush; with "combine" off every
// match goes out at once.  Every record the caller hands in comes back in
// exactly one output call.

#include <cstdint>
#include <string>
#include <vector>

#include "qorZamSensorLib/ZamModuleApi.h"

namespace sigmod {

class EventCoalescer {
public:
    EventCoalescer(zam::ZamCoalescerOutputFn output, void* context);
    ~EventCoalescer();

    int32_t SetParameter(const char* pszName, const char* pszValue);
    int32_t Process(uint32_t dwTime, uint32_t dwIssueId, uint32_t dwCount, uint32_t dwFlags,
                    uint32_t dwVictim, uint32_t dwIntruder, uint32_t dwVictimPort,
                    uint32_t dwIntruderPort, uint32_t dwReportType, uint32_t dwPacketFlags,
                    const char* pszParams, void* pRecord);
    void Age(uint32_t dwNow);
    void Flush();

private:
    static constexpr size_t kMaxGroups = 256;
    static constexpr size_t kMaxRecordsPerGroup = 64;

    struct Group {
        uint32_t m_dwStart, m_dwEnd, m_dwIssueId, m_dwCount, m_dwFlags;
        uint32_t m_dwVictim, m_dwIntruder, m_dwVictimPort, m_dwIntruderPort;
        uint32_t m_dwReportType, m_dwPacketFlags;
        std::string m_strParams;
        bool m_bHasParams;
        std::vector<void*> m_Records;
    };

    void Emit(size_t index);

    zam::ZamCoalescerOutputFn m_pfnOutput;
    void* m_pContext;
    bool m_bCombine = true;
    uint32_t m_dwAgeTime = 5;
    std::vector<Group> m_Groups;
};

}  // namespace sigmod
