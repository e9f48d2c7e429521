#include "Plugin/CHostWarden.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ApacheEngine/CEngineApache.h"
#include "Common/AgentEventInfo.h"
#include "Common/CatchUps.h"
#include "Common/CEngineCorrelation.h"
#include "Common/EngineBase.h"
#include "Common/InputBounds.h"
#include "Common/Rule.h"
#include "Common/RuleContainer.h"
#include "Common/ScriptOutcomes.h"
#include "Common/SensorSettings.h"
#include "Decoy/CEngineDecoy.h"
#include "IDS/CEngineIDS.h"
#include "Plugin/CClassFactory.h"
#include "Plugin/CEventRegistry.h"
#include "Common/CPolicyEvent.h"
#include "Common/PolicyKeyAudit.h"
#include "NTEvents/Audit/InitializeStrategy.h"
#include "NTEvents/CEngineNTEvents.h"
#include "NTSyslog/CEngineNTSyslog.h"
#include "TextLogs/CEngineTextLog.h"
#include "Plugin/CServiceRequest.h"
#include "Plugin/CorrelationCheck.h"
#include "Common/CThreadList.h"
#include "Plugin/PolicyFiles.h"
#include "Plugin/RuleLossCheck.h"
#include "Plugin/RuleNameCheck.h"
#include "TclHandler/tclHandler.h"
#include "hostwarden/ICSFCommandRequest.h"
#include "hostwarden/ICSFEventHandler.h"
#include "hostwarden/IPolicyContainer.h"
#include "platform/Descriptors.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/NamedObject.h"
#include "platform/OsVersion.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/jsFastLock.h"

namespace {

// Made before the sensor, in this order, during the library's static
// initialisation: the policy lock and the policy file names.
jsRecursiveSync g_policyLock;
using PolicyLock = jsScopedLock<jsRecursiveSync>;
const std::string g_strPushPolicy = "push.policy";

constexpr const char kRuleDefinitions2K3[] = "RuleDef_Win_2K3.policy";
constexpr const char kRuleDefinitions2K[] = "RuleDef_Win_2K.policy";
constexpr const char kIdsEngineName[] = "IDS Engine";
constexpr const char kPolicyLoadFailure[] = "The sensor policy could not be loaded.";
// What the summary says of an engine that runs but cannot receive anything.
constexpr const char kWithoutInput[] = "WITHOUT INPUT";
// The summary's line about the rule scripts, and whether it says they are
// off against the policy's wish.
constexpr const char* kScriptsLine = tclHandler::kScriptsLine;

bool IsScriptsOffLine(const std::string& strLine) {
    return strLine.rfind(std::string(kScriptsLine) + tclHandler::kScriptsOff, 0) == 0;
}

// The argument of the host's own commands; a reload hands its engines
// CEngineBase::kReloadArgument, so that they keep their inputs open.
constexpr uint32_t kEngineArgument = CEngineBase::kHostArgument;
constexpr uint32_t kReloadArgument = CEngineBase::kReloadArgument;

// A load as the lines of what bounds left out during it name it.
constexpr const char kStartUpLoad[] = "start-up";
constexpr const char kReloadLoad[] = "reload";

// The inputs that hand a backlog to their resumed engines catch up with it
// before the reload reports: what they lose until then is the reload's,
// counted by their bounds before InputBounds::EndLoad says them.  A backlog
// a sender can keep growing does not hold the reload past the deadline,
// nor past a command the host has for the reload's thread since the
// reload began (`qwCommandsSeen`): a stop waits behind the reload, and
// has a bound of its own.  What is behind then is the reload's warning,
// so nothing is passed over.
void WaitForCatchUps(uint64_t qwCommandsSeen) {
    CatchUps& catchUps = CatchUps::Instance();
    const auto began = std::chrono::steady_clock::now();
    const std::vector<std::string> behind = catchUps.WaitForAll(catchUps.Deadline(), qwCommandsSeen);
    const long long llMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();
    if (behind.empty()) {
        CSF_LOG(kCSFLogTrace, "The inputs caught up with what arrived during the reload %lld ms after the resume",
                llMs);
        return;
    }
    std::string strBehind;
    for (const std::string& input : behind) {
        strBehind += (strBehind.empty() ? "" : ", ") + input;
    }
    CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag,
            "Still catching up with what arrived during the reload %lld ms after the resume: %s; what %s "
            "from now on is said as %s own",
            llMs, strBehind.c_str(), behind.size() == 1 ? "it leaves out" : "they leave out",
            behind.size() == 1 ? "its" : "their");
}

// For tests: while the file HW_RELOAD_HOLD_FILE names exists, a reload
// waits with its engines paused before it reads the policy (at most
// kMaxReloadHold, or until a command such as a stop comes for the thread
// it runs on), so that a test decides what arrives meanwhile.  Only a
// plain file of root's or the sensor's own account holds it, and only by a
// name with no link of another account anywhere on its way: the name may
// lie in a folder other accounts can write, and none of them may stall the
// sensor's reloads by making it, nor by a link of theirs (to /etc, say)
// that leads the name to a file of root's.
constexpr std::chrono::seconds kMaxReloadHold{300};

// What the hold's name is now: a file that holds the reload, or why not.
enum class HoldFile { kNone, kHolds, kOtherAccounts, kNotPlain };

HoldFile LookAtHoldFile(const std::string& strFile) {
    // The walk follows only links of root's and the sensor's account; a
    // name that leads through another account's link has that link's own
    // status, which is no plain file.
    plat::FileStatus status;
    if (!plat::GetFileStatus(strFile.c_str(), status)) {
        return HoldFile::kNone;
    }
    if (!status.m_bIsRegular) {
        return HoldFile::kNotPlain;
    }
    return status.m_uOwner == 0 || status.m_uOwner == ::geteuid() ? HoldFile::kHolds : HoldFile::kOtherAccounts;
}

