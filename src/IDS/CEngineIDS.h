#pragma once
// The network engine of the sensor ("IDS Engine").  It owns what all network
// adapters share: the packet-capture driver library's own five entry points
// and its table of 40 adapter records (which the capture library reads too),
// the signature-module manager, one IDS slave engine per monitored adapter
// with their own thread list, the watchdog that ends the process when a
// slave stays inside the signature module too long, and the queue through
// which slaves hand alert records to this engine's thread.  Its own rules
// are the IDS signature rules and the Bastion firewall rules; the tables
// built from them live in the process's IDS configuration.
//
// Lifecycle operations come from the sensor's command thread; an adapter
// update comes from the packet library's notification thread, under the
// sensor's policy lock.  Both change the slaves only under the engine's
// slave-operations lock, so an update never meets a pause or a stop half
// way.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Common/EngineBase.h"
#include "IDS/BastionPolicyEvent.h"
#include "IDS/IDSEventQueue.h"
#include "IDS/IIDSConfig.h"
#include "IDS/InitializeIDSRules.h"
#include "qorToolsLib/DynamicLibrary.h"
#include "qorToolsLib/jsSync.h"
#include "rawpacket/PacketDllApi.h"

class CCallbackTimer;
class CEngineIDSSlave;
class CPolicyEvent;
class CThreadList;
class ICSFClassFactory;

class CEngineIDS : public CEngineBase, public IIDSMasterEngine {
public:
    static constexpr uint32_t kCustomerId = 123;
    static constexpr uint32_t kWatchdogPeriodMs = 1000;
    // How long a start waits for its slaves' threads to report.
    static constexpr uint32_t kDefaultSlaveReadyWaitMs = 30000;
    // The packet library's answer to a second initialisation, a success.
    static constexpr uint32_t kPacketAlreadyInitialised = 0xE0001033u;

    // What the engine needs of the sensor around it.
    struct Site {
        // The prototype every rule section is registered with.
        CPolicyEvent* pPrototype = nullptr;
        // Hands out the IDS configuration.
        ICSFClassFactory* pFactory = nullptr;
        // Handed to the packet library: called when its adapters change.
        rp::PacketNotifyFn pfnAdapterNotify = nullptr;
        // The sensor's folder, ending with a separator.
        std::function<std::string()> sensorDirectory;
    };

    explicit CEngineIDS(Site site);
    ~CEngineIDS() override;
    CEngineIDS(const CEngineIDS&) = delete;
    CEngineIDS& operator=(const CEngineIDS&) = delete;

    int32_t Oninit(uint32_t dwArgument) override;
    int32_t OnStart(uint32_t dwArgument) override;
    int32_t OnStopInit(uint32_t dwArgument) override;
    int32_t OnStop(uint32_t dwArgument) override;
    int32_t OnReloadPolicy(uint32_t dwArgument) override;
    int32_t OnPauseInit(uint32_t dwArgument) override;
    int32_t OnPause(uint32_t dwArgument) override;
    // Also when an adapter engine's thread is left running.
    bool LeavesThreadRunning() override;
    // With the rules of each adapter engine.
    void HandRulesToScripts(ITclHandler& handler) override;
    int32_t OnResume(uint32_t dwArgument) override;
    int32_t ConfigureEventSections(CSFEventRegistry* pRegistry) override;
    int32_t PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) override;
    bool DescribeInput(std::string& strInput) override;
    // Network monitoring is on but capture could not be set up (the packet
    // library, its adapter list, the signature module or its issue table
    // failed), or an adapter engine could not set its adapter up: a resume
    // tries it again.
    bool InputMayComeBack() override;

    bool LoadPacketDriver();
    void UnloadPacketDriver();
    // 0 when the signature module and its issue table are loaded, else 1.
    int32_t InitializeZAM(IPolicyContainer* pPolicy);
    int32_t ReleaseZam();
    // Configures the IDS configuration from this engine's rules: 0, or 1
    // when network monitoring is off or the configuration failed.
    int32_t Initialize() override;
    void Shutdown() override;

    // Reads the packet library's adapter list again and adds or removes
    // slaves to match: 0, or the library's error (the slaves and the library
    // stay as they were).
    uint32_t UpdateAdapterList();
    // The part of an update that needs no policy, for an update that comes
    // while a command holds the policy: while a reload keeps the adapters'
    // frames from the rules, an adapter that came on-line gets its engine
    // and has its frames kept at once, for the reload's resume to analyse.
    void KeepFramesOfAdaptersCome();
    // The watchdog's check, every second on the timer's thread.
    void CheckSlaveTimeouts();
    // The signature module's exception handler: every slave writes its
    // crash record, then the process ends with exit code 2.
    static void OnZamException(const char* pszMessage);
    // True when every slave started by the last start has reported.
    bool AllSlavesReady() const;

    // For tests: a start's bounded wait, and what the engine holds.
    static void SetSlaveReadyWait(uint32_t dwMilliseconds);
    IDSEventQueue& GetEventQueue() { return m_EventQueue; }
    std::vector<std::string> GetSlaveNames() const;
    bool IsPacketLibraryLoaded() const { return m_bPacketLibraryLoaded; }
    bool IsZamInitialized() const { return m_bZamInitialized; }
    bool IsConfigured() const { return m_bConfigured; }
    bool IsInlineReceive() const { return m_bInlineReceive; }
    bool IsInlineTransmit() const { return m_bInlineTransmit; }
    float GetMaxMemoryFactor() const { return m_fMaxMemoryFactor; }
    const std::string& GetZamModule() const { return m_strZamModule; }

