#include "Plugin/CHostWarden.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Common/CatchUps.h"
#include "Common/ICorrelationRule.h"
#include "Common/RuleContainer.h"
#include "Common/SensorSettings.h"
#include "Common/TestEngine.h"
#include "Common/CThreadList.h"
#include "Plugin/SensorTestHost.h"
#include "hostwarden/IPolicyContainer.h"

namespace {

using Steps = std::vector<std::string>;

class CHostWardenTest : public SensorTestHost {
protected:
    void Start() {
        RecordingRequest request;
        ASSERT_EQ(0u, m_pSensor->Oninit(&request));
        // The request's text is the engines' part of the start-up summary.
        ASSERT_EQ(3u, request.m_calls.size());
        EXPECT_EQ(0u, request.m_calls[0].find("text Decoy Engine: 0 rules; no decoy rule"))
            << request.m_calls[0];
        EXPECT_NE(std::string::npos, request.m_calls[0].find("\nNT Syslog: 0 rules; no syslog rule"));
        EXPECT_NE(
            std::string::npos,
            request.m_calls[0].find("\nRule scripts: off, as the policy has it (ScriptEnabled)"))
            << request.m_calls[0];
        EXPECT_EQ((Steps{"status 1", "complete"}), Steps(request.m_calls.begin() + 1, request.m_calls.end()));
        TakeSteps();
    }

    // Runs a command and answers the calls its request received.
    template <typename Command>
    Steps Run(Command command) {
        RecordingRequest request;
        (m_pSensor.get()->*command)(&request);
        return request.m_calls;
    }

    // A reload that reads a policy tells the host, before it completes the
    // request, what each engine took (the lines of the start-up summary);
    // answers the steps after that text.
    Steps RunLoadingReload() {
        Steps steps = Run(&CHostWarden::OnReloadPolicy);
        const bool bEngines = !steps.empty() && steps.front().rfind("text Decoy Engine: ", 0) == 0 &&
                              steps.front().find("\nCorrelation Engine: ") != std::string::npos;
        EXPECT_TRUE(bEngines) << (steps.empty() ? "no step" : steps.front());
        if (bEngines) {
            steps.erase(steps.begin());
        }
        return steps;
    }

    void Push() { hwtest::WriteWholeFile(m_dir.File("push.policy"), kPolicy); }

    // What a reload that reads no policy does here: the network engine
    // lacks its packet library, which is not beside the test.
    static constexpr const char* kNetworkEngineTriedAgain = "OnPauseInit, OnPause and OnResume IDS Engine";

    static Steps Paused() { return Then(Each("OnPauseInit"), Then(Each("OnPauseInit"), Each("OnPause"))); }
};

// A correlation rule that always fires; its alert goes nowhere.
class FiringCorrelation : public TestRule, public ICorrelationRule {
public:
    bool Trigger(Rule*, AgentEventInfo*, std::unique_ptr<AgentEventInfo>& pAlert) override {
        pAlert = std::make_unique<TestRecord>(this, 1);
        return false;
    }
    void RaiseAlert(std::unique_ptr<AgentEventInfo>) override { ++m_nFired; }
    int m_nFired = 0;
};

}  // namespace

// Start-up, plain reloads, pause, resume and stop in their engine order are
// proved end to end under hwhost (tests/integration).

TEST_F(CHostWardenTest, StartUpWithoutAPolicyFailsTheRequestAndTouchesNoEngine) {
    std::filesystem::remove(m_dir.File("Default.policy"));
    RecordingRequest request;

    EXPECT_EQ(1u, m_pSensor->Oninit(&request));

    EXPECT_EQ((Steps{"text The sensor policy could not be loaded: no policy to load: " +
                         m_dir.File("Default.policy") + " does not exist.",
                     "status 2", "complete"}),
              request.m_calls);
    EXPECT_EQ(Steps{}, TakeSteps());
    EXPECT_EQ(CHostWarden::kInitialising, m_pSensor->GetState());
}