void HoldReloadForTest(uint64_t qwCommandsSeen) {
    std::string strFile;
    if (!plat::GetEnvironmentText("HW_RELOAD_HOLD_FILE", strFile) || strFile.empty()) {
        return;
    }
    const auto until = std::chrono::steady_clock::now() + kMaxReloadHold;
    HoldFile hold = LookAtHoldFile(strFile);
    // Said once the engines have paused, so that a test knows what it sends
    // from now on waits for the resume.
    if (hold == HoldFile::kHolds) {
        CSF_LOG(kCSFLogTrace, "Reload held by HW_RELOAD_HOLD_FILE with every engine paused");
    }
    // A command that comes meanwhile (a stop) ends the hold: it is not held
    // behind the test's file.
    while (hold == HoldFile::kHolds && CatchUps::Instance().CommandsCome() == qwCommandsSeen &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        hold = LookAtHoldFile(strFile);
    }
    if (hold == HoldFile::kOtherAccounts || hold == HoldFile::kNotPlain) {
        CSF_LOG(kCSFLogWarning, "HW_RELOAD_HOLD_FILE %s is %s: it holds no reload", strFile.c_str(),
                hold == HoldFile::kOtherAccounts ? "another account's file"
                                                 : "no plain file, or leads through another account's link");
    }
}

// A banner goes to the host's log once and to the debug trace at each of
// the levels a reader may filter on.
void Banner(const char* pszText) {
    CSF_LOG(kCSFLogInfo, "%s", pszText);
    for (uint32_t dwLevel : {1u, 3u, 9u, 0x1000u}) {
        CSF_TRACE(dwLevel, "%s", pszText);
    }
}

// A rule the new policy no longer has (or has off) takes what it reached of
// its bounds with it: neither the engine lines, nor the record of the
// policy in force, nor the stop name it any more.
void EndBoundsOfRulesGone(const std::vector<PolicyKeyAudit::TakenRule>& taken) {
    std::vector<std::string> names;
    names.reserve(taken.size());
    for (const PolicyKeyAudit::TakenRule& rule : taken) {
        if (rule.m_pRule != nullptr) {
            names.push_back(rule.m_pRule->GetName());
        }
    }
    InputBounds::Instance().EndRulesExcept(names);
}

}  // namespace

// The library's sensor, made after the companions above.
CHostWarden g_HostWarden;

CHostWarden& CHostWarden::Instance() { return g_HostWarden; }

CHostWarden::CHostWarden() {
    m_pRuleContainer = new (std::nothrow) RuleContainer;
    m_pClassFactory = new (std::nothrow) CClassFactory(this);
    m_pPolicyEvent = new (std::nothrow) CPolicyEvent;
    m_pThreadList = new (std::nothrow) CThreadList;
    if (m_pThreadList != nullptr) {
        // Appended, not added: nothing is initialised or started yet.
        m_pThreadList->Append(new (std::nothrow) CEngineDecoy(m_pPolicyEvent));
        CEngineIDS::Site network;
        network.pPrototype = m_pPolicyEvent;
        network.pFactory = m_pClassFactory;
        network.pfnAdapterNotify = &CHostWarden::AdapterListChanged;
        network.sensorDirectory = [this] { return std::string(GetSensorDirectory()); };
        m_pIdsEngine = new (std::nothrow) CEngineIDS(std::move(network));
        m_pThreadList->Append(m_pIdsEngine);
        m_pThreadList->Append(new (std::nothrow) CEngineApache(m_pClassFactory));
        m_pThreadList->Append(new (std::nothrow) CEngineNTEvents(m_pPolicyEvent));
        m_pThreadList->Append(new (std::nothrow) CEngineNTSyslog(m_pPolicyEvent));
        m_pThreadList->Append(new (std::nothrow) CEngineTextLog(m_pPolicyEvent));
        m_pThreadList->Append(new (std::nothrow) CEngineCorrelation(m_pPolicyEvent));
    }
    SetSensorCore(this);
}

CHostWarden::~CHostWarden() {
    if (GetSensorCore() == this) {
        SetSensorCore(nullptr);
    }
    // Engines that were never started, or were stopped, have no thread, so
    // what the sensor made can go with it.  Running engines are left as they
    // are at the end of the process: only a stop takes them down.
    if (m_pThreadList != nullptr &&
        (!m_pThreadList->IsStopped() || !m_pThreadList->StuckEngines().empty())) {
        return;
    }
    if (m_pThreadList != nullptr) {
        m_pThreadList->DeleteAll();
        delete m_pThreadList;
        m_pThreadList = nullptr;
    }
    delete m_pPolicyEvent;
    DeleteRules();
    delete m_pRuleContainer;
    delete m_pClassFactory;
}

uint32_t CHostWarden::SetBaseDirectory(const char* pszDirectory) {
    uint32_t result = CSFSensor::SetBaseDirectory(pszDirectory);
    m_pProductLocation = std::make_unique<ProductLocation>(pszDirectory);
    // Named objects (the script store, the web-server areas) are kept apart
    // from those of other sensors on the machine; the processes the sensor
    // starts inherit the scope.
    const char* pszRoot = m_pProductLocation->GetSensorDirectory();
    if (pszRoot == nullptr || *pszRoot == '\0') {
        pszRoot = pszDirectory;
    }
    if (pszRoot != nullptr && *pszRoot != '\0' &&
        plat::SetObjectScope(plat::ObjectScopeOfRoot(pszRoot))) {
        CSF_LOG(kCSFLogInfo, "shared objects of the sensor root %s: %s", pszRoot,
                plat::SharedObjectPath("*").c_str());
    }
    return result;
}

const char* CHostWarden::GetSensorDirectory() const {
    const char* directory =
        m_pProductLocation != nullptr ? m_pProductLocation->GetSensorDirectory() : nullptr;
    return directory != nullptr ? directory : "";
}

ITclHandler* CHostWarden::GetTclHandler() {
    return SensorSettings::Instance().m_bScriptEnabled ? m_pTclHandler : nullptr;
}

bool CHostWarden::IsValidResponse(const char* pszName, const char* pszChoice) {
    return m_policyLoader.IsValidResponse(pszName, pszChoice);
}

bool CHostWarden::HasResponseDefinitions() {
    return !m_policyLoader.GetResponseTable().empty();
}

