#include "SensorHost.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "hostwarden/CSFIdentifiers.h"
#include "hostwarden/ICSFSensor.h"
#include "hostwarden/IIDSConfig.h"
#include "hostwarden/ICSFSvcRequest.h"
#include "hostwarden/IEventRegistry.h"
#include "hostwarden/IPolicyContainer.h"
#include "HostCommandRequest.h"
#include "LocalAddress.h"
#include "StrictPolicyFile.h"
#include "platform/Console.h"
#include "platform/Environment.h"
#include "platform/OwnOutputs.h"
#include "qorToolsLib/CountText.h"
#include "qorToolsLib/RegularExpressionSet.h"
#include "qorToolsLib/SafeText.h"

#define HWHOST_LOG(level, ...) \
    m_services.Log(nullptr, kCSFLogCategory, (level), __LINE__, __FILE__, __VA_ARGS__)

namespace {

constexpr const char kProductName[] = "Host Warden Server Sensor";
constexpr const char kPluginName[] = "Host Warden";
constexpr const char kPluginVersion[] = "0.1";
constexpr const char kCommonPolicyFile[] = "common.policy";
// How long a stopping host waits for the response programs it started.
constexpr uint32_t kProgramWaitMs = 10000;
// How often a command's wait looks whether a stop was asked.
constexpr int64_t kStopPollMs = 100;

// Sets the variable unless the caller's environment already chose a value.
void DefaultEnvironment(const char* pszName, const std::string& value) {
    std::string existing;
    if (!plat::GetEnvironmentText(pszName, existing) || existing.empty()) {
        plat::SetEnvironmentText(pszName, value.c_str());
    }
}

// How the syslog and text-log rules are matched in this build (hwhost and
// the plug-in beside it are built together): a build without the scanner
// takes a fraction of a busy log's lines, and says so.
const char* RuleMatcherText() {
    return RegularExpressionSet::HasScanner()
               ? "log rules: screened by the multi-pattern scanner"
               : "log rules: each rule runs its own matcher, several times slower (built "
                 "without the multi-pattern scanner, libhyperscan-dev)";
}

// The console's streams that are files, named as the process's own outputs;
// answers each as "<what>=<path>", by the name it has now, for the names a
// rotation would give it.
std::vector<std::string> NameConsole() {
    std::vector<std::string> named;
    for (const auto& [fd, pszWhat] :
         {std::pair{STDOUT_FILENO, "standard output"}, std::pair{STDERR_FILENO, "standard error"}}) {
        plat::OwnOutputs::Instance().Opened(fd, pszWhat);
        struct stat status {};
        std::error_code failure;
        if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            continue;
        }
        const std::string path =
            std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), failure).string();
        if (!failure && !path.empty() && path[0] == '/' && path.find(" (deleted)") == std::string::npos) {
            named.push_back(std::string(pszWhat) + "=" + path);
        }
    }
    return named;
}

void SplitLines(const std::string& text, std::vector<std::string>& lines) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace

SensorHost::SensorHost(const HwHostOptions& options) : m_options(options) {}

SensorHost::~SensorHost() {
    if (!m_bStopped && m_pDriver != nullptr) {
        Stop();
    }
    if (m_pCommonPolicy != nullptr) {
        m_pCommonPolicy->Release();
    }
}

