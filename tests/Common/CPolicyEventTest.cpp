#include "Common/CPolicyEvent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>
#include <string_view>
#include <thread>
#include <vector>

#include "Common/AgentEventInfoDefault.h"
#include "Common/CADFEvent.h"
#include "Common/CQgEvent.h"
#include "FakeSensorCore.h"
#include "TestEngine.h"
#include "qorCSFLib/CSFSensor.h"

namespace {

struct EventDeleter {
    void operator()(ICSFAlertEvent* pEvent) const {
        if (pEvent != nullptr) {
            pEvent->Destroy();
        }
    }
};
using EventPtr = std::unique_ptr<ICSFAlertEvent, EventDeleter>;

class CPolicyEventTest : public ::testing::Test {
protected:
    CPolicyEventTest() {
        m_Rule.SetName("Login");
        m_Rule.SetOrigin(kRuleOriginStandard);
        m_Rule.SetAlertType("LoginEvent");
        m_Sensor.SetSensorName("sensor-1");
    }

    AgentEventInfoDefault* Record(uint16_t wPriority = AgentEventInfo::kNoPriorityOverride) {
        auto* pRecord = new AgentEventInfoDefault(&m_Rule, 1);
        pRecord->m_wPriorityOverride = wPriority;
        pRecord->m_dwEventId = 12;
        return pRecord;
    }

    CSFSensor m_Sensor;
    TestRule m_Rule;
};

uint32_t AlertPriority(ICSFAlertEvent* pEvent) {
    return static_cast<uint32_t>(pEvent->GetPriority());
}

}  // namespace

TEST_F(CPolicyEventTest, RecordPriorityOverridesThePolicysOnlyOnTheNewEvent) {
    CPolicyEvent policy;
    policy.SetPriority(3);
    EventPtr pDefault(policy.CreateAlertEvent(nullptr, Record(), 1));
    ASSERT_NE(pDefault, nullptr);
    EXPECT_EQ(AlertPriority(pDefault.get()), 3u);
    EventPtr pHigh(policy.CreateAlertEvent(nullptr, Record(1), 1));
    EXPECT_EQ(AlertPriority(pHigh.get()), 1u);
    EXPECT_EQ(policy.GetPriority(), 3);

    m_Sensor.SetUsesQgEvents(1);
    CPolicyEvent qgPolicy;
    qgPolicy.SetPriority(3);
    EventPtr pQg(qgPolicy.CreateAlertEvent(nullptr, Record(1), 1));
    EXPECT_EQ(AlertPriority(pQg.get()), 1u);
    EventPtr pQgDefault(qgPolicy.CreateAlertEvent(nullptr, Record(), 1));
    EXPECT_EQ(AlertPriority(pQgDefault.get()), 3u);
    EXPECT_EQ(qgPolicy.GetPriority(), 3);
}

TEST_F(CPolicyEventTest, FormFollowsTheSensorWhenThePolicyEventIsMade) {
    CPolicyEvent adfPolicy;
    adfPolicy.SetName("Policy name");
    m_Sensor.SetUsesQgEvents(1);
    CPolicyEvent qgPolicy;
    qgPolicy.SetName("Policy name");

    EventPtr pAdf(adfPolicy.CreateAlertEvent(nullptr, Record(), 1));
    auto* pAdfEvent = dynamic_cast<CADFEvent*>(pAdf.get());
    ASSERT_NE(pAdfEvent, nullptr);
    EXPECT_EQ(pAdfEvent->GetSection(0)[kAlertName].m_Value.Text(), "Login");
    EXPECT_EQ(pAdfEvent->GetSection(0)[kAlertNameType].m_Value.GetUint8(), kRuleOriginStandard);
    EXPECT_EQ(pAdfEvent->GetSection(0)[kSensorName].m_Value.Text(), "sensor-1");
    EXPECT_EQ(pAdfEvent->GetEventId(), 12u);
    EXPECT_EQ(pAdfEvent->GetSensor(), &m_Sensor);

    EventPtr pQg(qgPolicy.CreateAlertEvent(nullptr, Record(), 1));
    auto* pQgEvent = dynamic_cast<CQgEvent*>(pQg.get());
    ASSERT_NE(pQgEvent, nullptr);
    EXPECT_EQ(pQgEvent->GetAlertName(), "Policy name");
    EXPECT_NE(pQgEvent->GetAlertRecord(), nullptr);
}

TEST_F(CPolicyEventTest, UserTagsLeaveTheADFParametersButStayInTheQgForm) {
    CPolicyEvent adfPolicy;
    AgentEventInfoDefault* pRecord = Record();
    pRecord->AddInfoPair("USER_AlertName", "renamed");
    EventPtr pAdf(adfPolicy.CreateAlertEvent(nullptr, pRecord, 1));
    auto* pAdfEvent = static_cast<CADFEvent*>(pAdf.get());
    EXPECT_FALSE(pAdfEvent->Find("USER_AlertName", 2).IsValid());
    EXPECT_EQ(pAdfEvent->GetSection(0)[kAlertName].m_Value.Text(), "Login - renamed");

    m_Sensor.SetUsesQgEvents(1);
    CPolicyEvent qgPolicy;
    pRecord = Record();
    pRecord->AddInfoPair("USER_AlertName", "renamed");
    EventPtr pQg(qgPolicy.CreateAlertEvent(nullptr, pRecord, 1));
    const auto& pairs = static_cast<CQgEvent*>(pQg.get())->GetPairs();
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0].m_strName, "USER_AlertName");
}