TEST_F(CHostWardenTest, ChangedCommonPolicyForcesAReloadAndUnchangedOneDoesNot) {
    PolicyPtr pCommon(CreatePluginPolicyContainer());
    pCommon->SetText("\\Response\\EMAIL\\Admins", "To", "root");
    m_pSensor->OnChangeCommonPolicy(pCommon.get());
    Start();
    EXPECT_TRUE(m_pSensor->IsValidResponse("EMAIL", "Admins"));

    m_pSensor->OnChangeCommonPolicy(pCommon.get());
    Run(&CHostWarden::OnReloadPolicy);
    // No engine reads rules; only the network engine, whose packet library
    // is not beside this test, is paused and resumed to try it again.
    EXPECT_EQ(Steps{kNetworkEngineTriedAgain}, TakeSteps());

    pCommon->SetText("\\Response\\EMAIL\\Operators", "To", "ops");
    m_pSensor->OnChangeCommonPolicy(pCommon.get());
    EXPECT_EQ((Steps{"status 1", "complete"}), RunLoadingReload());
    EXPECT_EQ(Then(Paused(), Then(Each("OnReloadPolicy"), Each("OnResume"))), TakeSteps());
    EXPECT_TRUE(m_pSensor->IsValidResponse("EMAIL", "Operators"));
}

TEST_F(CHostWardenTest, ReloadsWhilePausedLeaveTheEnginesPausedUntilResume) {
    Start();
    EXPECT_EQ((Steps{"status 1", "complete"}), Run(&CHostWarden::OnPause));
    EXPECT_EQ(Paused(), TakeSteps());
    // A reload with nothing new, then two that load a pushed policy: none
    // of them resumes the engines.
    Run(&CHostWarden::OnReloadPolicy);
    for (int i = 0; i < 2; ++i) {
        Push();
        EXPECT_EQ((Steps{"status 1", "complete"}), RunLoadingReload());
        EXPECT_EQ(Each("OnReloadPolicy"), TakeSteps()) << "reload " << i;
    }

    EXPECT_EQ((Steps{"status 1", "complete"}), Run(&CHostWarden::OnResume));
    EXPECT_EQ(Each("OnResume"), TakeSteps());
}

// A refused policy changes nothing: the engines go on with the rules in
// force, and the host learns why.
TEST_F(CHostWardenTest, FailedReloadReportsStatus2AndTheEnginesGoOnWithTheRulesInForce) {
    Start();
    RuleContainer* pRules = m_pSensor->GetRuleContainer();
    auto* pRule = new TestRule;
    pRules->Add(pRule);
    hwtest::WriteWholeFile(m_dir.File("push.policy"), "Broken\n[\\Advanced\\];\n");

    EXPECT_EQ((Steps{"text The sensor policy could not be loaded: push.policy refused (no "
                     "\"\\config\" section exists); it is kept as push.policy.refused; the "
                     "policy in force stays.",
                     "status 2", "complete"}),
              Run(&CHostWarden::OnReloadPolicy));

    EXPECT_EQ(Then(Paused(), Each("OnResume")), TakeSteps());
    ASSERT_EQ(1u, pRules->Count());
    EXPECT_EQ(pRule, *pRules->begin());
    // Nothing waits any more: the next reload reads no rules, and only
    // tries the network engine's packet library again.
    Run(&CHostWarden::OnReloadPolicy);
    EXPECT_EQ(Steps{kNetworkEngineTriedAgain}, TakeSteps());
}