bool SensorHost::Open(std::string& error) {
    // The console, when it is a file, is the sensor's own output from the
    // start: named before anything is written, as the log and alert files
    // are when they are opened.
    const std::vector<std::string> console = NameConsole();
    // Named from where hwhost was started; it runs in the sensor root.
    for (std::string* pPath : {&m_options.m_strLog, &m_options.m_strAlerts, &m_options.m_strMessages,
                               &m_options.m_strPlugin}) {
        std::error_code failure;
        if (!pPath->empty()) {
            *pPath = std::filesystem::absolute(*pPath, failure).string();
        }
    }
    if (!m_services.Open(m_options.m_strLog)) {
        error = "cannot open the log: " + m_services.OpenProblem();
        return false;
    }
    if (!m_alerts.Open(m_options.m_strAlerts, m_options.m_strMessages, error)) {
        return false;
    }
    // The plug-in reads its locations and its platform state from the
    // environment: both follow the sensor root unless chosen outside.
    DefaultEnvironment("HostWardenRoot", m_options.m_strRoot);
    // No management daemon runs beside this host: its folder is the root.
    DefaultEnvironment("DaemonRoot", m_options.m_strRoot);
    DefaultEnvironment("QOR_PLATFORM_ROOT", m_options.m_strRoot + "/platform");
    // The files the host writes, which the plug-in's log groups leave out:
    // read as input, they would come back without end.
    const std::string strStatus = m_options.m_strRoot + "/" + HostStatusFile::kFileName;
    std::vector<std::string> outputs = {"log=" + m_options.m_strLog, "status=" + strStatus,
                                        "status=" + strStatus + ".new", "mail=" + m_options.m_strRoot + "/outbox/"};
    if (!m_options.m_strAlerts.empty()) {
        outputs.push_back("alert=" + m_options.m_strAlerts);
    }
    if (!m_options.m_strMessages.empty()) {
        outputs.push_back("message=" + m_options.m_strMessages);
    }
    outputs.insert(outputs.end(), console.begin(), console.end());
    plat::SetEnvironmentList(plat::kOwnOutputsVariable, outputs);
    if (!m_options.m_strWebGroup.empty()) {
        // Read by the web-server engine when it makes the shared areas.
        plat::SetEnvironmentText("HW_WEB_GROUP", m_options.m_strWebGroup.c_str());
    }
    HWHOST_LOG(kCSFLogInfo, "hwhost: loading %s for the sensor root %s",
               m_options.m_strPlugin.c_str(), m_options.m_strRoot.c_str());
    if (!m_plugin.Load(m_options.m_strPlugin, error)) {
        return false;
    }
    void* object = nullptr;
    if (m_plugin.Create(IID_ICSFSvcRequest, &object) != CSF_S_OK || object == nullptr) {
        error = "the plug-in made no service request";
        return false;
    }
    m_pServiceRequest = static_cast<ICSFSvcRequest*>(object);
    m_pServiceRequest->SetServices(&m_services);
    m_pServiceRequest->SetEventHandler(&m_handler);
    // The sensor reads the factory's last registry at start-up.
    object = nullptr;
    if (m_plugin.Create(IID_IEventRegistry, &object) != CSF_S_OK || object == nullptr) {
        error = "the plug-in made no event registry";
        return false;
    }
    m_pRegistry = static_cast<IEventRegistry*>(object);
    object = nullptr;
    if (m_plugin.Create(IID_ICSFSensor, &object) != CSF_S_OK || object == nullptr) {
        error = "the plug-in made no sensor";
        return false;
    }
    m_pSensor = static_cast<ICSFSensor*>(object);
    // The alert pipeline writes the type 600 message only; hwhost has no
    // way to ask for the Qg form, so the sensor is kept on the other.
    m_pSensor->SetUsesQgEvents(0);

    char hostName[256] = {};
    if (::gethostname(hostName, sizeof hostName - 1) != 0) {
        std::snprintf(hostName, sizeof hostName, "localhost");
    }
    m_pSensor->SetSensorName(hostName);
    m_pSensor->SetProductName(kProductName);
    m_pSensor->SetPluginName(kPluginName);
    m_pSensor->SetPluginVersion(kPluginVersion);
    m_pSensor->SetSensorAddress(LocalAddressText().c_str());
    // Policy files are the base directory followed directly by their names.
    m_pSensor->SetBaseDirectory((m_options.m_strRoot + "/").c_str());

    m_responses.SetClassFactory(m_plugin.Factory());
    m_alerts.SetResponseRunner(&m_responses);
    m_alerts.SetStopWait(std::chrono::seconds(m_options.m_dwOutputWaitSeconds));
    m_alerts.Start();
    // The sensor names some files relative to its working directory (the
    // network engine's packet and evidence logs under "Logs/"): they belong
    // in the root.
    if (::chdir(m_options.m_strRoot.c_str()) != 0) {
        error = "cannot change into the sensor root " + m_options.m_strRoot;
        return false;
    }
    m_pDriver = std::make_unique<CommandDriver>(*m_pSensor);
    m_pDriver->Start();
    return true;
}