protected:
    uint32_t _doWork() override;
    // Makes the slave of one adapter; tests put in slaves of their own.
    virtual CEngineIDSSlave* CreateSlave(const std::string& strAdapter, uint32_t dwFlags);

private:
    int32_t InitializeCapture(IPolicyContainer* pPolicy, bool bAtReload);
    // Whether network monitoring is on and capture is not set up, outside
    // a start-up and after a stop; under the operations lock.
    bool LacksCapture() const;
    void SetUpCaptureAtReload();
    void SetUpCaptureAtResume(uint32_t dwArgument);
    // The adapters whose engines' last set-up failed, in slave order.
    std::vector<std::string> AdaptersNotSetUp() const;
    bool ReadAdapterTable(bool bZeroFirst, uint32_t& dwError);
    void FreePacketLibrary();
    void OpenCrashLog(IPolicyContainer* pPolicy);
    void SetPacketParameters(IPolicyContainer* pPolicy);
    void CreateSlaves();
    // The adapters the library now reports on-line that have no slave yet,
    // and those it reports off-line; false, with `dwError`, when capture is
    // not set up or the list cannot be read.  Under the operations lock.
    bool ReadAdapterChanges(std::vector<std::pair<std::string, uint32_t>>& online,
                            std::vector<std::string>& offline, uint32_t& dwError);
    // Makes the slave of an adapter that came on-line while the slaves are
    // paused; the next resume starts it.
    void AddSlaveWhilePaused(const std::string& strAdapter, uint32_t dwFlags);
    // Makes the slave of an adapter and enters it in both slave lists.
    CEngineIDSSlave* AddSlave(const std::string& strAdapter, uint32_t dwFlags);
    // Takes the slave of that name out of the process-wide list; false when
    // there is none.
    bool ForgetSlave(const std::string& strAdapter);
    bool HasSlave(const std::string& strAdapter) const;
    // Says on the console that an adapter that came on-line after the start
    // is watched now (or why it is not), and has the status read again.
    void SayAdapterCame(const std::string& strAdapter, const char* pszAt);
    // Stops and deletes every slave; `bSensorStop` when the sensor stops,
    // whose tally counts the frames their captures still held.
    void DeleteSlaves(bool bSensorStop = false);
    // Sets the IDS configuration's switch from the policy; answers it.
    bool RefreshIDSEnabled();
    // Starts (or resumes) the configuration and the slaves; logs
    // `pszDisabled` when network monitoring is off.
    void StartMonitoring(uint32_t dwArgument, bool bResume, const char* pszDisabled);
    void WaitForSlaves(uint32_t dwSlaves);
    void DrainQueue();
    void StopTimer();
    std::string SensorDirectory() const;

    rp::PacketInitFn m_pfnPacketInit = nullptr;
    rp::PacketTermFn m_pfnPacketTerm = nullptr;
    rp::PacketSetParameterFn m_pfnPacketSetParameter = nullptr;
    rp::PacketGetAdapterListFn m_pfnPacketGetAdapterList = nullptr;
    rp::PacketSetNotifyRoutineFn m_pfnPacketSetNotifyRoutine = nullptr;
    std::unique_ptr<CCallbackTimer> m_pTimer;
    std::string m_strZamModule;
    bool m_bZamInitialized = false;
    bool m_bPacketLibraryLoaded = false;
    float m_fMaxMemoryFactor = 0.75f;
    std::unique_ptr<CThreadList> m_pIThreadList;
    bool m_bConfigured = false;
    CInitializeBastionRules m_BastionReader;
    CInitializeIDSRules m_IDSReader;
    CInitializeUserIDSRules m_UserIDSReader;
    bool m_bInlineReceive = false;
    bool m_bInlineTransmit = false;
    IIDSConfig* m_pIDSConfig = nullptr;
    DynamicLibrary m_PacketLibrary;
    std::string m_strPacketLibraryName = "DUSKDLL.DLL";
    IDSEventQueue m_EventQueue;
    // Why the last set-up left the engine without capture, in words, for
    // the summaries; empty when capture is set up or monitoring is off.
    std::string m_strCaptureProblem;

    Site m_Site;
    CBastionPolicyEvent m_BastionEvent;
    // Held by every operation that changes or walks the slave thread list.
    mutable jsFastSync m_SlaveOpsLock;
    // Between a start (or resume) and a pause (or stop): slaves added by an
    // update are started only then.
    bool m_bSlavesRunning = false;
    // The slaves were paused by a reload, which keeps their frames.
    bool m_bPausedForReload = false;
    // Adapters that came on-line while the slaves were paused: their
    // engines start at the next resume, which says them.
    std::vector<std::string> m_AdaptersCameWhilePaused;
    bool m_bStopped = false;
    bool m_bInOninit = false;
    // Oninit has run, whatever its outcome.
    bool m_bInitialised = false;
    // A policy load read the rules since the engine last started or
    // resumed, and tried to set capture up: the resume after it does not
    // try again, nor say which adapters it brought back (the load's summary
    // says what each engine watches).
    bool m_bRulesRead = false;
    // Slaves started by the last start, which its wait counts on.
    uint32_t m_dwStartedSlaves = 0;
};