RuleContainer* CHostWarden::GetRuleContainer() { return m_pRuleContainer; }

IPolicyContainer* CHostWarden::GetCurrentPolicy() { return m_pCurrentPolicy.load(); }

uintptr_t CHostWarden::OnChangeCommonPolicy(IPolicyContainer* pCommonPolicy) {
    m_policyLoader.SetCommonPolicy(pCommonPolicy);
    return reinterpret_cast<uintptr_t>(pCommonPolicy);
}

uint32_t CHostWarden::Delete() { return 0; }

uint32_t CHostWarden::OnStatusRequest(ICSFCommandRequest* pRequest) {
    // The engines exist from construction to the stop; before start-up
    // they have nothing to say.
    if (pRequest != nullptr && m_dwState != kConstructed && m_dwState != kStopped) {
        pRequest->SetStatusText(DescribeEngines(nullptr, false).c_str());
    }
    return CSFSensor::OnStatusRequest(pRequest);
}

uint32_t CHostWarden::OnUpdateCompleted(ICSFCommandRequest* pRequest) {
    CSFSensor::OnUpdateCompleted(pRequest);
    return 1;
}

bool CHostWarden::LoadPolicy(IPolicyContainer* pContainer, bool bReload) {
    return LoadPolicy(pContainer, bReload, PolicyLoader::LoadKind::kAccept);
}

bool CHostWarden::LoadPolicy(IPolicyContainer* pContainer, bool bReload,
                             PolicyLoader::LoadKind kind) {
    PolicyLoader::Sources sources{GetBaseDirectory(), m_strRuleDefinitionPath};
    return m_policyLoader.Load(pContainer, bReload, kind, sources);
}

std::string CHostWarden::LoadFailureText() const {
    std::string problem = m_policyLoader.GetLastProblem();
    if (problem.empty()) {
        return kPolicyLoadFailure;
    }
    return "The sensor policy could not be loaded: " + problem + ".";
}

void CHostWarden::FailRequest(ICSFCommandRequest* pRequest, const char* pszText) {
    CSF_LOG(kCSFLogError, "%s", pszText);
    if (pRequest != nullptr) {
        pRequest->SetStatusText(pszText);
        pRequest->SetStatus(kCommandStatusFailed);
        pRequest->Complete();
    }
}

void CHostWarden::ChooseRuleDefinitions() {
    plat::OsVersion version;
    if (!plat::GetOsVersion(version) || version.m_dwPlatformId != plat::kPlatformNT) {
        CSF_LOG(kCSFLogError, "Got an invalid Platform or OS version.");
        std::_Exit(1);
    }
    bool b2K3 = version.m_dwMajorVersion > 4 && version.m_dwMinorVersion > 1;
    m_strRuleDefinitionPath =
        std::string(GetSensorDirectory()) + (b2K3 ? kRuleDefinitions2K3 : kRuleDefinitions2K);
    if (!PolicyFileExists(m_strRuleDefinitionPath.c_str())) {
        CSF_LOG(0x1001, "Unable to merge RuleDef.policy (%s) because it does not exist\n",
                m_strRuleDefinitionPath.c_str());
    }
}

void CHostWarden::PublishPolicy(IPolicyContainer* pContainer) {
    g_policyLock.Lock();
    m_pCurrentPolicy.store(pContainer);
}

void CHostWarden::WithdrawPolicy() {
    m_pCurrentPolicy.store(nullptr);
    g_policyLock.Unlock();
}

void CHostWarden::KeepPolicyInForce(IPolicyContainer* pContainer) {
    if (m_pPolicyInForce != nullptr && m_pPolicyInForce != pContainer) {
        m_pPolicyInForce->Release();
    }
    m_pPolicyInForce = pContainer;
}

void CHostWarden::ResumeEngines(IPolicyContainer* pContainer, uint32_t dwArgument) {
    if (pContainer != nullptr) {
        PublishPolicy(pContainer);
    }
    m_pThreadList->ResumeAll(dwArgument);
    if (pContainer != nullptr) {
        WithdrawPolicy();
    }
}

void CHostWarden::DeleteRules() {
    if (m_pRuleContainer != nullptr) {
        const bool bKeep = m_pThreadList != nullptr && m_pThreadList->StuckOnRulesInForce();
        for (Rule* pRule : *m_pRuleContainer) {
            if (bKeep) {
                m_RetiredRules.push_back(pRule);
            } else {
                delete pRule;
            }
        }
        m_pRuleContainer->Clear();
    }
    if (m_pThreadList == nullptr || !m_pThreadList->KeepsOldRules()) {
        for (Rule* pRule : m_RetiredRules) {
            delete pRule;
        }
        m_RetiredRules.clear();
    }
}

CEventRegistry* CHostWarden::EventRegistry() const {
    return m_pClassFactory != nullptr ? m_pClassFactory->GetEventRegistry() : nullptr;
}

CServiceRequest* CHostWarden::ServiceRequest() const {
    return m_pClassFactory != nullptr ? m_pClassFactory->GetServiceRequest() : nullptr;
}

void CHostWarden::LogIsapiPlugin() {
    CSF_LOG(kCSFLogInfo, "Isapi filter Plugin for SSL traffic monitoring is%s installed.",
            SensorSettings::Instance().m_bIsapiPlugin ? "" : " not");
}