bool SensorHost::HandOverCommonPolicy(std::string& problem) {
    const std::string path = m_options.m_strRoot + "/" + kCommonPolicyFile;
    m_bDefinitionsChanged = false;
    m_definitionFindings.clear();
    std::error_code failure;
    if (!std::filesystem::exists(path, failure)) {
        if (!m_bNoCommonPolicySaid) {
            m_bNoCommonPolicySaid = true;
            const char* pszWhat = m_pCommonPolicy != nullptr
                                      ? "the response definitions read before stay in force"
                                      : "the responses have no definitions, so no mail, trap "
                                        "or program is made for any rule";
            HWHOST_LOG(kCSFLogWarning, "hwhost: no common policy %s: %s", path.c_str(), pszWhat);
            plat::ConsolePrintf("hwhost: no common policy %s: %s\n", path.c_str(), pszWhat);
        }
        return true;
    }
    IPolicyContainer* container = ReadWholePolicyFile(path, false, problem);
    if (container == nullptr) {
        problem = std::string(kCommonPolicyFile) + " refused (" + problem + ")";
        return false;
    }
    m_bNoCommonPolicySaid = false;
    std::vector<DefinitionFinding> findings;
    m_bDefinitionsChanged = m_responses.LoadDefinitions(*container, &findings);
    const BlockResponseMap blocks = ResponseDefinitions::LoadBlockResponses(*container);
    ResponseDefinitions::CheckBlockResponses(blocks, findings);
    std::vector<DefinitionFinding> said;
    for (DefinitionFinding& finding : findings) {
        said.push_back({finding.m_dwLevel, std::string(kCommonPolicyFile) + ": the response " +
                                               finding.m_strText});
    }
    // A section given twice is read into one key, so the second may quietly
    // replace values of the first definition.
    for (std::string& repeated : RepeatedSectionLines(container, kCommonPolicyFile)) {
        said.push_back({kCSFLogWarning, std::move(repeated)});
    }
    for (const DefinitionFinding& finding : said) {
        const std::string text = "hwhost: " + finding.m_strText;
        HWHOST_LOG(finding.m_dwLevel, "%s", text.c_str());
        // Shown on the console as the log shows it: a name in the file is
        // no command to the terminal.
        m_definitionFindings.push_back(HostServices::FindingText(finding.m_dwLevel, PrintableText(text)));
    }
    // The block definitions are response definitions too; the network
    // engine takes changed ones at once.
    m_bDefinitionsChanged = m_bDefinitionsChanged || blocks != m_blockResponses;
    m_blockResponses = blocks;
    HandOverBlockResponses(blocks);
    // Called between commands only, so no policy load is reading the
    // container this replaces.
    m_pSensor->OnChangeCommonPolicy(container);
    if (m_pCommonPolicy != nullptr) {
        m_pCommonPolicy->Release();
    }
    m_pCommonPolicy = container;
    return true;
}

bool SensorHost::RefuseCommand(const char* pszName, const std::string& text) {
    m_dwLastStatus = kCommandStatusFailed;
    // Nothing was loaded: what an earlier load said is not this one's.
    m_findings.clear();
    m_strLastText = text;
    HWHOST_LOG(kCSFLogError, "hwhost: %s completed with status %u: %s", pszName,
               kCommandStatusFailed, text.c_str());
    plat::ConsolePrintf("hwhost: %s failed (status %u): %s\n", pszName, kCommandStatusFailed,
                        text.c_str());
    return false;
}

std::vector<std::string> SensorHost::CurrentBounds() const {
    // The sensor's bounds are among its engine lines; the outputs' and the
    // responses' are the host's own.
    std::vector<std::string> bounds = HostStatusFile::BoundLines(m_engineLines);
    for (std::string& line : HostBounds()) {
        bounds.push_back(std::move(line));
    }
    return bounds;
}

std::vector<std::string> SensorHost::HostBounds() const {
    std::vector<std::string> bounds = m_alerts.BoundsReached();
    if (std::string line = m_services.BoundReached(); !line.empty()) {
        bounds.push_back(std::move(line));
    }
    for (std::string& line : m_responses.BoundsReached()) {
        bounds.push_back(std::move(line));
    }
    if (m_ownOutputsBound.Total() != 0) {
        bounds.push_back(m_ownOutputsBound.Describe());
    }
    return bounds;
}

void SensorHost::RecordOutcome(const char* pszName, uint64_t startedNs) {
    std::string problem;
    m_qwLateWritten = m_services.LateVersion();
    if (!m_status.Record(pszName, m_dwLastStatus, startedNs, m_strLastText, m_findings,
                         m_engineLines, StateText(), m_services.LateFindings(), &problem,
                         CurrentBounds())) {
        HWHOST_LOG(kCSFLogError, "hwhost: cannot write %s/%s%s%s", m_options.m_strRoot.c_str(),
                   HostStatusFile::kFileName, problem.empty() ? "" : ": ", problem.c_str());
    }
    NoteStatusWrittenAgain();
}

