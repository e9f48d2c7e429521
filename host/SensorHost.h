#pragma once
// hwhost's side of the host contract: it loads the plug-in, obtains the
// service request, the event registry and the sensor, hands over its logger
// and event sink, the sensor's identity, base directory and the common
// policy, and drives the sensor's commands through the two-thread command
// driver, waiting for each request to be completed.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AlertPipeline.h"
#include "CommandDriver.h"
#include "HostBound.h"
#include "HostEventHandler.h"
#include "HostServices.h"
#include "HostStatusFile.h"
#include "HwHostOptions.h"
#include "PluginBinding.h"
#include "ResponseRunner.h"
#include "platform/OwnOutputs.h"

class ICSFSensor;
class ICSFSvcRequest;
class IEventRegistry;
class IPolicyContainer;

class SensorHost {
public:
    // How long a command may take before the host gives up waiting.
    static constexpr uint32_t kCommandTimeoutMs = 300000;
    // How long the sensor's part of a stop may take, counted from the stop
    // signal: the command under way, the stop command and the end of the
    // sensor's command thread.  What has not ended by then is said, and the
    // host ends without it.
    static constexpr uint32_t kStopBoundMs = 10000;
    // Threads whose last line a stop that did not complete shows.
    static constexpr size_t kStopLinesShown = 12;

    explicit SensorHost(const HwHostOptions& options);
    ~SensorHost();
    SensorHost(const SensorHost&) = delete;
    SensorHost& operator=(const SensorHost&) = delete;

    // Opens the log and the outputs, binds the plug-in and hands the sensor
    // everything it needs before start-up.  False with `error` set.
    bool Open(std::string& error);

    // Each issues one command and answers whether its request was completed
    // with status 1 (done).
    bool Start();
    bool Reload();
    bool Pause();
    bool Resume();
    // Pauses or resumes unless the sensor is in that state already; true
    // when it is in it afterwards.
    bool SetPaused(bool bPaused);
    // Stops the sensor, ends the sensor thread, writes the alerts still
    // queued (finished while their rules lived) and releases the host's
    // objects.  Safe to call once only.  The sensor's part ends by
    // `deadline`: a stop command not completed or a sensor thread not ended
    // by then is said and left, as are engine threads the sensor's stop
    // left running (LeftThreadsRunning).
    bool Stop(std::chrono::steady_clock::time_point deadline);
    bool Stop() { return Stop(std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopBoundMs)); }
    // The stop left threads of the sensor running: the process must end
    // without tearing down what they may use (no destructors, no exit
    // handlers).
    bool LeftThreadsRunning() const { return m_bLeftRunning; }
    // Alerts the host took that it did not write (dropped, or not taken by
    // their output at the stop): a run that lost some ends with
    // kExitAlertsNotWritten rather than 0.
    uint64_t AlertsLost() const { return m_alerts.RecordsDropped() + m_alerts.AlertsNotWritten(); }
    static constexpr int kExitAlertsNotWritten = 6;
    // Asked while a command runs: once it answers true (a stop signal, at
    // the time it sets), the command is waited for only kCommandAfterStopMs
    // more, so that the stop has the rest of its bound.
    using StopQuery = std::function<bool(std::chrono::steady_clock::time_point*)>;
    void SetStopQuery(StopQuery stopAsked) { m_stopAsked = std::move(stopAsked); }
    static constexpr uint32_t kCommandAfterStopMs = kStopBoundMs / 2;

    // "not started", "running", "paused" or "stopped".
    const char* StateText() const;

    // Keeps the newest record of hwhost.status with what runs: the
    // findings learnt since it was written (HostServices.h) and, when the
    // sensor noticed that what it described changed, its engine lines.
    // For the main thread, between commands, at least every
    // kStatusCheckMs while the sensor runs.
    void KeepStatus();
    static constexpr uint32_t kStatusCheckMs = 250;

    HostServices& Services() { return m_services; }
    // The start-up summary: one line per engine as the sensor last
    // described them, then where alerts, the log and mail go.
    std::string StartSummary() const;
    const AlertPipeline& Alerts() const { return m_alerts; }
    // The errors and warnings the sensor logged while it loaded the policy
    // at the last start-up or reload ("ERROR: ..." or "WARNING: ...").
    const std::vector<std::string>& LoadFindings() const { return m_findings; }

