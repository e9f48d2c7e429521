#pragma once
// The buffer-overflow protection service beside the sensor ("GapFix").  The
// sensor does not configure the protection itself: after every policy load
// it decides whether the service should run, reports how many system calls
// the policy leaves without protection, and starts or stops the service to
// match; a sensor stop always stops it.
//
// Every service operation is serialised by one lock, which a thread may take
// again while it holds it (the running-state query runs inside apply and
// stop).  Failures are logged and answered as false; the sensor's commands
// go on regardless.

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include "qorToolsLib/jsSync.h"

class IPolicyContainer;
namespace plat {
class Service;
}

class ProtectionControl {
public:
    // The service is waited for in steps of the poll interval, up to the
    // limit, after a start and after a stop.  Tests shorten the interval.
    struct Timing {
        uint32_t m_dwPollMs = 2000;
        uint32_t m_dwLimitMs = 120000;
    };

    static constexpr const char* kServiceName = "GapFix";

    ProtectionControl() = default;
    explicit ProtectionControl(Timing timing) : m_timing(timing) {}
    ProtectionControl(const ProtectionControl&) = delete;
    ProtectionControl& operator=(const ProtectionControl&) = delete;

    // Sets the switch from the operating-system version, the policy and the
    // script handler's switch, and logs the unprotected-call count.
    void ConfigureProtection(IPolicyContainer* pPolicy, bool bScriptingEnabled);
    // Starts or stops the service to match the switch.
    void ApplyProtectionService();
    // Stops the service when it runs.
    void StopProtectionService();

    bool IsProtectionServiceRunning();
    bool StartProtectionService();
    bool StopProtectionServiceNow();

    // 0 when the section cannot be listed, 1 when it adds no unprotected
    // call, otherwise minus the number of calls it newly leaves unprotected.
    // `seen` holds the calls of the sections already counted in this load,
    // whatever their mode; a call is counted the first time it is seen only.
    static int32_t CountUnprotectedCalls(IPolicyContainer* pPolicy, const char* pszSection,
                                         std::set<std::string>& seen);

    bool IsProtectionOn() const { return m_bProtection.load() != 0; }
    void SetTiming(Timing timing) { m_timing = timing; }

private:
    // Polls the service until it is in the wanted state, up to the limit.
    bool WaitForState(plat::Service& service, uint32_t dwWanted, const char* pszQueryFailure,
                      const char* pszTimedOut);

    Timing m_timing;
    std::atomic<uint8_t> m_bProtection{1};
    qorFastSync m_protectionLock;
};