void SensorHost::NoteStatusWrittenAgain() {
    if (m_status.WrittenAgain()) {
        HWHOST_LOG(kCSFLogWarning, "hwhost: %s/%s is written again", m_options.m_strRoot.c_str(),
                   HostStatusFile::kFileName);
    }
}

void SensorHost::UpdateStatus() {
    std::string problem;
    m_qwLateWritten = m_services.LateVersion();
    if (!m_status.UpdateNewest(m_engineLines, StateText(), m_services.LateFindings(), &problem,
                               CurrentBounds()) &&
        !problem.empty()) {
        HWHOST_LOG(kCSFLogError, "hwhost: cannot write %s/%s: %s", m_options.m_strRoot.c_str(),
                   HostStatusFile::kFileName, problem.c_str());
    }
    NoteStatusWrittenAgain();
}

void SensorHost::RefreshEngineLines() {
    // Never queued behind a command the host gave up waiting for: the
    // lines are asked for again at the next change.
    if (!m_bStarted || m_bStopped ||
        (m_pUnfinished != nullptr && m_pUnfinished->CompletionCount() == 0)) {
        return;
    }
    m_qwNoticesSeen = m_services.DescriptionNotices();
    m_lastRefresh = std::chrono::steady_clock::now();
    m_bLinesStale = false;
    const uint32_t dwStatus = m_dwLastStatus;
    const std::string text = m_strLastText;
    std::string engines;
    if (RunCommand(HostCommand::kStatus, "status", &engines) && !engines.empty()) {
        m_engineLines.clear();
        SplitLines(engines, m_engineLines);
    }
    m_dwLastStatus = dwStatus;
    m_strLastText = text;
}

void SensorHost::KeepStatus() {
    // Earlier outputs removed since are let go, so their room comes back.
    plat::OwnOutputs& own = plat::OwnOutputs::Instance();
    own.LetGoRemoved();
    if (const uint64_t qwLetGo = own.LetGoAtBound(); qwLetGo > m_qwOwnLetGoSaid) {
        m_ownOutputsBound.LeftOut(qwLetGo - m_qwOwnLetGoSaid);
        m_qwOwnLetGoSaid = qwLetGo;
    }
    if (!m_bStarted || m_bStopped) {
        return;
    }
    // A record a full disk kept out of the file is written again, once a
    // second, until it is in: a push waiting for it learns its outcome.
    if (m_status.RewriteDue(std::chrono::steady_clock::now())) {
        UpdateStatus();
        return;
    }
    // A finding said since may have changed what the sensor would say of
    // an engine (an input given up, a bound reached, scripts off): its
    // lines are asked for again too, but not at every finding of a flood.
    const bool bLate = m_services.LateVersion() != m_qwLateWritten;
    m_bLinesStale = m_bLinesStale || bLate;
    const auto now = std::chrono::steady_clock::now();
    const bool bDue = m_bLinesStale && now - m_lastRefresh >= kLateRefreshInterval;
    // The sensor tells of grown bound counts at most every
    // InputBound::kCountNoticeInterval: the lines are asked for once more
    // after each notice, for what grew since it without another.
    const bool bNotice = m_services.DescriptionNotices() != m_qwNoticesSeen;
    const bool bFollowUp = m_followUp != std::chrono::steady_clock::time_point() && now >= m_followUp;
    if (bNotice || bDue || bFollowUp) {
        m_followUp = bNotice ? now + kNoticeFollowUp : std::chrono::steady_clock::time_point();
        RefreshEngineLines();
    } else if (!bLate) {
        return;
    }
    UpdateStatus();
}

void SensorHost::HandOverBlockResponses(const BlockResponseMap& blocks) {
    void* object = nullptr;
    if (m_plugin.Create(CLSID_IDSConfig, &object) != CSF_S_OK || object == nullptr) {
        HWHOST_LOG(kCSFLogError, "hwhost: the plug-in has no IDS configuration for the block responses");
        return;
    }
    static_cast<IIDSConfig*>(object)->SetBlockResponseMap(blocks);
}

bool SensorHost::CommandStillRunning(const char* pszName) {
    if (m_pUnfinished == nullptr) {
        return false;
    }
    if (m_pUnfinished->CompletionCount() > 0) {
        m_pUnfinished.reset();
        return false;
    }
    HWHOST_LOG(kCSFLogError, "hwhost: %s refused: the previous command is still running", pszName);
    plat::ConsolePrintf("hwhost: %s refused: the previous command is still running\n", pszName);
    return true;
}

