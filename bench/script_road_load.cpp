// Load driver for the script road alone: the sensor's script handler with
// the real script process (bin/tclProc), one rule whose "Validation" script
// accepts every alert, and alert records offered to it at a steady rate
// from one thread, as an engine hands them over.  No host, no engine and
// no socket input take a share, so what it measures is the road itself:
// queue, line protocol, shared sections, interpreter, reply.
//
// For each rate it reports the rate the records were offered at and the
// rate the road took them back at (from the first offered to the last
// back), the records validated and passed on, those the road refused at
// the queue (the engine then decides for them) or passed on unvalidated or
// dropped itself, and the time the last one took to come back.  A rate the
// offering thread did not reach (within 5 per cent) is marked as such.
//
//   script_road_load [--rates 10000,20000,...] [--seconds N] [--variables N]

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Common/AgentEventInfo.h"
#include "Common/EngineBase.h"
#include "Common/ISensorCore.h"
#include "Common/Rule.h"
#include "Common/RuleContainer.h"
#include "Common/RuleScript.h"
#include "HostLoad.h"
#include "TclHandler/tclHandler.h"
#include "platform/NamedObject.h"
#include "qorToolsLib/SharedMemoryStore.h"

namespace {

using Clock = std::chrono::steady_clock;

class LoadRule : public Rule {
public:
    Rule* Clone() const override { return new LoadRule(*this); }
    bool IsRule() const override { return true; }
};

class LoadRecord : public AgentEventInfo {
public:
    using AgentEventInfo::AgentEventInfo;
    AgentEventInfo* Clone() const override { return new LoadRecord(*this); }
    void FillADFEvent(CADFEvent&) override {}
    void FillQgEvent(CQgEvent&) override {}
};

class IdleEngine : public CEngineBase {
public:
    IdleEngine() : CEngineBase("Load Engine") {}
    uint32_t _doWork() override { return 0; }
    int32_t ConfigureEventSections(CSFEventRegistry*) override { return 0; }
    int32_t PopulateRuleContainer(RuleContainer*, IPolicyContainer*) override { return 0; }
};

// Counts what reaches it and lets it go.
class CountingSensor : public ISensorCore {
public:
    CountingSensor() { SetSensorCore(this); }
    ~CountingSensor() { SetSensorCore(nullptr); }
    uint8_t ReportEvent(AgentEventInfo* pRecord) override {
        const bool bValidated = pRecord->GetInfoPairValue("__qor_verdict", m_strScratch) == 0;
        ++(bValidated ? m_qwValidated : m_qwUnvalidated);
        delete pRecord;
        return 1;
    }
    uint8_t LogToCSF(AgentEventInfo* pRecord, const CSFEventInfo*, uint32_t, uint32_t) override {
        return ReportEvent(pRecord);
    }
    uint8_t DeliverToHost(AgentEventInfo* pRecord, const CSFEventInfo*, uint32_t,
                          uint32_t) override {
        return ReportEvent(pRecord);
    }
    uint8_t ForwardToEventSink(uint32_t, uint32_t) override { return 1; }
    ITclHandler* GetTclHandler() override { return m_pHandler; }
    bool IsValidResponse(const char*, const char*) override { return true; }
    bool HasResponseDefinitions() override { return true; }
    RuleContainer* GetRuleContainer() override { return &m_Rules; }
    IPolicyContainer* GetCurrentPolicy() override { return nullptr; }