// A reload waits for its inputs to catch up, but not for a command the host
// has for its thread meanwhile (a stop above all, whose bound is shorter
// than that wait): it gives way, saying what is still behind.
TEST_F(CHostWardenTest, ReloadWaitingForItsInputsToCatchUpGivesWayToTheNextCommand) {
    Start();
    CatchUps& catchUps = CatchUps::Instance();
    const auto deadline = catchUps.Deadline();
    catchUps.SetDeadline(std::chrono::minutes(10));
    CatchUp endless;
    endless.Begin("input flooded for ever");
    Push();
    std::atomic<bool> bReloaded{false};
    Steps steps;
    std::thread reload([&] {
        steps = RunLoadingReload();
        bReloaded = true;
    });
    const bool bWaiting = hwtest::WaitUntil([&] { return catchUps.Waiting() != 0; }, 120);
    EXPECT_TRUE(bWaiting);
    // The host queues a command and wakes the sensor's thread.
    m_pSensor->WakeSensorThread();
    const bool bGaveWay = hwtest::WaitUntil([&] { return bReloaded.load(); }, 120);
    EXPECT_TRUE(bGaveWay) << "the reload still waits for the catch-up";
    endless.End();
    reload.join();
    catchUps.SetDeadline(deadline);
    EXPECT_EQ((Steps{"status 1", "complete"}), steps);
    // The warning lists every input still behind when the reload gave way:
    // another engine's (the web-server ring's, say) may stand beside ours.
    size_t nStillBehind = 0;
    for (const std::string& text : m_services.Texts()) {
        const size_t nList = text.find(" after the resume: ");
        nStillBehind += text.rfind("Still catching up with what arrived during the reload ", 0) == 0 &&
                        nList != std::string::npos &&
                        text.find("input flooded for ever", nList) < text.find("; what ", nList);
    }
    EXPECT_EQ(1u, nStillBehind);

    // The next reload is not given way to by the command that came before it.
    endless.Begin("input flooded for ever");
    catchUps.SetDeadline(std::chrono::milliseconds(200));
    Push();
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ((Steps{"status 1", "complete"}), RunLoadingReload());
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(200));
    endless.End();
    catchUps.SetDeadline(deadline);
}

// The tests' hook that holds a reload with its engines paused takes only a
// file of the sensor's own account (or root's) as it is named: another
// account that can write where it points holds no reload, by a file of
// its own, by its link to one of the sensor's, nor by its link to a folder
// of root's on the name's way (holdd -> /etc makes holdd/hosts root's
// plain file).  The sensor's own file by that name does hold it.
TEST_F(CHostWardenTest, AnotherAccountsFileOrLinkHoldsNoReload) {
    enum class Kind { kFile, kLink, kFolderLink, kOwnFile };
    const std::string hold = m_dir.File("reload.hold");
    const std::string holdInFolder = m_dir.File("holdd/hosts");
    hwtest::EnvironmentOverride holdFile("HW_RELOAD_HOLD_FILE", hold.c_str());
    Start();
    const uid_t other = 65534;
    hwtest::WriteWholeFile(m_dir.File("sensors.file"), "");
    ASSERT_EQ(0, ::mkdir(m_dir.File("roots").c_str(), 0755));
    hwtest::WriteWholeFile(m_dir.File("roots/hosts"), "");
    for (const Kind kind : {Kind::kFile, Kind::kLink, Kind::kFolderLink, Kind::kOwnFile}) {
        const char* pszKind = "a file of another account";
        std::string strMade = hold;
        switch (kind) {
            case Kind::kFile:
                hwtest::WriteWholeFile(hold, "");
                ASSERT_EQ(0, ::chown(hold.c_str(), other, other));
                break;
            case Kind::kLink:
                pszKind = "a link of another account";
                ASSERT_EQ(0, ::symlink(m_dir.File("sensors.file").c_str(), hold.c_str()));
                ASSERT_EQ(0, ::lchown(hold.c_str(), other, other));
                break;
            case Kind::kFolderLink:
                pszKind = "a folder link of another account on the way";
                strMade = m_dir.File("holdd");
                ASSERT_EQ(0, ::symlink(m_dir.File("roots").c_str(), strMade.c_str()));
                ASSERT_EQ(0, ::lchown(strMade.c_str(), other, other));
                break;
            case Kind::kOwnFile:
                pszKind = "the sensor's own file";
                hwtest::WriteWholeFile(hold, "");
                break;
        }
        hwtest::EnvironmentOverride name("HW_RELOAD_HOLD_FILE",
                                         kind == Kind::kFolderLink ? holdInFolder.c_str() : hold.c_str());
        Push();
        std::atomic<bool> bReloaded{false};
        std::thread reload([&] {
            RunLoadingReload();
            bReloaded = true;
        });
        if (kind == Kind::kOwnFile) {
            // Held while the file is there (a while), and let go once it goes.
            EXPECT_FALSE(hwtest::WaitUntil([&] { return bReloaded.load(); }, 1)) << pszKind << " held no reload";
            ::unlink(strMade.c_str());
            EXPECT_TRUE(hwtest::WaitUntil([&] { return bReloaded.load(); }, 60));
            reload.join();
            continue;
        }
        const bool bNotHeld = hwtest::WaitUntil([&] { return bReloaded.load(); }, 60);
        ::unlink(strMade.c_str());
        reload.join();
        EXPECT_TRUE(bNotHeld) << pszKind << " held the reload";
    }
}