bool SensorHost::RunCommand(HostCommand command, const char* pszName, std::string* pStatusText,
                            std::chrono::steady_clock::time_point deadline) {
    m_bLastCompleted = false;
    if (m_pDriver == nullptr) {
        return false;
    }
    // A stop is queued behind an unfinished command; anything else would
    // run beside it or hand the sensor a new common policy under it.
    if (command != HostCommand::kStop && CommandStillRunning(pszName)) {
        return false;
    }
    m_dwLastStatus = 0;
    m_strLastText = "not completed";
    auto pRequest = std::make_unique<HostCommandRequest>();
    HostCommandRequest& request = *pRequest;
    // The policy is read on the sensor's command thread: what that thread
    // logs until the request completes is what the load said.
    const bool bLoad = command == HostCommand::kInit || command == HostCommand::kReloadPolicy;
    if (bLoad) {
        // What the host found in the common policy it just read comes
        // first; none of it has been on the console.
        m_findings = m_definitionFindings;
        m_unshownFindings = m_definitionFindings;
        // What the load describes is asked for with it.
        m_qwNoticesSeen = m_services.DescriptionNotices();
        m_services.BeginCapture(m_pDriver->SensorThreadId());
        HostBound::BeginLoad();
    }
    // An engine held by a full alert queue must be free to see a stop or a
    // pause; one that has not completed leaves the engines free.
    m_alerts.BeginCommand();
    if (!m_pDriver->Issue(command, &request)) {
        m_alerts.EndCommand();
        if (bLoad) {
            HostBound::EndLoad(pszName, false);
            m_services.EndCapture();
        }
        HWHOST_LOG(kCSFLogError, "hwhost: %s refused: the sensor has been stopped", pszName);
        return false;
    }
    const auto started = std::chrono::steady_clock::now();
    auto until = deadline != std::chrono::steady_clock::time_point::max()
                     ? deadline
                     : started + std::chrono::milliseconds(kCommandTimeoutMs);
    bool bCompleted = false;
    bool bStopAsked = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            break;
        }
        if (request.WaitForCompletion(static_cast<uint32_t>(std::min<int64_t>(left, kStopPollMs)))) {
            bCompleted = true;
            break;
        }
        // A stop signal ends the host within its bound, whatever the
        // command under way is doing.
        std::chrono::steady_clock::time_point askedAt;
        if (!bStopAsked && command != HostCommand::kStop && m_stopAsked && m_stopAsked(&askedAt)) {
            bStopAsked = true;
            until = std::min(until, askedAt + std::chrono::milliseconds(kCommandAfterStopMs));
            // The stop comes next: the sensor hears at once that a command
            // waits for its thread, so that the command under way gives up
            // the waits of its own it would give up for the stop (a
            // reload's wait for its catch-ups) rather than use the stop's
            // time.
            if (m_pSensor != nullptr) {
                m_pSensor->WakeSensorThread();
            }
        }
    }
    m_bLastCompleted = bCompleted;
    if (bLoad) {
        // What the host's own bounds left out while the load ran is the
        // load's, as the sensor says it of its inputs' bounds.
        const bool bNewPolicy = bCompleted && request.GetStatus() == kCommandStatusDone &&
                                (command == HostCommand::kInit || !request.GetStatusText().empty());
        for (const std::string& line : HostBound::EndLoad(pszName, bNewPolicy)) {
            HWHOST_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s", line.c_str());
        }
        for (HostServices::Finding& finding : m_services.EndCapture()) {
            if (!finding.m_bOnConsole) {
                m_unshownFindings.push_back(finding.m_strText);
            }
            m_findings.push_back(std::move(finding.m_strText));
        }
        const bool bFailed = bCompleted && request.GetStatus() != kCommandStatusDone;
        ShowFindings(bFailed ? request.GetStatusText() : std::string());
    }
    if (!bCompleted) {
        const auto waited =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
        if (bStopAsked) {
            HWHOST_LOG(kCSFLogError, "hwhost: %s was not completed within %lld s, when a stop was asked", pszName,
                       static_cast<long long>(waited));
        } else {
            HWHOST_LOG(kCSFLogError, "hwhost: %s was not completed within %lld s", pszName,
                       static_cast<long long>(waited));
        }
        plat::ConsolePrintf("hwhost: %s was not completed\n", pszName);
        // A stop queued behind an unfinished command leaves both waiting
        // for the sensor thread, which may still complete either.
        if (m_pUnfinished != nullptr && m_pUnfinished->CompletionCount() == 0) {
            m_abandoned.push_back(std::move(m_pUnfinished));
        }
        m_pUnfinished = std::move(pRequest);
        HWHOST_LOG(kCSFLogInfo, "hwhost: sensor state after %s: unknown, the %s still runs",
                   pszName, pszName);
        return false;
    }
    m_alerts.EndCommand();
    if (pStatusText != nullptr) {
        *pStatusText = request.GetStatusText();
    }
    const bool bDone = CommandSucceeded(request, pszName);
    if (command == HostCommand::kInit) {
        m_bStarted = bDone;
    }
    // The state in force, whatever was asked: a burst of signals shows in
    // the log as the states the sensor went through.
    HWHOST_LOG(kCSFLogInfo, "hwhost: sensor state after %s: %s", pszName, StateText());
    return bDone;
}