TEST_F(CPolicyEventTest, NullOrForeignRecordGivesNoEvent) {
    CPolicyEvent policy;
    EXPECT_EQ(policy.CreateAlertEvent(nullptr, nullptr, 1), nullptr);
    struct Foreign {
        uint64_t words[16] = {};
    } foreign;
    EXPECT_EQ(policy.CreateAlertEvent(nullptr, reinterpret_cast<AgentEventInfo*>(&foreign), 1), nullptr);
    EXPECT_EQ(policy.GetAlertName(nullptr), std::string());
    std::unique_ptr<IPolicyEventInterface> pCopy(policy.CreatePolicyEvent());
    EXPECT_NE(dynamic_cast<CPolicyEvent*>(pCopy.get()), nullptr);
}

TEST_F(CPolicyEventTest, OnlyADFConversionsSetTheLastSentAlertType) {
    CPolicyEvent adfPolicy;
    EventPtr pAdf(adfPolicy.CreateAlertEvent(nullptr, Record(), 1));
    EXPECT_EQ(LastSentAlertType.load(), 203);
    m_Sensor.SetUsesQgEvents(1);
    CPolicyEvent qgPolicy;
    AgentEventInfoDefault* pRecord = Record();
    pRecord->SetAlertType(101);
    EventPtr pQg(qgPolicy.CreateAlertEvent(nullptr, pRecord, 1));
    EXPECT_EQ(LastSentAlertType.load(), 203);
}

TEST_F(CPolicyEventTest, ConcurrentConversionsOfOneRuleEachKeepTheirOwnPriority) {
    CPolicyEvent policy;
    policy.SetPriority(3);
    std::atomic<int> nWrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                const uint16_t wPriority = static_cast<uint16_t>((t + i) % 4 == 0 ? 999 : (t + i) % 4);
                EventPtr pEvent(policy.CreateAlertEvent(nullptr, Record(wPriority), 1));
                const uint32_t dwExpected = wPriority == 999 ? 3u : wPriority;
                if (pEvent == nullptr || AlertPriority(pEvent.get()) != dwExpected) {
                    ++nWrong;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(nWrong.load(), 0);
    EXPECT_EQ(policy.GetPriority(), 3);
}

TEST_F(CPolicyEventTest, EventsOwnTheirRecordAndCopiesOwnACopy) {
    CPolicyEvent policy;
    EventPtr pEvent(policy.CreateAlertEvent(nullptr, Record(), 1));
    auto* pAdf = static_cast<CADFEvent*>(pEvent.get());
    EventPtr pClone(pEvent->Clone());
    auto* pCopy = static_cast<CADFEvent*>(pClone.get());
    ASSERT_NE(pCopy->GetAlertRecord(), nullptr);
    EXPECT_NE(pCopy->GetAlertRecord(), pAdf->GetAlertRecord());
    pEvent.reset();
    EXPECT_EQ(pCopy->GetAlertRecord()->m_dwEventId, 12u);
    *pCopy = *pCopy;
    EXPECT_NE(pCopy->GetAlertRecord(), nullptr);
    EXPECT_EQ(pCopy->GetSelf(99), pCopy);
    EventPtr pEmpty(pCopy->CreateEmpty());
    EXPECT_EQ(static_cast<CADFEvent*>(pEmpty.get())->GetAlertRecord(), nullptr);
    EventPtr pEmptyClone(pEmpty->Clone());
    EXPECT_EQ(static_cast<CADFEvent*>(pEmptyClone.get())->GetAlertRecord(), nullptr);
}

TEST_F(CPolicyEventTest, QgEventTracesItsLifeWithItsRecord) {
    ScopedTraces traces;
    auto* pEvent = new CQgEvent("a", 0, 1, nullptr);
    AgentEventInfoDefault* pRecord = Record();
    pEvent->SetAlertRecord(pRecord);
    char szExpected[64];
    std::snprintf(szExpected, sizeof szExpected, "(pAEI = 0x%x)",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(pRecord)));
    std::unique_ptr<CQgEvent> pBlank(pEvent->CreateBlank(0));
    EXPECT_EQ(pBlank->GetAlertRecord(), nullptr);
    pEvent->Destroy();
    EXPECT_TRUE(traces.Contains("constructing 0x"));
    EXPECT_TRUE(traces.Contains(szExpected));
}

// A failure after the event has taken its record must not hand back null:
// the caller would then delete a record the event has already deleted.
TEST_F(CPolicyEventTest, FailureAfterTheRecordIsLinkedStillReturnsTheEvent) {
    SetDebugLoggingEnabled(true);
    plat::DebugOutputSink previous = plat::SetDebugOutputSink([](std::string_view text) {
        if (text.find("sending the") != std::string_view::npos) {
            throw std::bad_alloc();
        }
    });
    CPolicyEvent adfPolicy;
    AgentEventInfoDefault* pAdfRecord = Record();
    EventPtr pAdf(adfPolicy.CreateAlertEvent(nullptr, pAdfRecord, 1));
    m_Sensor.SetUsesQgEvents(1);
    CPolicyEvent qgPolicy;
    AgentEventInfoDefault* pQgRecord = Record();
    EventPtr pQg(qgPolicy.CreateAlertEvent(nullptr, pQgRecord, 1));
    plat::SetDebugOutputSink(std::move(previous));
    SetDebugLoggingEnabled(false);

    ASSERT_NE(pAdf, nullptr);
    EXPECT_EQ(static_cast<CADFEvent*>(pAdf.get())->GetAlertRecord(), pAdfRecord);
    // The Qg form fails before it takes the record, which stays the caller's.
    EXPECT_EQ(pQg, nullptr);
    delete pQgRecord;
}
