#pragma once
// The sensor's advanced parameters: one process-wide record with built-in
// values from load time, read again from the merged policy at every policy
// load.  Only a load writes it, on the control thread while the engines are
// paused; everyone else reads single fields.

#include <cstdint>
#include <string>

class IPolicyContainer;

class SensorSettings {
public:
    SensorSettings();

    // Reads "config" and "\Debug\Log" from the policy, with the defaults of
    // a load for missing keys, and switches the debug trace accordingly.
    void Load(IPolicyContainer* pPolicy);

    static SensorSettings& Instance();

    int32_t m_nTimeout;
    int32_t m_nGuiDown;
    int32_t m_nGuiTimeout;
    int32_t m_nMaxConnections;
    int32_t m_nMaxCnxnThreads;
    int32_t m_nBlackoutPeriod;
    bool m_bEnforceAuditPolicy;
    bool m_bOverwriteLogs;
    bool m_bScriptEnabled;
    bool m_bNodekeeper;
    bool m_bIsapiPlugin;
    bool m_bEnableDebugLogging;
    bool m_bLogToStdErr;
    bool m_bPrintCaller;
    uint32_t m_dwBsmReduceSize;
    std::string m_strBsmReducePolicy;
    int32_t m_nTclRequestQsize;
};