TEST_F(CHostWardenTest, RuleDefinitionsFollowTheVersion) {
    const struct {
        uint32_t dwMajor;
        uint32_t dwMinor;
        const char* pszFile;
    } cases[] = {{5, 2, "RuleDef_Win_2K3.policy"},
                 {5, 1, "RuleDef_Win_2K.policy"},
                 {6, 0, "RuleDef_Win_2K.policy"}};
    std::filesystem::remove(m_dir.File("Default.policy"));
    for (const auto& c : cases) {
        VersionOverride version(plat::kPlatformNT, c.dwMajor, c.dwMinor);
        CHostWarden sensor;
        sensor.SetBaseDirectory((m_dir.Path() + "/").c_str());
        sensor.Oninit(nullptr);
        EXPECT_EQ(m_dir.File(c.pszFile), sensor.GetRuleDefinitionPath()) << c.dwMajor << "." << c.dwMinor;
    }
}

TEST_F(CHostWardenTest, WrongPlatformEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            VersionOverride version(plat::kPlatformWindows, 4, 10);
            m_pSensor->Oninit(nullptr);
        },
        ::testing::ExitedWithCode(1), "");
}

TEST_F(CHostWardenTest, ReportedRecordGoesToTheSinkWithItsDescriptorOrIsDeleted) {
    EXPECT_EQ(0, m_pSensor->ForwardToEventSink(2, 3)) << "no sink before start-up";
    Start();
    EXPECT_EQ(5, m_pSensor->ForwardToEventSink(2, 3));
    TestRule rule;
    rule.SetName("Failed su");
    auto* pRecord = new TestRecord(&rule, 0);
    pRecord->m_dwEventId = 42;
    EXPECT_EQ(1, m_pSensor->ReportEvent(pRecord));
    EXPECT_EQ((Steps{"42 Failed su Failed su 0 15"}), m_sink.m_offered);
    ASSERT_EQ(1u, m_sink.m_taken.size());

    m_sink.m_bAccept = false;
    EXPECT_EQ(0, m_pSensor->ReportEvent(new TestRecord(&rule, 0)));
    EXPECT_EQ(2u, m_sink.m_offered.size());
    EXPECT_EQ(1u, m_sink.m_taken.size());

    CSFEventInfo info{1, "x", "x"};
    EXPECT_EQ(0, m_pSensor->LogToCSF(nullptr, &info, 0, 15));
    uint32_t notARecord[16] = {};
    EXPECT_EQ(0, m_pSensor->LogToCSF(reinterpret_cast<AgentEventInfo*>(notARecord), &info, 0, 15));
    EXPECT_EQ(2u, m_sink.m_offered.size());
}