std::string CHostWarden::DescribeEngines(const char* pszAfter, bool bLogEvery) const {
    std::string strSummary;
    for (size_t i = 0; m_pThreadList != nullptr && i < m_pThreadList->GetCount(); ++i) {
        CEngineBase* pEngine = m_pThreadList->GetAt(i);
        if (pEngine == nullptr) {
            continue;
        }
        const size_t nRules = CountEnabledRules(pEngine);
        std::string strInput;
        bool bInput = false;
        if (pEngine->IsStuck() && pEngine->IsRunning()) {
            // Its input is whatever its thread is stuck in.
            strInput = "stuck: its thread did not end within " +
                       std::to_string(pEngine->GetStopBound() / 1000) +
                       " s of the pause, and it is left out until it has";
        } else {
            bInput = pEngine->DescribeInput(strInput);
        }
        std::string strLine = std::string(pEngine->GetName()) + ": " + std::to_string(nRules) +
                              (nRules == 1 ? " rule" : " rules");
        // While the host holds the sensor paused no engine takes input, as
        // it asked: that is no fault to warn of, and the line says why.
        if (!strInput.empty() && m_bHostPaused) {
            strLine += "; paused: " + strInput;
        } else if (!strInput.empty()) {
            strLine += (bInput ? "; " : std::string("; ") + kWithoutInput + ": ") + strInput;
        }
        const bool bWithout = !m_bHostPaused && strLine.find(kWithoutInput) != std::string::npos;
        if (pszAfter == nullptr) {
            // Asked for the status only.
        } else if (bWithout) {
            SayWithout(pEngine->GetName(), pszAfter, strLine);
        } else if (bLogEvery) {
            CSF_LOG(kCSFLogInfo, "Engine %s", strLine.c_str());
        }
        if (!bWithout && !m_bHostPaused) {
            EndWithout(pEngine->GetName());
        }
        strSummary += (strSummary.empty() ? "" : "\n") + strLine;
    }
    if (m_pTclHandler != nullptr) {
        strSummary += (strSummary.empty() ? "" : "\n") + DescribeScripts(pszAfter, bLogEvery);
    }
    // What inputs left out at their bounds so far, said when each was
    // reached; listed again so push and the status file show it.
    for (const std::string& strLine : InputBounds::Instance().Describe()) {
        strSummary += (strSummary.empty() ? "" : "\n") + strLine;
    }
    return strSummary;
}

std::string CHostWarden::DescribeScripts(const char* pszAfter, bool bLogEvery) const {
    // Scripting that is off against the policy's wish is said with its
    // reason, as an engine without input is.
    // A look at the status waits for nothing the handler does.
    const std::string strLine =
        std::string(kScriptsLine) + m_pTclHandler->DescribeScripting(pszAfter == nullptr);
    const bool bOff = IsScriptsOffLine(strLine);
    if (pszAfter == nullptr) {
        // Asked for the status only.
    } else if (bOff) {
        SayWithout(kScriptsLine, pszAfter, strLine);
    } else if (bLogEvery) {
        CSF_LOG(kCSFLogInfo, "%s", strLine.c_str());
    }
    if (!bOff) {
        EndWithout(kScriptsLine);
    }
    return strLine;
}

void CHostWarden::SayWithout(const std::string& strWhat, const char* pszAfter,
                             const std::string& strLine) const {
    const std::string strText = std::string("after the ") + pszAfter + ": " + strLine;
    CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s", strText.c_str());
    std::string& strSaid = m_SaidWithout[strWhat];
    if (!strSaid.empty() && strSaid != strText) {
        CSFNoticeFindingEnded(strSaid.c_str());
    }
    strSaid = strText;
}

void CHostWarden::EndWithout(const std::string& strWhat) const {
    auto found = m_SaidWithout.find(strWhat);
    if (found != m_SaidWithout.end()) {
        CSFNoticeFindingEnded(found->second.c_str());
        m_SaidWithout.erase(found);
    }
}

uint32_t CHostWarden::Oninit(ICSFCommandRequest* pRequest) {
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::Oninit() called.");
    m_dwState = kInitialising;
    // Before any engine opens anything: what inputs may take is counted
    // against the raised limit, with its floor kept free.
    plat::RaiseDescriptorLimit();
    AgentEventInfo::SetDefaultSourceAddress(GetSensorAddress());
    CServiceRequest* pServiceRequest = ServiceRequest();
    m_pEventHandler = pServiceRequest != nullptr ? pServiceRequest->GetEventHandler() : nullptr;
    ChooseRuleDefinitions();
    // What inputs leave out from here to the request's end is this load's.
    InputBounds::Instance().BeginLoad();

    IPolicyContainer* pContainer = CreatePluginPolicyContainer();
    PolicyKeyAudit audit(pContainer);
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::Oninit(): calling LoadPolicy");
    if (!LoadPolicy(pContainer, false)) {
        audit.Stop();
        if (pContainer != nullptr) {
            pContainer->Release();
        }
        InputBounds::Instance().EndLoad(kStartUpLoad, false);
        FailRequest(pRequest, LoadFailureText().c_str());
        return 1;
    }
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::Oninit(): Configuring event sections");
    if (CEventRegistry* pRegistry = EventRegistry()) {
        pRegistry->ConfigureSections();
        CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::Oninit(): Registering events");
        pRegistry->RegisterEvents(pContainer);
    }
    PublishPolicy(pContainer);
    Banner("\n***** CHostWarden::Oninit() called *****\n");
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::Oninit(): Initializing everyone");
    InitializeStrategy::BeginPolicyRead();
    // Engines register with the handler while they initialise.
    m_pTclHandler = &tclHandler::GetInstance();
    if (m_pThreadList != nullptr) {
        m_pThreadList->OninitAll(kEngineArgument);
    }
    RunAuditSetUp();
    audit.Finish();
    CheckRuleNames(audit.TakenRules(), EventRegistry());
    StartScriptHandler();
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::Oninit(): starting everyone.");
    if (m_pThreadList != nullptr) {
        m_pThreadList->StartAll(kEngineArgument);
    }
    NoteEnginesResumed();
    ApplyProtection();
    // Asked once the engines run: whether an engine is off is theirs.
    CheckCorrelationReach(audit.TakenRules(), m_pThreadList);
    Banner("\n***** CHostWarden::Oninit() completed *****\n");
    const std::string strEngines = DescribeEngines("start-up", true);
    if (pRequest != nullptr) {
        pRequest->SetStatusText(strEngines.c_str());
    }
    InputBounds::Instance().EndLoad(kStartUpLoad, true);
    CSFSensor::Oninit(pRequest);
    WithdrawPolicy();
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::Oninit(): releasing policycontainer.");
    audit.Stop();
    KeepPolicyInForce(pContainer);
    LogIsapiPlugin();
    OpenAdapterUpdates();
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::Oninit() completed.");
    return 0;
}