bool SensorHost::CommandSucceeded(const HostCommandRequest& request, const char* pszName) {
    uint32_t status = request.GetStatus();
    m_dwLastStatus = status;
    m_strLastText = request.GetStatusText();
    if (status == kCommandStatusDone) {
        HWHOST_LOG(kCSFLogInfo, "hwhost: %s completed with status %u", pszName, status);
        return true;
    }
    HWHOST_LOG(kCSFLogError, "hwhost: %s completed with status %u: %s", pszName, status,
               m_strLastText.c_str());
    plat::ConsolePrintf("hwhost: %s failed (status %u): %s\n", pszName, status,
                        m_strLastText.c_str());
    return false;
}

void SensorHost::ShowFindings(const std::string& failure) {
    const std::string repeated = HostServices::FindingText(kCSFLogError, failure);
    for (const std::string& finding : m_unshownFindings) {
        if (failure.empty() || finding != repeated) {
            plat::ConsolePrintf("%s\n", finding.c_str());
        }
    }
    m_unshownFindings.clear();
}

const char* SensorHost::StateText() const {
    if (m_bStopped) {
        return "stopped";
    }
    if (!m_bStarted || m_pSensor == nullptr) {
        return "not started";
    }
    return m_pSensor->IsPaused() != 0 ? "paused" : "running";
}

bool SensorHost::Start() {
    const uint64_t startedNs = HostStatusFile::MonotonicNs();
    std::string problem;
    bool started = HandOverCommonPolicy(problem)
                       ? RunCommand(HostCommand::kInit, "start-up", &m_strEngines)
                       : RefuseCommand("start-up", problem + "; no policy is in force");
    if (started) {
        NoteLoaded(m_strEngines);
        HWHOST_LOG(RegularExpressionSet::HasScanner() ? kCSFLogInfo : kCSFLogWarning, "hwhost: %s",
                   RuleMatcherText());
    }
    RecordOutcome("start-up", startedNs);
    return started;
}

void SensorHost::NoteLoaded(const std::string& engines) {
    m_engineLines.clear();
    SplitLines(engines, m_engineLines);
    if (m_findings.empty()) {
        m_strLastText = "accepted";
    } else {
        m_strLastText = "accepted with " + HostStatusFile::CountFindings(m_findings);
        HWHOST_LOG(kCSFLogWarning, "hwhost: the policy was %s", m_strLastText.c_str());
        plat::ConsolePrintf("hwhost: the policy was %s (above; kept in %s/%s and the log)\n",
                            m_strLastText.c_str(), m_options.m_strRoot.c_str(),
                            HostStatusFile::kFileName);
    }
}

std::string SensorHost::StartSummary() const {
    std::string summary;
    for (const std::string& line : m_engineLines) {
        summary += "  " + line + "\n";
    }
    summary += "  alerts: " +
               (m_options.m_strAlerts.empty() ? "standard output" : m_options.m_strAlerts);
    if (!m_options.m_strMessages.empty()) {
        summary += ", host messages: " + m_options.m_strMessages;
    }
    summary += "\n  log: " + m_options.m_strLog + "\n  mail: " + m_options.m_strRoot + "/outbox/\n";
    summary += std::string("  ") + RuleMatcherText() + "\n";
    summary += std::string("  input echo: ") +
               (m_options.m_bEchoInput ? "on, asked with --echo-input"
                : plat::InputEchoOn()   ? "on, standard error is a terminal"
                                        : "off, standard error is no terminal (--echo-input "
                                          "turns it on)") +
               "\n";
    return summary;
}

