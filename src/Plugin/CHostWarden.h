#pragma once
// The plug-in's one sensor.  The host drives it through the framework's
// sensor interface (start-up, reload, pause, resume, stop); it assembles the
// policy from its files, creates and drives the engines through its thread
// list, publishes the policy to them while they read it, and is the end of
// every alert's road: engines and the script handler report records here,
// and the sensor passes them, after the correlation gate, to the host's
// event sink.
//
// The object is static: built while the library loads and never deleted by
// the host.  Its commands arrive one at a time on the host's command thread;
// the report path runs on any engine thread at the same time.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Common/ISensorCore.h"
#include "Plugin/PolicyLoader.h"
#include "Plugin/ProductLocation.h"
#include "Plugin/ProtectionControl.h"
#include "qorCSFLib/CSFSensor.h"
#include "qorToolsLib/jsSync.h"

class AgentEventInfo;
class CClassFactory;
class CEngineIDS;
class CEventRegistry;
class CPolicyEvent;
class CServiceRequest;
class CThreadList;
class ICSFCommandRequest;
class ICSFEventHandler;
class IPolicyContainer;
class ITclHandler;
class Rule;
class RuleContainer;
class tclHandler;

class CHostWarden : public CSFSensor, public ISensorCore {
public:
    enum State : uint32_t {
        kConstructed = 0,
        kInitialising = 1,
        kStarted = 2,
        kPaused = 3,
        kReloading = 4,
        kResumed = 5,
        kStopped = 6,
    };

    CHostWarden();
    ~CHostWarden() override;
    CHostWarden(const CHostWarden&) = delete;
    CHostWarden& operator=(const CHostWarden&) = delete;

    // The library's static sensor.
    static CHostWarden& Instance();

    // ICSFSensor overrides.
    uint32_t Oninit(ICSFCommandRequest* pRequest) override;
    uint32_t OnStop(ICSFCommandRequest* pRequest) override;
    uint32_t OnReloadPolicy(ICSFCommandRequest* pRequest) override;
    uint32_t OnPause(ICSFCommandRequest* pRequest) override;
    uint32_t OnResume(ICSFCommandRequest* pRequest) override;
    uint32_t OnUpdateCompleted(ICSFCommandRequest* pRequest) override;
    // A command waits: a reload waiting for its inputs to catch up gives
    // way to it.
    void WakeSensorThread() override;
    // Answers, as the text of the completed request, the engine lines as
    // they are now (those a start-up or reload answers), so that the host
    // can follow what runs after a load; logs nothing.
    uint32_t OnStatusRequest(ICSFCommandRequest* pRequest) override;
    uintptr_t OnChangeCommonPolicy(IPolicyContainer* pCommonPolicy) override;
    uint32_t Delete() override;
    uint32_t SetBaseDirectory(const char* pszDirectory) override;

    // The sensor's own operations.
    virtual uint32_t StartEngines(ICSFCommandRequest* pRequest);
    uint8_t ReportEvent(AgentEventInfo* pRecord) override;
    uint8_t LogToCSF(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                     uint32_t dwFlags) override;
    uint8_t DeliverToHost(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                          uint32_t dwFlags) override;
    uint8_t ForwardToEventSink(uint32_t dwFirst, uint32_t dwSecond) override;
    // Start-up and reload accept what they load; an adapter update reads
    // the accepted policy only (see PolicyLoader).
    virtual bool LoadPolicy(IPolicyContainer* pContainer, bool bReload);

    // Called when the capture library reports a change of adapters: the
    // network engine rebuilds its adapter engines under a freshly loaded
    // policy.  0 when it did, 1 otherwise.
    uint32_t UpdateAdapterList();
    // The routine the network engine hands the packet library: the sensor
    // in force updates its adapter list.
    static void AdapterListChanged();
    // The "HostWardenRoot" location; empty before the host set the base
    // directory or when the location does not exist.
    const char* GetSensorDirectory() const;
    ITclHandler* GetTclHandler() override;
    bool IsValidResponse(const char* pszName, const char* pszChoice) override;
    bool HasResponseDefinitions() override;
    RuleContainer* GetRuleContainer() override;
    IPolicyContainer* GetCurrentPolicy() override;