uint32_t CHostWarden::OnReloadPolicy(ICSFCommandRequest* pRequest) {
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::OnReloadPolicy() called.");
    Banner("\n***** CHostWarden::OnReloadPolicy() called *****\n");
    // A command the host has for this thread from now on ends the wait
    // for the inputs' catch-ups.
    const uint64_t qwCommandsSeen = CatchUps::Instance().CommandsCome();
    m_dwState = kReloading;
    // What inputs leave out while the reload runs is the reload's, whatever
    // it reads: a push says it.
    InputBounds::Instance().BeginLoad();
    if (!PolicyLoader::IsPushWaiting(GetBaseDirectory()) &&
        !m_policyLoader.CompareResponseTable()) {
        // Edits to the accepted or factory policy are not read here; only a
        // pushed policy or new responses make a reload.
        // The host carries the responses out from its own definitions, which
        // it has read again: only the rules stay as they were.
        CSF_LOG(kCSFLogInfo,
                "No rules to reload: no %s waits and the common policy names the same "
                "responses as before.",
                g_strPushPolicy.c_str());
        m_policyLoader.ForgetCommonPolicy();
        // A reload is what the console names to bring given-up scripts
        // back, whether or not it reads a policy.
        const bool bScriptsStillOff = RestartGivenUpScripts();
        // And the console names a reload to try a port again that another
        // program held, whatever a SIGHUP reads.  What is still without
        // input is said, and scripts still off (their store not opened
        // again); the request carries no summary, which would tell the
        // host that a policy was read (it asks how the engines stand).
        if (RetryEnginesWithoutInput()) {
            DescribeEngines("reload", false);
        } else if (bScriptsStillOff) {
            DescribeScripts("reload", false);
        }
        InputBounds::Instance().EndLoad(kReloadLoad, false);
        AnswerPendingAdapterUpdate();
        return CSFSensor::OnReloadPolicy(pRequest);
    }
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::OnReloadPolicy(): Pausing everyone.");
    // Asked of the pause itself rather than of the remembered state, which
    // says "reloading" after any earlier reload (skipped or failed ones
    // too) and so would let a second reload resume a paused sensor.
    const bool bHostPaused = m_bHostPaused;
    // A reload's pause ends the engines' work and keeps their inputs open,
    // so what arrives while the policy is read waits there for the resume.
    if (!bHostPaused && m_pThreadList != nullptr) {
        m_pThreadList->PauseInitAll(kReloadArgument);
        m_pThreadList->PauseAll(kReloadArgument);
        CSF_TRACE(0x1009, "\n*****     Threads paused *****\n");
    }
    // Only now, with every engine's last alerts handed over: the script
    // process answers what waits for it, under the rules that raised it,
    // before it ends (ShutDown).
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::OnReloadPolicy(): Shutting down tcl handler.");
    ShutDownScriptHandler();
    HoldReloadForTest(qwCommandsSeen);
    // Held from the load on, so that an adapter update on the packet
    // library's thread never reads the advanced parameters while the load
    // writes them.
    PolicyLock loadGuard(g_policyLock, true);
    IPolicyContainer* pContainer = CreatePluginPolicyContainer();
    PolicyKeyAudit audit(pContainer);
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::OnReloadPolicy(): calling LoadPolicy");
    if (!LoadPolicy(pContainer, true)) {
        loadGuard.Unlock();
        audit.Stop();
        // Nothing of the refused policy was taken and the old rules are
        // still alive in the engines' containers: the sensor goes on as it
        // was, rather than staying paused without a policy.
        if (pContainer != nullptr) {
            pContainer->Release();
        }
        // The handler, shut down above, let go of the rules: the rules in
        // force go to the process it starts again, or their scripts would
        // be missing there.
        RestartScriptsWithRulesInForce();
        if (!bHostPaused && m_pThreadList != nullptr) {
            // The engines set themselves up again from the policy they ran
            // with, so every adapter captures, detects and blocks as before.
            ResumeEngines(m_pPolicyInForce, kReloadArgument);
            CSF_TRACE(0x1009, "\n*****     Threads resumed *****\n");
            NoteEnginesResumed();
            AnswerPendingAdapterUpdate();
            WaitForCatchUps(qwCommandsSeen);
        }
        InputBounds::Instance().EndLoad(kReloadLoad, false);
        FailRequest(pRequest, LoadFailureText().c_str());
        DescribeEngines("reload", false);
        AnswerPendingAdapterUpdate();
        return 1;
    }
    CSF_TRACE(kCSFLogTrace,
              "DEBUG: CHostWarden::OnReloadPolicy(): deleteing all the rules in rule container.");
    const std::vector<EngineRuleCount> rulesBefore = CountEngineRules(m_pThreadList);
    DeleteRules();
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::OnReloadPolicy(): Registering events.");
    if (CEventRegistry* pRegistry = EventRegistry()) {
        pRegistry->RegisterEvents(pContainer);
    }
    if (CServiceRequest* pServiceRequest = ServiceRequest()) {
        pServiceRequest->GetTemplate(pContainer);
    }
    PublishPolicy(pContainer);
    if (m_pTclHandler != nullptr) {
        m_pTclHandler->SetEnabled(SensorSettings::Instance().m_bScriptEnabled);
        // Engines register with the handler when they start with scripting
        // on; a policy that switches it on later has them register now, or
        // the rules they hand over would be refused and no script sent.
        RegisterEnginesForScripts();
    }
    CSF_TRACE(kCSFLogTrace,
              "DEBUG: CHostWarden::OnReloadPolicy(): Have everyone get what needed from the new "
              "policy file.");
    // The rules read now decide afresh which files and keys stay audited.
    InitializeStrategy::BeginPolicyRead();
    if (m_pThreadList != nullptr) {
        m_pThreadList->ReloadPolicyAll(kReloadArgument);
    }
    RunAuditSetUp();
    audit.Finish();
    CheckRuleNames(audit.TakenRules(), EventRegistry());
    EndBoundsOfRulesGone(audit.TakenRules());
    WarnAboutLostRules(m_pPolicyInForce, pContainer, rulesBefore, CountEngineRules(m_pThreadList));
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::OnReloadPolicy(): start tcl handler.");
    StartScriptHandler();
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::OnReloadPolicy(): resume everyone.");
    if (!bHostPaused && m_pThreadList != nullptr) {
        m_pThreadList->ResumeAll(kReloadArgument);
        CSF_TRACE(0x1009, "\n*****     Threads resumed *****\n");
        NoteEnginesResumed();
        // The engines have what they need of the policy: an adapter that
        // comes while the inputs catch up is set up as it comes, not after
        // the wait, which a busy input can make long.
        WithdrawPolicy();
        loadGuard.Unlock();
        AnswerPendingAdapterUpdate();
        WaitForCatchUps(qwCommandsSeen);
        loadGuard.Lock();
        PublishPolicy(pContainer);
    }
    ApplyProtection();
    CheckCorrelationReach(audit.TakenRules(), m_pThreadList);
    Banner("\n***** CHostWarden::OnReloadPolicy() completed *****\n");
    // As at start-up, the host is told what each engine now runs.
    const std::string strEngines = DescribeEngines("reload", true);
    if (pRequest != nullptr) {
        pRequest->SetStatusText(strEngines.c_str());
    }
    InputBounds::Instance().EndLoad(kReloadLoad, true);
    CSFSensor::OnReloadPolicy(pRequest);
    WithdrawPolicy();
    loadGuard.Unlock();
    AnswerPendingAdapterUpdate();
    LogIsapiPlugin();
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::OnReloadPolicy(): releasing policycontainer");
    audit.Stop();
    KeepPolicyInForce(pContainer);
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::OnReloadPolicy(): completed");
    return 0;
}