bool SensorHost::Reload() {
    // SIGHUP is also the signal to let go of a log or alert file rotated
    // away.
    if (m_services.Reopen()) {
        HWHOST_LOG(kCSFLogInfo, "hwhost: log %s opened again", m_options.m_strLog.c_str());
    }
    m_alerts.Reopen();
    if (CommandStillRunning("reload")) {
        return false;
    }
    const uint64_t startedNs = HostStatusFile::MonotonicNs();
    std::string problem;
    std::string engines;
    bool reloaded = HandOverCommonPolicy(problem)
                        ? RunCommand(HostCommand::kReloadPolicy, "reload", &engines)
                        : RefuseCommand("reload", problem + "; the policy in force stays");
    const bool bNewPolicy = reloaded && !engines.empty();
    if (!bNewPolicy) {
        // The policy in force stays, and so does what was learnt about it.
        m_services.KeepEarlierLateFindings();
        RefreshEngineLines();
    }
    if (bNewPolicy) {
        NoteLoaded(engines);
    } else if (reloaded) {
        // The sensor read no policy: no push waited and the common policy
        // names the responses it named before.  What the definitions say
        // is the host's, and is in force all the same.
        m_strLastText = m_bDefinitionsChanged
                            ? "no policy was read again; the changed response definitions of " +
                                  std::string(kCommonPolicyFile) + " are used from now on"
                            : "no policy was read again and no response definition changed";
        HWHOST_LOG(kCSFLogInfo, "hwhost: reload: %s", m_strLastText.c_str());
        // A changed definition, and what is wrong with the definitions
        // (written above), is in force now: said where the reload was asked
        // for.
        if (m_bDefinitionsChanged || !m_findings.empty()) {
            std::string said = m_strLastText;
            if (!m_findings.empty()) {
                said += "; " + HostStatusFile::CountFindings(m_findings) + " (above)";
            }
            plat::ConsolePrintf("hwhost: reload: %s\n", said.c_str());
        }
    }
    RecordOutcome("reload", startedNs);
    return reloaded;
}

bool SensorHost::Pause() {
    const bool bPaused = RunCommand(HostCommand::kPause, "pause");
    RefreshEngineLines();
    UpdateStatus();
    return bPaused;
}

bool SensorHost::Resume() {
    const bool bResumed = RunCommand(HostCommand::kResume, "resume");
    RefreshEngineLines();
    UpdateStatus();
    return bResumed;
}

bool SensorHost::SetPaused(bool bPaused) {
    if (m_bStarted && !m_bStopped && m_pSensor != nullptr && (m_pSensor->IsPaused() != 0) == bPaused) {
        HWHOST_LOG(kCSFLogInfo, "hwhost: %s asked for; sensor state: %s",
                   bPaused ? "pause" : "resume", StateText());
        return true;
    }
    return bPaused ? Pause() : Resume();
}

void SensorHost::LeaveSensorRunning(const char* pszWhat) {
    m_bLeftRunning = true;
    HWHOST_LOG(kCSFLogError | kCSFLogConsoleFlag,
               "hwhost: the sensor did not stop within %u s of the stop: %s; hwhost ends without it, and "
               "the alerts it has not written yet are lost",
               kStopBoundMs / 1000, pszWhat);
    // Where it stood: the last line of each thread that logged since the
    // stop was given, those that logged last.
    const std::vector<std::string> lines = m_services.LastLinesOfThreads(kStopLinesShown);
    if (!lines.empty()) {
        std::string said = "hwhost: the last line each of the sensor's threads logged since the stop was given (" +
                           std::to_string(lines.size()) + " threads, the latest last):\n";
        for (const std::string& line : lines) {
            said += "  " + line + "\n";
        }
        plat::ConsolePrintf("%s", said.c_str());
        HWHOST_LOG(kCSFLogError, "%s", said.substr(0, said.size() - 1).c_str());
    }
    UpdateStatus();
}