TEST_F(CHostWardenTest, RecordThatFiresTwoCorrelationRulesReachesTheSinkOnce) {
    Start();
    TestRule rule;
    rule.SetName("Watched");
    auto* pCorrelation = new FiringCorrelation;
    pCorrelation->Enable(true);
    FiringCorrelation second;
    second.Enable(true);
    auto pAttached = std::make_unique<RuleContainer>();
    pAttached->Add(pCorrelation);
    pAttached->Add(&second);
    rule.SetCorrelationRules(std::move(pAttached));

    EXPECT_EQ(1, m_pSensor->ReportEvent(new TestRecord(&rule, 0)));

    EXPECT_EQ(1, pCorrelation->m_nFired);
    EXPECT_EQ(1, second.m_nFired);
    EXPECT_EQ((Steps{"0 Watched Watched 0 15"}), m_sink.m_offered);
    delete pCorrelation;
}

// The packet library's thread keeps announcing adapter changes while the
// host reloads and stops: no update may meet the engines half gone, nor set
// the advanced parameters a reload has not taken; none runs outside
// start-up and stop.
TEST_F(CHostWardenTest, AdapterUpdatesDuringReloadsLeaveTheAdvancedParametersToTheReloads) {
    EXPECT_EQ(1u, m_pSensor->UpdateAdapterList());
    Start();
    EXPECT_EQ(0u, m_pSensor->UpdateAdapterList());
    std::string strIsapi = kPolicy;
    strIsapi.insert(strIsapi.find("Nodekeeper"), "IsapiPlugin\t=B\t1;\n");
    // The accepted file differs from the policy in force, as after an edit
    // on disk that no reload has taken.
    hwtest::WriteWholeFile(m_dir.File("current.policy"), strIsapi);
    const SensorSettings& settings = SensorSettings::Instance();
    std::atomic<bool> bStop{false};
    std::atomic<int> nUpdates{0};
    std::thread library([&] {
        while (!bStop) {
            m_pSensor->UpdateAdapterList();
            ++nUpdates;
        }
    });
    // Read as the engines read them while they run.
    bool bChanged = false;
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        bChanged = bChanged || settings.m_bIsapiPlugin || m_pSensor->GetTclHandler() != nullptr;
        return nUpdates > 20;
    }));
    EXPECT_FALSE(bChanged);
    for (int i = 0; i < 3; ++i) {
        hwtest::WriteWholeFile(m_dir.File("push.policy"), strIsapi);
        EXPECT_EQ((Steps{"status 1", "complete"}), RunLoadingReload());
        EXPECT_EQ(Then(Paused(), Then(Each("OnReloadPolicy"), Each("OnResume"))), TakeSteps());
    }
    EXPECT_TRUE(settings.m_bIsapiPlugin);
    m_pSensor->OnStop(nullptr);
    bStop = true;
    library.join();
    EXPECT_EQ(1u, m_pSensor->UpdateAdapterList());
}

// Rule scripts the policy has on but that cannot run (here no script
// program is there to start) are said in the summary with the reason, and
// as a warning on the console, as an engine without input is.
TEST_F(CHostWardenTest, ScriptsThatCannotRunAreSaidWithTheirReason) {
    std::string strPolicy = kPolicy;
    strPolicy.replace(strPolicy.find("ScriptEnabled\t=B\t0"), 18, "ScriptEnabled\t=B\t1");
    hwtest::WriteWholeFile(m_dir.File("Default.policy"), strPolicy);
    RecordingRequest request;
    ASSERT_EQ(0u, m_pSensor->Oninit(&request));
    ASSERT_FALSE(request.m_calls.empty());
    const std::string strLine =
        "Rule scripts: OFF: there is no script program: neither tclProc.exe in the sensor "
        "directory nor ";
    EXPECT_NE(std::string::npos, request.m_calls[0].find("\n" + strLine)) << request.m_calls[0];
    bool bWarned = false;
    for (const LoggedLine& line : m_services.Lines()) {
        bWarned = bWarned || (line.dwLevel == (kCSFLogWarning | kCSFLogConsoleFlag) &&
                              line.text.rfind("after the start-up: " + strLine, 0) == 0);
    }
    EXPECT_TRUE(bWarned);
}
