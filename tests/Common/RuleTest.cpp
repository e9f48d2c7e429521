#include "Common/Rule.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Common/AlertTypes.h"
#include "Common/ICorrelationRule.h"
#include "Common/RuleContainer.h"
#include "Common/RuleScript.h"
#include "hostwarden/IPolicyContainer.h"

namespace {

class TestRule : public Rule {
public:
    Rule* Clone() const override { return new TestRule(*this); }
    bool IsRule() const override { return true; }
};

// A correlation rule that answers as told and counts the events it saw.
class CountingCorrelationRule : public TestRule, public ICorrelationRule {
public:
    explicit CountingCorrelationRule(bool bAnswer) : m_bAnswer(bAnswer) {}
    bool Evaluate(Rule* pFiredRule, AgentEventInfo*, const CSFEventInfo*, uint32_t, uint32_t) override {
        ++m_nAsked;
        m_pLastFired = pFiredRule;
        return m_bAnswer;
    }
    bool m_bAnswer;
    int m_nAsked = 0;
    Rule* m_pLastFired = nullptr;
};

class TextList : public qgStringVector {
public:
    explicit TextList(std::vector<std::string> items, int* pReleased = nullptr)
        : m_items(std::move(items)), m_pReleased(pReleased) {}
    size_t GetCount() override { return m_items.size(); }
    std::string GetItem(size_t n) override { return m_items.at(n); }
    const std::string* Begin() override { return m_items.data(); }
    const std::string* End() override { return m_items.data() + m_items.size(); }
    void Release() override {
        if (m_pReleased != nullptr) {
            ++*m_pReleased;
        }
        delete this;
    }

private:
    std::vector<std::string> m_items;
    int* m_pReleased;
};

}  // namespace

TEST(Rule, OutOfRangePrioritiesAreClamped) {
    TestRule rule;
    EXPECT_EQ(rule.GetPriority(), 3u);
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 1}, {2, 2}, {4, 3}, {static_cast<uint32_t>(-1), 3}};
    for (auto [given, stored] : cases) {
        rule.SetPriority(given);
        EXPECT_EQ(rule.GetPriority(), stored) << given;
    }
}

TEST(Rule, AlertTypeNamesMatchOnlyInTheirOwnCase) {
    TestRule rule;
    rule.SetAlertType("suspicioustcp");
    EXPECT_EQ(rule.GetAlertType(), kAlertUserDefinedEvent);
    EXPECT_EQ(rule.GetAlertTypeName(), "suspicioustcp");
    rule.SetAlertType("SuspiciousTCP");
    EXPECT_EQ(rule.GetAlertType(), kAlertSuspiciousTCP);
    rule.SetAlertType("");
    EXPECT_EQ(rule.GetAlertType(), kAlertUserDefinedEvent);
    EXPECT_EQ(rule.GetAlertTypeName(), "UserDefinedEvent");
    rule.SetAlertType(nullptr);
    EXPECT_EQ(rule.GetAlertTypeName(), "UserDefinedEvent");
}

TEST(Rule, CopyHasItsOwnPairsAndScriptButSharesCorrelationRules) {
    TestRule source;
    source.SetName("Scan");
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
    EXPECT_EQ(pCopy->GetInfoPairs()[0].m_strValue, "b");
    EXPECT_EQ(pCopy->GetInvalidResponses(), "");
    ASSERT_NE(pCopy->GetScript(), nullptr);
    EXPECT_NE(pCopy->GetScript(), source.GetScript());
    EXPECT_EQ(pCopy->GetScript()->GetValidation(), "return 1");
    EXPECT_EQ(pCopy->GetScript()->GetOwningRule(), pCopy.get());
    ASSERT_NE(pCopy->GetCorrelationRules(), nullptr);
    EXPECT_NE(pCopy->GetCorrelationRules(), source.GetCorrelationRules());
    EXPECT_EQ(*pCopy->GetCorrelationRules()->begin(), &correlation);
}

TEST(Rule, InfoPairOfAKnownNameIsReplacedNotRepeated) {
    TestRule rule;
    SetRuleInfoPair(&rule, "Host", "a");
    SetRuleInfoPair(&rule, "host", "b");
    SetRuleInfoPair(&rule, "Host", "c");
    ASSERT_EQ(rule.GetInfoPairs().size(), 2u);
    EXPECT_EQ(rule.GetInfoPairs()[0].m_strValue, "c");
    EXPECT_EQ(rule.GetInfoPairs()[1].m_strName, "host");
}

TEST(Rule, ListSettersFillTheirPairOfListsAndReleaseOnlyWhenAsked) {
    TestRule rule;
    int nReleased = 0;
    auto* pNames = new TextList({"a", "b", "c"}, &nReleased);
    auto* pValues = new TextList({"1", "2"}, &nReleased);
    EXPECT_EQ(rule.SetValueListPair2(pNames, pValues, true), 2u);
    EXPECT_EQ(nReleased, 2);
    EXPECT_EQ(rule.GetList(3), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(rule.GetList(4), (std::vector<std::string>{"1", "2"}));

    TextList kept({"x"});
    EXPECT_EQ(rule.SetNameList2(&kept, false), 1u);
    EXPECT_EQ(rule.GetList(3).back(), "x");
    EXPECT_EQ(rule.SetValueListPair5(nullptr, nullptr, true), 0u);
}

TEST(RuleContainer, DeletingOrClearingAContainerLeavesItsRulesAlive) {
    TestRule first;
    first.SetName("first");
    auto pContainer = std::make_unique<RuleContainer>();
    pContainer->Add(&first);
    pContainer->Add(nullptr);
    RuleContainer copy(*pContainer);
    EXPECT_EQ(copy.Count(), 1u);
    pContainer.reset();
    copy.Clear();
    EXPECT_EQ(copy.Count(), 0u);
    EXPECT_EQ(first.GetName(), "first");
}

TEST(RuleContainer, FindMatchesTheWholeNameInItsOwnCase) {
    TestRule scan;
    scan.SetName("Port Scan");
    TestRule second;
    second.SetName("Port Scan");
    RuleContainer container;
    container.Add(&scan);
    container.Add(&second);
    EXPECT_EQ(container.Find("Port Scan"), &scan);
    EXPECT_EQ(container.Find("port scan"), nullptr);
    EXPECT_EQ(container.Find("Port"), nullptr);
    EXPECT_EQ(container.Find(nullptr), nullptr);
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
    EXPECT_EQ(allowing.m_nAsked, 1);
    EXPECT_EQ(allowing.m_pLastFired, &fired);
    EXPECT_EQ(disabled.m_nAsked, 0);

    fired.SetCorrelationRules(std::make_unique<RuleContainer>());
    EXPECT_TRUE(fired.CorrelationAllows(nullptr, nullptr, 0, 15));
}