bool SensorHost::Stop(std::chrono::steady_clock::time_point deadline) {
    if (m_bStopped || m_pDriver == nullptr) {
        return false;
    }
    m_bStopped = true;
    m_services.BeginWatchingThreads();
    // From now on an alert output that takes nothing is waited for only so
    // long.
    m_alerts.BeginStop();
    std::string leftRunning;
    bool stopped = RunCommand(HostCommand::kStop, "stop", &leftRunning, deadline);
    if (!m_bLastCompleted) {
        LeaveSensorRunning(m_abandoned.empty() ? "its stop did not complete"
                                               : "its stop did not complete, nor the command before it");
        return false;
    }
    if (!m_pDriver->JoinBy(deadline)) {
        LeaveSensorRunning("its command thread did not end");
        return false;
    }
    // The engines it could not stop still run: what they may use stays, and
    // the process ends without them once the outputs are done.
    if (!leftRunning.empty()) {
        m_bLeftRunning = true;
        stopped = false;
        HWHOST_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "hwhost: the sensor stopped with %s; hwhost ends without them",
                   leftRunning.c_str());
    }
    // The engines are gone (or left running, said above, their rules kept):
    // what the pipeline holds now is all there will be, and none of it
    // needs the rules the stop deleted.
    m_alerts.Stop();
    for (const std::string& report : m_alerts.NotWrittenReports()) {
        plat::ConsolePrintf("%s\n", report.c_str());
    }
    // What became of the alerts is the operator's first question at a
    // stop: on the console as in the log.  Lines the stop left unread
    // never became alerts, so they are counted with them.
    std::string tally = "hwhost: " + CountText(m_handler.RecordsTaken(), "alert", "alerts") +
                        " taken, " + std::to_string(m_alerts.AlertsWritten()) + " written, " +
                        std::to_string(m_alerts.RecordsDropped()) + " dropped, " +
                        std::to_string(m_alerts.AlertsNotWritten()) + " not written";
    if (const HostServices::Unread unread = m_services.UnreadAtStop(); unread.m_qwFiles != 0) {
        tally += "; " + CountText(unread.m_qwFiles, "text-log file", "text-log files") + " with " +
                 std::to_string(unread.m_qwBytes) + " bytes left unread by the stop";
    }
    const std::vector<std::pair<std::string, uint64_t>> lost = m_services.LostAtStop();
    for (const auto& [what, qwCount] : lost) {
        tally += "; " + std::to_string(qwCount) + " " + what;
    }
    HWHOST_LOG(kCSFLogInfo, "%s", tally.c_str());
    plat::ConsolePrintf("%s\n", tally.c_str());
    if (AlertsLost() != 0 || m_services.UnreadAtStop().m_qwFiles != 0 || !lost.empty()) {
        m_services.KeepStopTally(tally);
    }
    const size_t running = m_responses.WaitForPrograms(kProgramWaitMs);
    // Mails still waiting for the outbox get their last try.
    m_responses.Outbox().Stop();
    const std::string responses =
        "hwhost: " + CountText(m_responses.MailsWritten(), "e-mail", "e-mails") + " written (" +
        std::to_string(m_responses.Outbox().WrittenLate()) + " late, " +
        std::to_string(m_responses.Outbox().Dropped()) + " dropped), " +
        CountText(m_responses.TrapsSent(), "trap", "traps") + " sent, " +
        CountText(m_responses.ProgramsStarted(), "program", "programs") + " started (" + std::to_string(running) +
        " still running), " + CountText(m_responses.Failures(), "response", "responses") + " failed, " +
        CountText(m_responses.Undefined(), "response", "responses") +
        " without a definition not carried out, " + CountText(m_responses.Unusable(), "response", "responses") +
        " with an unusable definition not carried out";
    HWHOST_LOG(kCSFLogInfo, "%s", responses.c_str());
    // hwhost's own bounds that left something out, as the sensor lists its
    // inputs' at the stop.
    for (const std::string& line : HostBounds()) {
        HWHOST_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "hwhost: at the stop: %s", line.c_str());
    }
    // Every alert and response that could not be delivered, by why, was
    // said when it first happened; the stop counts them all.
    for (const DeliveryProblems* pProblems : {&m_alerts.Problems(), &m_responses.Problems()}) {
        for (const std::string& line : pProblems->Summary()) {
            HWHOST_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "hwhost: at the stop: %s", line.c_str());
        }
    }
    // What ran last stays in the record, now said to have stopped.
    UpdateStatus();
    if (!m_bLeftRunning) {
        ReleaseObjects();
    }
    return stopped;
}

void SensorHost::ReleaseObjects() {
    // The host owns the registry and the service request; the sensor is
    // the plug-in's own and is never released.
    if (m_pRegistry != nullptr) {
        m_pRegistry->Release();
        m_pRegistry = nullptr;
    }
    if (m_pServiceRequest != nullptr) {
        m_pServiceRequest->Release();
        m_pServiceRequest = nullptr;
    }
}

#undef HWHOST_LOG