private:
    // `pStatusText`, when given, receives the text of a completed request.
    // A policy load (start-up or reload) also keeps what the sensor said
    // while it ran in m_findings, and writes on the console in full what of
    // it is not there yet.
    // It is waited for until `deadline` (max(): kCommandTimeoutMs), and a
    // command other than the stop only until a stop is asked.
    bool RunCommand(HostCommand command, const char* pszName, std::string* pStatusText = nullptr,
                    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
    // Says what of the sensor did not stop by the stop's deadline.
    void LeaveSensorRunning(const char* pszWhat);
    // Writes the findings of the last load that have no console copy yet,
    // except the one that repeats `failure`, the text the command failed
    // with (said on its own line).
    void ShowFindings(const std::string& failure);
    bool CommandSucceeded(const HostCommandRequest& request, const char* pszName);
    // True while a command the host stopped waiting for is still running.
    bool CommandStillRunning(const char* pszName);
    // Reads DIR/common.policy whole into a fresh container and hands it to
    // the sensor.  A root without one hands over nothing (said once, until
    // one appears); a damaged one is refused: false with `problem` set, and
    // the definitions and the policy in force stay.
    bool HandOverCommonPolicy(std::string& problem);
    // The common policy's block responses go to the sensor's IDS
    // configuration, which carries them out.
    void HandOverBlockResponses(const BlockResponseMap& blocks);
    // Takes the engine lines of a policy load that completed and says
    // whether it was accepted as it stands or with errors and warnings.
    void NoteLoaded(const std::string& engines);
    // Writes the outcome of a start-up or reload begun at `startedNs` to
    // DIR/hwhost.status.
    void RecordOutcome(const char* pszName, uint64_t startedNs);
    // Asks the sensor how its engines stand now (a status request) for
    // the engine lines; the outcome of the last command stays as it was.
    void RefreshEngineLines();
    // Rewrites the engine lines, state and later findings of the newest
    // record.
    void UpdateStatus();
    // Logs that the status file is written again after failures in a row.
    void NoteStatusWrittenAgain();
    // Reports a command the host refused to run (status 2 with the text),
    // as a completed command is reported.
    bool RefuseCommand(const char* pszName, const std::string& text);
    void ReleaseObjects();

    HwHostOptions m_options;
    HostServices m_services;
    // Made before the sink, which hands it every record it takes.
    AlertPipeline m_alerts{m_services};
    HostEventHandler m_handler{m_alerts};
    PluginBinding m_plugin;
    // A request the host gave up waiting for stays alive, since the sensor
    // thread may still complete it; it goes only after the driver, whose
    // join ends that thread.
    std::unique_ptr<HostCommandRequest> m_pUnfinished;
    // Unfinished requests a later unfinished one (a stop behind a reload)
    // took the place of.
    std::vector<std::unique_ptr<HostCommandRequest>> m_abandoned;
    ICSFSvcRequest* m_pServiceRequest = nullptr;
    IEventRegistry* m_pRegistry = nullptr;
    ICSFSensor* m_pSensor = nullptr;
    std::unique_ptr<CommandDriver> m_pDriver;
    // The sensor may hold the last container handed over until its next
    // policy load; the host keeps it until it hands over the next one.
    IPolicyContainer* m_pCommonPolicy = nullptr;
    ResponseRunner m_responses{m_services, m_options.m_strRoot, m_options.m_strSnmpManager};
    bool m_bStarted = false;
    HostStatusFile m_status{m_options.m_strRoot};
    // The outcome of the last command, for the status file.
    uint32_t m_dwLastStatus = 0;
    std::string m_strLastText;
    // The missing common policy has been reported (it is said once).
    bool m_bNoCommonPolicySaid = false;
    // The last common policy read defined other responses than the one
    // before.
    bool m_bDefinitionsChanged = false;
    // The block definitions of the last common policy read.
    BlockResponseMap m_blockResponses;
    // The errors of the last common policy read: its unusable definitions.
    // The findings of the policy load that follows begin with them.
    std::vector<std::string> m_definitionFindings;
    // The findings of the last load whose console copy is still to be
    // written.
    std::vector<std::string> m_unshownFindings;
    bool m_bStopped = false;
    // The last command's request was completed while it was waited for.
    bool m_bLastCompleted = false;
    bool m_bLeftRunning = false;
    StopQuery m_stopAsked;
    // The sensor's own lines of the start-up summary.
    std::string m_strEngines;
    // What the last policy load said, and the rules each engine took then.
    std::vector<std::string> m_findings;
    std::vector<std::string> m_engineLines;
    // The late findings and the description notices the status file shows.
    uint64_t m_qwLateWritten = 0;
    uint64_t m_qwNoticesSeen = 0;
    // Findings came since the engine lines were last asked for, which is
    // done again at most every kLateRefreshInterval for them.
    bool m_bLinesStale = false;
    std::chrono::steady_clock::time_point m_lastRefresh{};
    static constexpr std::chrono::seconds kLateRefreshInterval{2};
    // After a notice of the sensor's, its lines are asked for once more
    // this much later (a little over the sensor's notice interval for the
    // counts of its bounds).
    static constexpr std::chrono::seconds kNoticeFollowUp{11};
    std::chrono::steady_clock::time_point m_followUp{};
    // Earlier outputs of this run the process let go at the bound of those
    // it knows by the file itself (plat::OwnOutputs), as said.
    HostBound m_ownOutputsBound{&m_services, "hwhost's outputs of this run",
                                "at most " + std::to_string(plat::OwnOutputs::kMaxFiles) +
                                    " earlier output files known by the file itself, the rest by their names "
                                    "in their folders",
                                "files"};
    uint64_t m_qwOwnLetGoSaid = 0;
    // The lines of the bounds reached, as last asked for: the sensor's and
    // the host's own.
    std::vector<std::string> CurrentBounds() const;
    // The host's own: those of its outputs (the alert and message files,
    // the log) and of the responses, as they stand now.
    std::vector<std::string> HostBounds() const;
};