uint32_t CHostWarden::OnPause(ICSFCommandRequest* pRequest) {
    Banner("\n***** CHostWarden::OnPause() called *****\n");
    m_dwState = kPaused;
    m_bHostPaused = true;
    if (m_pThreadList != nullptr) {
        m_pThreadList->PauseInitAll(kEngineArgument);
        m_pThreadList->PauseAll(kEngineArgument);
    }
    Banner("\n***** CHostWarden::OnPause() completed *****\n");
    return CSFSensor::OnPause(pRequest);
}

uint32_t CHostWarden::OnResume(ICSFCommandRequest* pRequest) {
    Banner("\n***** CHostWarden::OnResume() called *****\n");
    m_dwState = kResumed;
    m_bHostPaused = false;
    if (m_pThreadList != nullptr) {
        // Resuming engines set themselves up from the current policy (the
        // network engine its adapters, firewall and tuning), so they see the
        // accepted policy as it stands, read as an adapter update reads it.
        IPolicyContainer* pContainer = CreatePluginPolicyContainer();
        const bool bRead = pContainer != nullptr &&
                           LoadPolicy(pContainer, true, PolicyLoader::LoadKind::kReadAccepted);
        if (!bRead) {
            CSF_LOG(kCSFLogError,
                    "The accepted policy could not be read: engines resume with the policy they ran "
                    "with.");
        }
        ResumeEngines(bRead ? pContainer : m_pPolicyInForce, kEngineArgument);
        if (pContainer != nullptr) {
            pContainer->Release();
        }
        DescribeEngines("resume", false);
        AnswerPendingAdapterUpdate();
    }
    Banner("\n***** CHostWarden::OnResume() completed *****\n");
    return CSFSensor::OnResume(pRequest);
}

uint32_t CHostWarden::OnStop(ICSFCommandRequest* pRequest) {
    Banner("\n***** CHostWarden::OnStop() called *****\n");
    CloseAdapterUpdates();
    StopProtection();
    m_dwState = kStopped;
    std::string strStuck;
    if (m_pThreadList != nullptr) {
        m_pThreadList->StopInitAll(kEngineArgument);
        m_pThreadList->StopAll(kEngineArgument);
        strStuck = m_pThreadList->StuckEngines();
    }
    if (m_pTclHandler != nullptr) {
        ShutDownScriptHandler();
        // Scripts that were off (given up after crashes, say) are in the
        // stop summary, as on the console when it happened.
        const std::string strScripts = std::string(kScriptsLine) + m_pTclHandler->DescribeScripting();
        if (IsScriptsOffLine(strScripts)) {
            CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "at the stop: %s", strScripts.c_str());
        }
        // A stuck engine may still queue a script run with it.
        if (strStuck.empty()) {
            tclHandler::DeleteInstance();
        }
        m_pTclHandler = nullptr;
    }
    ReportScriptOutcomes();
    ReportInputBounds();
    CSF_TRACE(kCSFLogInfo, "\n***** CHostWarden::OnStop() Stopped the TCL handler *****\n");
    if (m_pThreadList != nullptr) {
        m_pThreadList->DeleteAll();
        delete m_pThreadList;
        m_pThreadList = nullptr;
    }
    if (!strStuck.empty()) {
        LeaveStuckEngines(pRequest, strStuck);
        return CSFSensor::OnStop(pRequest);
    }
    CSF_TRACE(kCSFLogInfo, "\n***** CHostWarden::OnStop() Delete all of the threads *****\n");
    DeleteRules();
    delete m_pRuleContainer;
    m_pRuleContainer = nullptr;
    KeepPolicyInForce(nullptr);
    CSF_TRACE(kCSFLogInfo, "\n***** CHostWarden::OnStop() Delete all rules *****\n");
    delete m_pPolicyEvent;
    m_pPolicyEvent = nullptr;
    m_pProductLocation.reset();
    Banner("\n***** CHostWarden::OnStop() completed *****\n");
    return CSFSensor::OnStop(pRequest);
}

void CHostWarden::LeaveStuckEngines(ICSFCommandRequest* pRequest, const std::string& strStuck) {
    // Neither the rules, nor the policy event their alerts are made with,
    // nor the engines themselves go while a thread may still use them.
    m_pRuleContainer = nullptr;
    m_RetiredRules.clear();
    m_pPolicyEvent = nullptr;
    KeepPolicyInForce(nullptr);
    const std::string strText = "engine threads left running: " + strStuck;
    CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "at the stop: %s (they did not end within %u s of it)",
            strText.c_str(), static_cast<unsigned>(CEngineBase::kStopBoundMs / 1000));
    if (pRequest != nullptr) {
        pRequest->SetStatusText(strText.c_str());
    }
    Banner("\n***** CHostWarden::OnStop() completed *****\n");
}

