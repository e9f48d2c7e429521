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
#include "TestEngine.h"
#include "platform/DebugOutput.h"
#include "qorCSFLib/CSFLog.h"
#include "qorCSFLib/CSFSensor.h"
#include "qorCSFLib/FakeHost.h"

namespace {

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

}  // namespace

TEST_F(CPolicyEventTest, RecordPriorityOverridesThePolicysOnlyOnTheNewEvent) {
    for (int nQg = 0; nQg < 2; ++nQg) {
        SCOPED_TRACE(nQg);
        m_Sensor.SetUsesQgEvents(nQg);
        CPolicyEvent policy;
        policy.SetPriority(3);
        AlertEventPtr pDefault(policy.CreateAlertEvent(nullptr, Record(), 1));
        ASSERT_NE(pDefault, nullptr);
        EXPECT_EQ(pDefault->GetPriority(), 3);
        AlertEventPtr pHigh(policy.CreateAlertEvent(nullptr, Record(1), 1));
        EXPECT_EQ(pHigh->GetPriority(), 1);
        EXPECT_EQ(policy.GetPriority(), 3);
    }
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
                AlertEventPtr pEvent(policy.CreateAlertEvent(nullptr, Record(wPriority), 1));
                const int32_t nExpected = wPriority == 999 ? 3 : wPriority;
                if (pEvent == nullptr || pEvent->GetPriority() != nExpected) {
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

TEST_F(CPolicyEventTest, FormFollowsTheSensorWhenThePolicyEventIsMadeAndUserTagsOnlyRenameTheADFForm) {
    CPolicyEvent adfPolicy;
    m_Sensor.SetUsesQgEvents(1);
    CPolicyEvent qgPolicy;
    qgPolicy.SetName("Policy name");

    AgentEventInfoDefault* pRecord = Record();
    pRecord->AddInfoPair("USER_AlertName", "renamed");
    AlertEventPtr pAdf(adfPolicy.CreateAlertEvent(nullptr, pRecord, 1));
    auto* pAdfEvent = dynamic_cast<CADFEvent*>(pAdf.get());
    ASSERT_NE(pAdfEvent, nullptr);
    EXPECT_EQ(pAdfEvent->GetSection(0)[kAlertName].m_Value.Text(), "Login - renamed");
    EXPECT_EQ(pAdfEvent->GetSection(0)[kSensorName].m_Value.Text(), "sensor-1");
    EXPECT_FALSE(pAdfEvent->Find("USER_AlertName", 2).IsValid());
    EXPECT_EQ(pAdfEvent->GetEventId(), 12u);

    pRecord = Record();
    pRecord->AddInfoPair("USER_AlertName", "renamed");
    AlertEventPtr pQg(qgPolicy.CreateAlertEvent(nullptr, pRecord, 1));
    auto* pQgEvent = dynamic_cast<CQgEvent*>(pQg.get());
    ASSERT_NE(pQgEvent, nullptr);
    EXPECT_EQ(pQgEvent->GetAlertName(), "Policy name");
    ASSERT_EQ(pQgEvent->GetPairs().size(), 1u);
    EXPECT_EQ(pQgEvent->GetPairs()[0].m_strName, "USER_AlertName");
}

TEST_F(CPolicyEventTest, NullOrForeignRecordGivesNoEvent) {
    CPolicyEvent policy;
    EXPECT_EQ(policy.CreateAlertEvent(nullptr, nullptr, 1), nullptr);
    uint64_t foreign[16] = {};
    EXPECT_EQ(policy.CreateAlertEvent(nullptr, reinterpret_cast<AgentEventInfo*>(foreign), 1), nullptr);
}

TEST_F(CPolicyEventTest, EventsOwnTheirRecordAndCopiesOwnACopy) {
    CPolicyEvent policy;
    AlertEventPtr pEvent(policy.CreateAlertEvent(nullptr, Record(), 1));
    AlertEventPtr pClone(pEvent->Clone());
    auto* pCopy = static_cast<CADFEvent*>(pClone.get());
    ASSERT_NE(pCopy->GetAlertRecord(), nullptr);
    EXPECT_NE(pCopy->GetAlertRecord(), static_cast<CADFEvent*>(pEvent.get())->GetAlertRecord());
    pEvent.reset();
    EXPECT_EQ(pCopy->GetAlertRecord()->m_dwEventId, 12u);
    *pCopy = *pCopy;
    EXPECT_NE(pCopy->GetAlertRecord(), nullptr);
    AlertEventPtr pEmpty(pCopy->CreateEmpty());
    AlertEventPtr pEmptyClone(pEmpty->Clone());
    EXPECT_EQ(static_cast<CADFEvent*>(pEmptyClone.get())->GetAlertRecord(), nullptr);
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
    AlertEventPtr pAdf(adfPolicy.CreateAlertEvent(nullptr, pAdfRecord, 1));
    m_Sensor.SetUsesQgEvents(1);
    CPolicyEvent qgPolicy;
    AgentEventInfoDefault* pQgRecord = Record();
    AlertEventPtr pQg(qgPolicy.CreateAlertEvent(nullptr, pQgRecord, 1));
    plat::SetDebugOutputSink(std::move(previous));
    SetDebugLoggingEnabled(false);

    ASSERT_NE(pAdf, nullptr);
    EXPECT_EQ(static_cast<CADFEvent*>(pAdf.get())->GetAlertRecord(), pAdfRecord);
    // The Qg form fails before it takes the record, which stays the caller's.
    EXPECT_EQ(pQg, nullptr);
    delete pQgRecord;
}
