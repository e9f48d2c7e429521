// What a correlation rule can count, once the engines have read their rules
// and run: a rule watching only rules that give no alert (no such rule, one
// switched off, one of an engine that is off) can never fire and is an
// error naming why; a watched rule that gives nothing beside others that
// may is a warning; a SCAN rule whose threshold is above what its watched
// rules reach together can never fire either.

#include "Plugin/CorrelationCheck.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Common/CEngineCorrelation.h"
#include "Common/CThreadList.h"
#include "Common/PolicyTest.h"
#include "Common/TestEngine.h"
#include "qorCSFLib/CSFSvcRequest.h"
#include "qorCSFLib/FakeHost.h"
#include "support/EngineEnd.h"

namespace {

const std::string kTable = "\\Advanced\\Rules\\Test Rules";
const std::string kOffTable = "\\Advanced\\Rules\\Off Rules";
const std::string kCorrelation = "\\Advanced\\Rules\\Correlation Rules";

class OffRuleReader : public TestRuleReader {
public:
    const char* GetRulesKey() override { return "Off Rules"; }
};

// An engine the policy switched off, as the network engine is without
// "Nodekeeper": it reads its rules all the same.
class OffEngine : public CEngineBase {
public:
    OffEngine() : CEngineBase("Off Engine") {}
    // The thread calls the engine's _doWork: its end is awaited before
    // this part of the engine goes, however long a loaded machine takes.
    ~OffEngine() override {
        hwtest::EndHeldEngine(*this);
        StopAndWait();
    }
    int32_t ConfigureEventSections(CSFEventRegistry*) override { return 0; }
    int32_t PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) override {
        m_Reader.ReadRules(pContainer, pPolicy);
        return 0;
    }
    bool DescribeInput(std::string& strInput) override {
        strInput = "off: its switch is off";
        ++m_nAsked;
        return true;
    }
    uint32_t _doWork() override { return 0; }
    OffRuleReader m_Reader;
    int m_nAsked = 0;
};

class CorrelationCheckTest : public PolicyTest {
protected:
    CorrelationCheckTest() : m_pRequest(new CSFSvcRequest) {
        m_pRequest->SetServices(&m_Services);
        m_Sensor.m_pPolicy = m_pPolicy.get();
        m_Engines.Append(m_pRunning);
        m_Engines.Append(m_pOff);
        m_Engines.Append(m_pCorrelation);
    }
    ~CorrelationCheckTest() override {
        m_Engines.DeleteAll();
        m_pRequest->Release();
    }

    std::string AddRule(const std::string& strTable, const char* pszName) {
        std::string strPath = strTable + "\\" + pszName;
        Set(strPath, "Enabled", true);
        return strPath;
    }
    // A correlation rule of `pszType` watching each name with weight 1.
    std::string Watcher(const char* pszName, const char* pszType,
                        const std::vector<std::string>& watched) {
        const std::string strPath = AddRule(kCorrelation, pszName);
        Set(strPath, "Type", pszType);
        for (const std::string& strName : watched) {
            Set(strPath + "\\Rules", strName.c_str(), "1");
        }
        return strPath;
    }
    // Reads every engine's rules as a load does and checks them; answers
    // the warnings and errors the check said.
    std::vector<LoggedLine> Load() {
        PolicyKeyAudit audit(m_pPolicy.get());
        m_Engines.ReloadPolicyAll(0);
        m_Services.Forget();
        CheckCorrelationReach(audit.TakenRules(), &m_Engines);
        return m_Services.Lines();
    }

    RecordingServices m_Services;
    CSFSvcRequest* m_pRequest;
    TestEngine* m_pRunning = new TestEngine;
    OffEngine* m_pOff = new OffEngine;
    CEngineCorrelation* m_pCorrelation = new CEngineCorrelation;
    CThreadList m_Engines;
};

}  // namespace

TEST_F(CorrelationCheckTest, RuleWatchingOnlyRulesThatGiveNoAlertCanNeverFireAndSaysWhy) {
    AddRule(kTable, "Live");
    AddRule(kOffTable, "Asleep");
    const std::string strDead = Watcher("Dead", "CUMULATIVE", {"Asleep", "Ghost"});
    const std::string strMixed = Watcher("Mixed", "CUMULATIVE", {"Live", "Asleep"});

    const std::vector<LoggedLine> said = Load();

    std::vector<std::string> texts;
    for (const LoggedLine& line : said) {
        texts.push_back(line.text);
    }
    const std::string strAsleep = "\"Asleep\", a rule of the Off Engine, which is off (its switch is off)";
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "Rule " + strDead + " watches " + strAsleep + ": its alerts never count",
                         "Rule " + strDead + " can never fire: no rule it watches gives an alert (" +
                             strAsleep + "; \"Ghost\", no rule)",
                         "Rule " + strMixed + " watches " + strAsleep + ": its alerts never count"}))
        << ::testing::PrintToString(texts);
    ASSERT_EQ(3u, said.size());
    EXPECT_EQ(kCSFLogError | kCSFLogConsoleFlag, said[1].dwLevel);
    EXPECT_EQ(kCSFLogWarning | kCSFLogConsoleFlag, said[2].dwLevel);
    // Each engine is asked once however many rules watch its rules.
    EXPECT_EQ(1, m_pOff->m_nAsked);
}

TEST_F(CorrelationCheckTest, ScanRuleWhoseThresholdIsAboveWhatItsRulesReachCanNeverFire) {
    AddRule(kTable, "One");
    AddRule(kTable, "Two");
    const std::string strScan = Watcher("Too high", "SCAN", {"One", "Two"});
    Set(strScan, "Threshold", 4);
    Set(strScan + "\\Rules", "Two", "2");
    const std::string strReached = Watcher("Reached", "SCAN", {"One", "Two"});
    Set(strReached, "Threshold", 2);
    // Alerts of one rule add up in a CUMULATIVE rule whatever the threshold.
    const std::string strCumulative = Watcher("Adds up", "CUMULATIVE", {"One"});
    Set(strCumulative, "Threshold", 50);

    const std::vector<LoggedLine> said = Load();

    ASSERT_EQ(1u, said.size());
    EXPECT_EQ("Rule " + strScan +
                  " can never fire: a SCAN rule counts each rule it watches once, with its weight, so "
                  "the rules that can alert reach 3 at most, below its \"Threshold\" 4",
              said[0].text);
    EXPECT_EQ(0, m_pOff->m_nAsked);
}