uint32_t CHostWarden::StartEngines(ICSFCommandRequest* /*pRequest*/) {
    m_dwState = kStarted;
    return m_pThreadList != nullptr ? m_pThreadList->StartAll(kEngineArgument) : 0;
}

uint8_t CHostWarden::ReportEvent(AgentEventInfo* pRecord) {
    if (pRecord == nullptr || !AgentEventInfo::IsRecord(pRecord)) {
        return 0;
    }
    // The descriptor's texts must outlive the hand-over.
    std::string ruleName = pRecord->GetRuleName();
    CSFEventInfo info{static_cast<int32_t>(pRecord->m_dwEventId), ruleName.c_str(),
                      ruleName.c_str()};
    return LogToCSF(pRecord, &info, 0, 15);
}

uint8_t CHostWarden::LogToCSF(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                              uint32_t dwFlags) {
    if (pRecord == nullptr || !AgentEventInfo::IsRecord(pRecord)) {
        return 0;
    }
    Rule* pRule = pRecord->GetRule();
    // When a correlation rule fired, the gate has delivered the record.
    if (pRule != nullptr && !pRule->CorrelationAllows(pRecord, pInfo, dwWord, dwFlags)) {
        return 1;
    }
    return DeliverToHost(pRecord, pInfo, dwWord, dwFlags);
}

uint8_t CHostWarden::DeliverToHost(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                                   uint32_t dwFlags) {
    if (pRecord == nullptr) {
        return 0;
    }
    CSF_TRACE(kCSFLogInfo, "Logging to CSF : Event id=%d, Name = %s",
              pInfo != nullptr ? pInfo->m_nEventId : 0,
              pInfo != nullptr && pInfo->m_pszName != nullptr ? pInfo->m_pszName : "");
    ICSFEventHandler* pHandler = m_pEventHandler.load();
    uint8_t taken = pHandler != nullptr ? pHandler->HandleAlert(pRecord, pInfo, dwWord, dwFlags) : 0;
    if (taken == 0) {
        delete pRecord;
    }
    return taken;
}

uint8_t CHostWarden::ForwardToEventSink(uint32_t dwFirst, uint32_t dwSecond) {
    ICSFEventHandler* pHandler = m_pEventHandler.load();
    return pHandler != nullptr ? pHandler->ForwardEvent(dwFirst, dwSecond) : 0;
}

void CHostWarden::WakeSensorThread() {
    CatchUps::Instance().CommandCome();
    CSFSensor::WakeSensorThread();
}

void CHostWarden::AdapterListChanged() {
    if (auto* pSensor = dynamic_cast<CHostWarden*>(GetSensorCore())) {
        pSensor->UpdateAdapterList();
    }
}

void CHostWarden::OpenAdapterUpdates() {
    m_bAdapterUpdates = true;
    AnswerPendingAdapterUpdate();
}

void CHostWarden::AnswerPendingAdapterUpdate() {
    if (m_bAdapterUpdatePending.load()) {
        UpdateAdapterList();
    }
}

void CHostWarden::CloseAdapterUpdates() {
    // Taken so that an update that has begun ends before the engines go,
    // whether it holds the policy or keeps frames without it.
    PolicyLock guard(g_policyLock, true);
    std::lock_guard<std::mutex> keep(m_AdapterKeepLock);
    m_bAdapterUpdates = false;
}

uint32_t CHostWarden::UpdateAdapterList() {
    // Arrives on the packet library's thread, or on the host's once the
    // command that held the policy lets it go.  During start-up it waits
    // for the end of it: start-up holds the policy and may unload the
    // library, which waits for this very thread.  After a stop has begun
    // nothing is done: the engines are going.
    m_bAdapterUpdatePending = true;
    uint32_t dwResult = 1;
    while (m_bAdapterUpdates.load() && m_bAdapterUpdatePending.load()) {
        if (!g_policyLock.TryLock()) {
            // A reload (or a resume, or another update) holds the policy;
            // it answers this update once it lets go.  Meanwhile the frames
            // of an adapter that came are kept, so nothing the command does
            // (a long policy read) holds its set-up: the pending flag is
            // set before the lock is tried, so the holder sees it.
            // Under its own lock, which the stop takes before the engines
            // go: the policy lock may be the stop's own.
            std::lock_guard<std::mutex> keep(m_AdapterKeepLock);
            if (m_bAdapterUpdates.load() && m_pIdsEngine != nullptr) {
                m_pIdsEngine->KeepFramesOfAdaptersCome();
            }
            return dwResult;
        }
        const bool bAnswered = m_bAdapterUpdatePending.exchange(false);
        if (bAnswered && m_bAdapterUpdates.load()) {
            dwResult = UpdateAdapterListLocked();
        }
        g_policyLock.Unlock();
        if (!bAnswered) {
            break;
        }
    }
    return dwResult;
}

uint32_t CHostWarden::UpdateAdapterListLocked() {
    CEngineBase* pEngine = m_pThreadList != nullptr ? m_pThreadList->Find(kIdsEngineName) : nullptr;
    if (pEngine == nullptr) {
        CSF_LOG(kCSFLogError, "No IDS Engine:  unable to update adapter list.");
        return 1;
    }
    IPolicyContainer* pContainer = CreatePluginPolicyContainer();
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::UpdateAdapterList(): calling LoadPolicy");
    // Reads the accepted policy as it stands: consuming a pushed policy or
    // the common policy here would make the next reload look unnecessary.
    if (!LoadPolicy(pContainer, true, PolicyLoader::LoadKind::kReadAccepted)) {
        if (pContainer != nullptr) {
            pContainer->Release();
        }
        CSF_LOG(kCSFLogError, "%s", LoadFailureText().c_str());
        return 1;
    }
    PublishPolicy(pContainer);
    static_cast<CEngineIDS*>(pEngine)->UpdateAdapterList();
    WithdrawPolicy();
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::UpdateAdapterList(): releasing policy container");
    pContainer->Release();
    return 0;
}