    // Only the handler thread reports; the driver reads the counts.
    std::atomic<uint64_t> m_qwValidated{0};
    std::atomic<uint64_t> m_qwUnvalidated{0};
    ITclHandler* m_pHandler = nullptr;
    RuleContainer m_Rules;
    std::string m_strScratch;
};

// Records filled as the syslog engine fills its own: a user, the sender,
// the message, and the rule's script variables.
AgentEventInfo* MakeRecord(Rule& rule, uint64_t n, int nVariables) {
    auto* pRecord = new LoadRecord(&rule, 1);
    pRecord->AddInfoPair("User", "user" + std::to_string(n % 1000));
    pRecord->AddInfoPair("Sender", "192.0.2." + std::to_string(n % 250 + 1));
    pRecord->AddInfoPair("Message", "sshd[" + std::to_string(n % 100000) + "]: login failed");
    for (int i = 0; i < nVariables; ++i) {
        pRecord->AddScriptVariable("__qor_v" + std::to_string(i), std::to_string(n + i));
    }
    return pRecord;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint64_t> rates{10000, 20000, 40000, 80000};
    double dSeconds = 5;
    int nVariables = 12;
    hwload::ParseOptions(
        argc, argv,
        std::vector<hwload::Option>{
            {"--rates", true, [&](const std::string& value) { rates = hwload::NumberList(value); }},
            hwload::NumberOption("--seconds", dSeconds),
            hwload::NumberOption("--variables", nVariables)});
    char szDirectory[] = "/tmp/script_road.XXXXXX";
    if (::mkdtemp(szDirectory) == nullptr) {
        hwload::Fail("cannot make a scratch directory");
    }
    const std::string strDirectory = szDirectory;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    std::filesystem::create_symlink(self.parent_path().parent_path() / "bin" / "tclProc",
                                    strDirectory + "/tclProc.exe");

    CountingSensor sensor;
    LoadRule rule;
    rule.SetName("Scripted login");
    rule.Enable(0);
    auto pScript = std::make_unique<RuleScript>(
        "Scripted login", "proc verdict {user} {\n  return [expr {$user ne \"mallory\"}]\n}",
        "set checked 0",
        "incr checked\nset __qor_verdict \"checked $checked\"\nreturn [verdict $User]");
    pScript->SetOwningRule(&rule);
    rule.SetScript(std::move(pScript));

    IdleEngine engine;
    // The process finds the store under its usual name in the scope of
    // this scratch root, apart from any sensor on the machine.
    plat::SetObjectScope(plat::ObjectScopeOfRoot(strDirectory));
    auto* pHandler = new tclHandler();
    sensor.m_pHandler = pHandler;
    pHandler->RegisterEngine(&engine, 1);
    auto pCopy = std::make_unique<RuleContainer>();
    pCopy->Add(&rule);
    pHandler->ReloadRuleContainer(&engine, std::move(pCopy));
    if (!pHandler->Init((strDirectory + "/").c_str())) {
        hwload::Fail("the script handler did not start");
    }
    const auto ready = Clock::now() + std::chrono::seconds(60);
    while (!pHandler->ScriptsInitialised() && Clock::now() < ready) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The runs wait until the process has taken the scripts.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (!pHandler->ScriptsInitialised()) {
        hwload::Fail("the scripts were not sent");
    }

    std::printf("%d script variables per record, %.1f s per rate\n", nVariables, dSeconds);
    std::printf("%10s %10s %10s %10s %10s %10s %12s %10s %10s %10s\n", "asked/s", "offered/s",
                "back/s", "offered", "validated", "refused", "unvalidated", "drain ms", "free blks",
                "walk/rec");
    uint64_t qwSequence = 0;
    for (uint64_t rate : rates) {
        const uint64_t qwValidatedBefore = sensor.m_qwValidated;
        const uint64_t qwUnvalidatedBefore = sensor.m_qwUnvalidated;
        const auto count = static_cast<uint64_t>(static_cast<double>(rate) * dSeconds);
        uint64_t qwRefused = 0;
        const uint64_t qwStepsBefore = pHandler->Store()->FreeWalkSteps();
        const auto start = Clock::now();
        for (uint64_t n = 0; n < count; ++n) {
            const auto due = start + std::chrono::duration<double>(static_cast<double>(n) /
                                                                   static_cast<double>(rate));
            std::this_thread::sleep_until(due);
            AgentEventInfo* pRecord = MakeRecord(rule, qwSequence + n, nVariables);
            if (pHandler->QueueRun("Scripted login", "Validation", pRecord) == 0) {
                delete pRecord;
                ++qwRefused;
            }
        }
        const auto offered = Clock::now();
        const double achieved =
            static_cast<double>(count) / std::chrono::duration<double>(offered - start).count();
        qwSequence += count;
        const uint64_t qwWanted = count - qwRefused;
        const auto limit = Clock::now() + std::chrono::seconds(120);
        while (sensor.m_qwValidated + sensor.m_qwUnvalidated - qwValidatedBefore -
                       qwUnvalidatedBefore <
                   qwWanted &&
               Clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const double drainMs =
            std::chrono::duration<double, std::milli>(Clock::now() - offered).count();
        const uint64_t qwBack = sensor.m_qwValidated + sensor.m_qwUnvalidated - qwValidatedBefore -
                                qwUnvalidatedBefore;
        const double back = static_cast<double>(qwBack) /
                            std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("%10" PRIu64 " %10.0f %10.0f %10" PRIu64 " %10" PRIu64 " %10" PRIu64 " %12" PRIu64
                    " %10.0f %10u %10.1f%s\n",
                    rate, achieved, back, count, sensor.m_qwValidated - qwValidatedBefore, qwRefused,
                    sensor.m_qwUnvalidated - qwUnvalidatedBefore, drainMs,
                    pHandler->Store()->FreeBlockCount(),
                    static_cast<double>(pHandler->Store()->FreeWalkSteps() - qwStepsBefore) /
                        static_cast<double>(std::max<uint64_t>(1, qwWanted)),
                    hwload::UnreachedNote(achieved, static_cast<double>(rate)).c_str());
        std::fflush(stdout);
    }
    pHandler->ShutDown();
    delete pHandler;
    std::filesystem::remove_all(strDirectory);
    return 0;
}