    uint32_t GetState() const { return m_dwState.load(); }
    const std::string& GetRuleDefinitionPath() const { return m_strRuleDefinitionPath; }
    CThreadList* GetThreadList() const { return m_pThreadList; }
    CClassFactory* GetClassFactory() const { return m_pClassFactory; }
    CPolicyEvent* GetPolicyEvent() const { return m_pPolicyEvent; }
    const PolicyLoader& GetPolicyLoader() const { return m_policyLoader; }
    ProtectionControl& GetProtectionControl() { return m_protectionControl; }

private:
    bool LoadPolicy(IPolicyContainer* pContainer, bool bReload, PolicyLoader::LoadKind kind);
    // Reports a failed command to the host: status 2 with the text.
    void FailRequest(ICSFCommandRequest* pRequest, const char* pszText);
    // Why the last policy load failed, for the host.
    std::string LoadFailureText() const;
    void ChooseRuleDefinitions();
    void PublishPolicy(IPolicyContainer* pContainer);
    // Adapter updates run between the end of start-up and the stop; one
    // that arrives during start-up runs when it ends.
    void OpenAdapterUpdates();
    void CloseAdapterUpdates();
    // An update that came while the policy lock was held runs once the
    // host's thread has let it go.
    void AnswerPendingAdapterUpdate();
    // With the policy lock held.
    uint32_t UpdateAdapterListLocked();
    void WithdrawPolicy();
    // Deletes the rules in force, or keeps them aside while a stuck engine
    // may read them; deletes the rules kept aside once no engine can.
    void DeleteRules();
    // The stop of what engines left running: what they may use is left to
    // the end of the process, and the host is told (the stop's status text).
    void LeaveStuckEngines(ICSFCommandRequest* pRequest, const std::string& strStuck);
    void LogIsapiPlugin();
    // One line per engine (name, rules in force, what it watches, and
    // whether it runs without its input, or is paused by the host), answered
    // as the text of the request, for the host's summary.  An engine left
    // without input by `pszAfter` ("start-up", "reload", "resume") is a
    // warning with a console copy; with `bLogEvery` the other lines are
    // logged too.  Without `pszAfter` nothing is logged: what a command
    // left was said by that command.
    std::string DescribeEngines(const char* pszAfter, bool bLogEvery) const;
    // The rule scripts' line of that summary, said and kept the same way
    // when scripting is off against the policy's wish.
    std::string DescribeScripts(const char* pszAfter, bool bLogEvery) const;
    // The warning of an engine (or the rule scripts) left without input by
    // a command, said and kept; and, once it has its input again (seen by
    // any description, the host's status requests too), taken back from
    // the host's findings, as one replaced by another warning is.
    void SayWithout(const std::string& strWhat, const char* pszAfter, const std::string& strLine) const;
    void EndWithout(const std::string& strWhat) const;
    // The container of the policy in force replaces the one kept before;
    // null releases it.
    void KeepPolicyInForce(IPolicyContainer* pContainer);
    // Resumes every engine with the container published (none when null),
    // handing them `dwArgument` (a reload's, or the host's resume).
    void ResumeEngines(IPolicyContainer* pContainer, uint32_t dwArgument);
    // The host's registry and service request as the factory last handed
    // them out; asked for at each use, since the host may release them.
    CEventRegistry* EventRegistry() const;
    CServiceRequest* ServiceRequest() const;

    // The script handler is held from start-up to stop; these switch it
    // by the settings and (re)start it, and stop it.  `bSummary`: the
    // command's summary waits for what the process says of the scripts.
    void StartScriptHandler(bool bSummary = true);
    void ReportScriptOutcomes();
    void ReportInputBounds();
    void ShutDownScriptHandler();
    // Tells the script handler that the engines run again after its start.
    void NoteEnginesResumed();
    // Every engine registers with the script handler while scripting is on.
    void RegisterEnginesForScripts();
    // Scripting on in the policy but off for the handler (given up after
    // the process ended too often, or failed to set up, its store not
    // opened say): the handler gets the rules in force and starts again.
    // True when it was tried and scripting is still off.
    bool RestartGivenUpScripts();
    // Engines left without input by something that may have passed (a
    // port another program held) are paused and resumed, as a reload that
    // reads a policy does, so they try their input again; false when none
    // was (or the host holds the sensor paused).
    bool RetryEnginesWithoutInput();
    // Starts the handler (shut down, or given up) with the rules in force
    // and the tuning of the policy in force.
    void RestartScriptsWithRulesInForce(bool bSummary = true);
    void RunAuditSetUp();
    // Decides from the published policy whether the protection service
    // runs, and starts or stops it to match; stops it at the sensor's stop.
    void ApplyProtection();
    void StopProtection();

    std::string m_strRuleDefinitionPath;
    std::atomic<uint32_t> m_dwState{kConstructed};
    // Between the host's pause and its resume: a reload then leaves the
    // engines paused.
    bool m_bHostPaused = false;
    // Owns every rule the engines read; they are deleted through it.
    RuleContainer* m_pRuleContainer = nullptr;
    // Rules a reload replaced while an engine stuck in its thread could
    // still read them; deleted once no engine can.
    std::vector<Rule*> m_RetiredRules;
    CPolicyEvent* m_pPolicyEvent = nullptr;
    std::unique_ptr<ProductLocation> m_pProductLocation;
    tclHandler* m_pTclHandler = nullptr;
    CThreadList* m_pThreadList = nullptr;
    CClassFactory* m_pClassFactory = nullptr;
    // Read by engine threads while the command thread sets them.
    std::atomic<ICSFEventHandler*> m_pEventHandler{nullptr};
    std::atomic<IPolicyContainer*> m_pCurrentPolicy{nullptr};
    // The policy the engines run with, from the last load put in force:
    // what they set themselves up with again after a refused reload.  Only
    // the host's command thread uses it.
    IPolicyContainer* m_pPolicyInForce = nullptr;
    // The network engine, owned by the thread list; adapter updates reach
    // it from the packet library's thread.
    CEngineIDS* m_pIdsEngine = nullptr;
    std::atomic<bool> m_bAdapterUpdates{false};
    std::atomic<bool> m_bAdapterUpdatePending{false};
    // Held by an update that keeps the frames of adapters come while a
    // command holds the policy, and by the stop as it ends updates: once
    // that is done none is in the engine, and none enters it.
    std::mutex m_AdapterKeepLock;
    // What SayWithout said last of each engine (by name) still without
    // its input; the command thread's alone.
    mutable std::map<std::string, std::string> m_SaidWithout;
    // The common policy and the response table.
    PolicyLoader m_policyLoader;
    ProtectionControl m_protectionControl;
};
