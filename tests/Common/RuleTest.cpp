#include "Common/Rule.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Common/AlertTypes.h"
#include "Common/ICorrelationRule.h"
#include "Common/RuleContainer.h"
#include "Common/RuleScript.h"
#include "TestEngine.h"
#include "qorCSFLib/FakeHost.h"

namespace {

// A correlation rule that answers as told and counts the events it saw.
class CountingCorrelationRule : public TestRule, public ICorrelationRule {
public:
    explicit CountingCorrelationRule(bool bAnswer) : m_bAnswer(bAnswer) {}
    bool Trigger(Rule* pFiredRule, AgentEventInfo*, std::unique_ptr<AgentEventInfo>& pAlert) override {
        ++m_nAsked;
        m_pLastFired = pFiredRule;
        if (!m_bAnswer) {
            pAlert = std::make_unique<TestRecord>(this, 1);
        }
        return m_bAnswer;
    }
    void RaiseAlert(std::unique_ptr<AgentEventInfo> pAlert) override { m_nRaised += pAlert ? 1 : 0; }
    bool m_bAnswer;
    int m_nAsked = 0;
    int m_nRaised = 0;
    Rule* m_pLastFired = nullptr;
};

}  // namespace

TEST(Rule, OutOfRangePrioritiesAreClampedAndAlertTypeNamesMatchInTheirOwnCase) {
    TestRule rule;
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 1}, {2, 2}, {4, 3}, {static_cast<uint32_t>(-1), 3}};
    for (auto [given, stored] : cases) {
        rule.SetPriority(given);
        EXPECT_EQ(rule.GetPriority(), stored) << given;
    }
    rule.SetAlertType("suspicioustcp");
    EXPECT_EQ(rule.GetAlertType(), kAlertUserDefinedEvent);
    EXPECT_EQ(rule.GetAlertTypeName(), "suspicioustcp");
    rule.SetAlertType(nullptr);
    EXPECT_EQ(rule.GetAlertTypeName(), "UserDefinedEvent");
}

TEST(Rule, CopyHasItsOwnPairsAndScriptButSharesCorrelationRules) {
    TestRule source;
    SetRuleInfoPair(&source, "Host", "a");
    source.SetInvalidResponses("X");
    auto pScript = std::make_unique<RuleScript>("Scan", "", "", "return 1");
    pScript->SetOwningRule(&source);
    source.SetScript(std::move(pScript));
    CountingCorrelationRule correlation(true);
    auto pCorrelations = std::make_unique<RuleContainer>();
    pCorrelations->Add(&correlation);
    source.SetCorrelationRules(std::move(pCorrelations));

    std::unique_ptr<Rule> pCopy(source.Clone());
    SetRuleInfoPair(pCopy.get(), "Host", "b");
    EXPECT_EQ(source.GetInfoPairs()[0].m_strValue, "a");
    EXPECT_EQ(pCopy->GetInvalidResponses(), "");
    ASSERT_NE(pCopy->GetScript(), nullptr);
    EXPECT_NE(pCopy->GetScript(), source.GetScript());
    EXPECT_EQ(pCopy->GetScript()->GetOwningRule(), pCopy.get());
    ASSERT_NE(pCopy->GetCorrelationRules(), nullptr);
    EXPECT_NE(pCopy->GetCorrelationRules(), source.GetCorrelationRules());
    EXPECT_EQ(*pCopy->GetCorrelationRules()->begin(), &correlation);
}

// The lists come from a policy container: a list released twice, or never,
// shows under the sanitizers.
TEST(Rule, ListSettersFillTheirPairOfListsAndReleaseOnlyWhenAsked) {
    PolicyPtr pPolicy(CreatePluginPolicyContainer());
    pPolicy->SetText("k", "a", "1");
    pPolicy->SetText("k", "b", "2");
    qgStringVector* pNames = nullptr;
    qgStringVector* pValues = nullptr;
    ASSERT_TRUE(pPolicy->GetValueTexts("k", &pNames, &pValues));
    TestRule rule;
    EXPECT_EQ(rule.SetValueListPair2(pNames, pValues, true), 2u);
    EXPECT_EQ(rule.GetList(3), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(rule.GetList(4), (std::vector<std::string>{"1", "2"}));

    ASSERT_TRUE(pPolicy->GetValueTexts("k", &pNames, &pValues));
    EXPECT_EQ(rule.SetNameList2(pNames, false), 2u);
    EXPECT_EQ(rule.GetList(3).size(), 4u);
    pNames->Release();
    pValues->Release();
    EXPECT_EQ(rule.SetValueListPair5(nullptr, nullptr, true), 0u);
}

TEST(RuleContainer, ContainerLeavesItsRulesAliveAndFindsWholeNamesInTheirCase) {
    TestRule scan;
    scan.SetName("Port Scan");
    TestRule second;
    second.SetName("Port Scan");
    auto pContainer = std::make_unique<RuleContainer>();
    pContainer->Add(&scan);
    pContainer->Add(nullptr);
    pContainer->Add(&second);
    RuleContainer copy(*pContainer);
    pContainer.reset();
    EXPECT_EQ(copy.Count(), 2u);
    EXPECT_EQ(copy.Find("Port Scan"), &scan);
    EXPECT_EQ(copy.Find("port scan"), nullptr);
    EXPECT_EQ(copy.Find("Port"), nullptr);
    EXPECT_EQ(copy.Find(nullptr), nullptr);
    copy.Clear();
    EXPECT_EQ(scan.GetName(), "Port Scan");
}

TEST(CorrelationGate, EveryEnabledCorrelationRuleIsAskedEvenAfterARefusal) {
    TestRule fired;
    EXPECT_TRUE(fired.CorrelationAllows(nullptr, nullptr, 0, 15));
    CountingCorrelationRule refusing(false);
    refusing.Enable();
    CountingCorrelationRule allowing(true);
    allowing.Enable();
    CountingCorrelationRule disabled(false);
    TestRule plain;
    plain.Enable();
    auto pCorrelations = std::make_unique<RuleContainer>();
    for (Rule* pRule : std::initializer_list<Rule*>{&refusing, &plain, &disabled, &allowing}) {
        pCorrelations->Add(pRule);
    }
    fired.SetCorrelationRules(std::move(pCorrelations));

    EXPECT_FALSE(fired.CorrelationAllows(nullptr, nullptr, 0, 15));
    EXPECT_EQ(refusing.m_nAsked, 1);
    EXPECT_EQ(refusing.m_nRaised, 1);
    EXPECT_EQ(allowing.m_nAsked, 1);
    EXPECT_EQ(allowing.m_pLastFired, &fired);
    EXPECT_EQ(disabled.m_nAsked, 0);
}