void CHostWarden::StartScriptHandler(bool bSummary) {
    if (m_pTclHandler == nullptr) {
        return;
    }
    tclHandler* pHandler = m_pTclHandler;
    const SensorSettings& settings = SensorSettings::Instance();
    pHandler->SetEnabled(settings.m_bScriptEnabled);
    pHandler->SetRequestQueueSize(static_cast<uint32_t>(settings.m_nTclRequestQsize));
    // With scripting switched off Init only says so.  The summary of this
    // load says what the script process makes of the rules' scripts.
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::Oninit(): starting tcl handler.");
    if (bSummary) {
        pHandler->ExpectSummary();
    }
    pHandler->Init(GetSensorDirectory());
}

// Every alert of a scripted rule is counted by its fate; the stop says
// what became of them, and says it on the console too when some never met
// their script.
void CHostWarden::ReportScriptOutcomes() {
    const ScriptOutcomes::Counts counts = ScriptOutcomes::Instance().Snapshot();
    const uint64_t qwUnmet = counts.m_qwUnvalidated + counts.m_qwDropped;
    if (qwUnmet + counts.m_qwValidated + counts.m_qwRejected == 0) {
        return;
    }
    const std::string strText = ScriptOutcomes::Describe(counts);
    CSF_LOG(qwUnmet > 0 ? kCSFLogWarning | kCSFLogConsoleFlag : kCSFLogInfo, "%s", strText.c_str());
    // The alerts dropped are the stop tally's too: the host never took them.
    CSFNoticeLostAtStop(counts.m_qwDropped, "scripted alerts dropped unvalidated");
}

// Every bound an input reached, with what it left out, is in the stop
// summary, on the console too, and in the stop's tally.
void CHostWarden::ReportInputBounds() { InputBounds::Instance().SayAtStop(); }

void CHostWarden::RegisterEnginesForScripts() {
    if (m_pTclHandler == nullptr || !m_pTclHandler->IsEnabled() || m_pThreadList == nullptr) {
        return;
    }
    for (size_t i = 0; i < m_pThreadList->GetCount(); ++i) {
        if (CEngineBase* pEngine = m_pThreadList->GetAt(i)) {
            m_pTclHandler->RegisterEngine(pEngine, 1);
        }
    }
}

bool CHostWarden::RestartGivenUpScripts() {
    if (m_pTclHandler == nullptr || !m_pTclHandler->IsEnabled() ||
        m_pTclHandler->IsRunningFlagSet() || m_pThreadList == nullptr) {
        return false;
    }
    CSF_LOG(kCSFLogInfo, "Rule scripts are off against the policy; the script process is started "
                         "again at this reload.");
    // The handler let go of the rules when it gave up.  This reload makes
    // no summary to wait for what the process says of the scripts: that is
    // said when it comes, and hwhost.status follows the scripts' state as
    // soon as the process runs.
    RestartScriptsWithRulesInForce(false);
    return !m_pTclHandler->IsRunningFlagSet();
}

bool CHostWarden::RetryEnginesWithoutInput() {
    if (m_bHostPaused || m_pThreadList == nullptr) {
        return false;
    }
    bool bRetried = false;
    for (size_t i = 0; i < m_pThreadList->GetCount(); ++i) {
        CEngineBase* pEngine = m_pThreadList->GetAt(i);
        if (pEngine == nullptr || !pEngine->InputMayComeBack()) {
            continue;
        }
        CSF_LOG(kCSFLogInfo, "The engine %s is without input: it is paused and resumed at this reload, "
                             "so that it tries its input again.",
                pEngine->GetName());
        // It sets itself up from the policy in force, as a resume does.
        if (m_pPolicyInForce != nullptr) {
            PublishPolicy(m_pPolicyInForce);
        }
        // As a reload's: what the engine has open stays open, and what it
        // lacks is tried.
        m_pThreadList->PauseAndResume(*pEngine, kReloadArgument);
        if (m_pPolicyInForce != nullptr) {
            WithdrawPolicy();
        }
        bRetried = true;
    }
    return bRetried;
}

void CHostWarden::RestartScriptsWithRulesInForce(bool bSummary) {
    if (m_pTclHandler == nullptr || m_pThreadList == nullptr) {
        return;
    }
    // The engines' rules in force are handed over again, as a reload
    // hands over new ones: those of the adapter engines too, which the
    // handler would otherwise wait for before it sent any script.
    if (m_pTclHandler->IsEnabled()) {
        for (size_t i = 0; i < m_pThreadList->GetCount(); ++i) {
            if (CEngineBase* pEngine = m_pThreadList->GetAt(i)) {
                pEngine->HandRulesToScripts(*m_pTclHandler);
            }
        }
    }
    // The handler reads its tuning from the policy in force.
    if (m_pPolicyInForce != nullptr) {
        PublishPolicy(m_pPolicyInForce);
    }
    StartScriptHandler(bSummary);
    if (m_pPolicyInForce != nullptr) {
        WithdrawPolicy();
    }
}

void CHostWarden::NoteEnginesResumed() {
    // The alerts of what the engines kept while they were paused come in
    // a burst now, and wait for the script process as those of its start.
    if (m_pTclHandler != nullptr) {
        m_pTclHandler->NoteEnginesResumed();
    }
}

void CHostWarden::ShutDownScriptHandler() {
    if (m_pTclHandler != nullptr) {
        m_pTclHandler->ShutDown();
    }
}

void CHostWarden::RunAuditSetUp() {
    InitializeStrategy::SetSensorDirectory(GetSensorDirectory());
    InitializeStrategy::Run();
}

void CHostWarden::ApplyProtection() {
    // Asked of the handler, which the policy has just switched.
    const bool bScripting = m_pTclHandler != nullptr && m_pTclHandler->IsEnabled();
    m_protectionControl.ConfigureProtection(m_pCurrentPolicy.load(), bScripting);
    m_protectionControl.ApplyProtectionService();
}

void CHostWarden::StopProtection() { m_protectionControl.StopProtectionService(); }
