#include "Common/UserTagSet.h"

#include <gtest/gtest.h>

#include <string>

#include "Common/AgentEventInfoDefault.h"
#include "Common/CADFEvent.h"
#include "FakeSensorCore.h"
#include "TestEngine.h"
#include "platform/ScopedTimeZone.h"
#include "support/ManualReportTime.h"

namespace {

class UserTagSetTest : public ::testing::Test {
protected:
    UserTagSetTest() { m_Rule.SetName("Scan"); }

    // An event with a full header, linked to a record carrying the pairs.
    CADFEvent& Event(std::initializer_list<std::pair<const char*, const char*>> pairs,
                     uint16_t wPriority = AgentEventInfo::kNoPriorityOverride) {
        auto* pRecord = new AgentEventInfoDefault(&m_Rule, 1);
        pRecord->m_wPriorityOverride = wPriority;
        for (const auto& [pszName, pszValue] : pairs) {
            pRecord->AddInfoPair(pszName, pszValue);
        }
        m_pTags = std::make_unique<UserTagSet>(pRecord);
        m_pEvent = std::make_unique<CADFEvent>("Scan", 5, 210, nullptr, nullptr, 1, nullptr);
        m_pEvent->SetAlertRecord(pRecord);
        return *m_pEvent;
    }
    // Builds the event and applies the tags to it.
    bool Apply(std::initializer_list<std::pair<const char*, const char*>> pairs,
               uint16_t wPriority = AgentEventInfo::kNoPriorityOverride) {
        CADFEvent& event = Event(pairs, wPriority);
        return m_pTags->Apply(event);
    }
    const AlertValue& Header(uint32_t dwIndex) { return m_pEvent->GetSection(0)[dwIndex].m_Value; }

    ScopedHostLog m_Log;
    TestRule m_Rule;
    std::unique_ptr<UserTagSet> m_pTags;
    std::unique_ptr<CADFEvent> m_pEvent;
};

}  // namespace

TEST_F(UserTagSetTest, AlertNameJoinsTheRuleNameUnlessReplaceIsANonZeroNumber) {
    CADFEvent& joined = Event({{"USER_AlertName", "Port scan"}});
    EXPECT_TRUE(m_pTags->Apply(joined));
    EXPECT_EQ(Header(kAlertName).Text(), "Scan - Port scan");
    EXPECT_TRUE(joined.GetAlertRecord()->GetInfoPairs().empty());
    Apply({{"USER_AlertName", "Port scan"}, {"USER_ReplaceAlertName", "1"}});
    EXPECT_EQ(Header(kAlertName).Text(), "Port scan");
    Apply({{"USER_AlertName", "Port scan"}, {"USER_ReplaceAlertName", "yes"}});
    EXPECT_EQ(Header(kAlertName).Text(), "Scan - Port scan");
}

TEST_F(UserTagSetTest, AlertNameCarriesTheRecordPriorityOnlyWhenItIsOneToThree) {
    Apply({{"USER_AlertName", "x"}}, 2);
    EXPECT_EQ(Header(kAlertPriority).GetUint32(), 2u);
    Apply({{"USER_AlertName", "x"}});
    EXPECT_EQ(Header(kAlertPriority).GetUint32(), 0u);
    Apply({{"USER_AlertName", "x"}, {"USER_AlertPriority", "3"}}, 1);
    EXPECT_EQ(Header(kAlertPriority).GetUint32(), 3u);
    const std::pair<const char*, uint8_t> nameTypes[] = {{"7", 0}, {"-1", 0}, {"3", 3}};
    for (const auto& [pszValue, byExpected] : nameTypes) {
        Apply({{"USER_AlertNameType", pszValue}});
        EXPECT_EQ(Header(kAlertNameType).GetUint8(), byExpected) << pszValue;
    }
}

TEST_F(UserTagSetTest, ImpossibleOrEarlyDatesAreRefusedAndLogged) {
    EXPECT_FALSE(Apply({{"USER_AlertDateTime", "2004-02-30 10:00:00"}}));
    EXPECT_TRUE(m_Log.Contains("Scan: Invalid value for \"USER_AlertDateTime\" (2004-02-30 10:00:00)"));
    EXPECT_GT(Header(kAlertDateTime).GetDate(), 0);
    EXPECT_FALSE(Apply({{"USER_AlertDateTime", "1969-12-31 23:59:59"}}));
    EXPECT_EQ(UserTagSet::ConvertDate("1969-12-31 23:59:59", 0), UserTagSet::kInvalidDate);
    EXPECT_EQ(UserTagSet::ConvertDate("1970-01-01 00:00:10", -3600), UserTagSet::kInvalidDate);
    EXPECT_EQ(UserTagSet::ConvertDate("garbage", 0), UserTagSet::kInvalidDate);
}

TEST_F(UserTagSetTest, DateIsShiftedByTheGivenOffsetOrTheZoneInForceAtThatDate) {
    EXPECT_TRUE(Apply({{"USER_AlertDateTime", "1970-01-01 00:00:10"}, {"USER_LocalTimezoneOffset", "3600"}}));
    EXPECT_EQ(Header(kAlertDateTime).GetDate(), 3610);
    EXPECT_EQ(Header(kLocalTimezoneOffset).GetInteger(), 3600);

    // The zone is asked again at every conversion: the same texts read in
    // UTC, then in a zone with daylight saving.
    {
        ScopedTimeZone utc("UTC0");
        EXPECT_EQ(UserTagSet::ConvertDate("2021-07-01 14:00:00", -1), 1625140800u + 7200);
        EXPECT_EQ(UserTagSet::ConvertDate("2021-01-01 13:00:00", -1), 1609502400u + 3600);
    }
    ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    // Summer: two hours ahead of UTC; winter: one.
    EXPECT_EQ(UserTagSet::ConvertDate("2021-07-01 14:00:00", -1), 1625140800u);
    EXPECT_EQ(UserTagSet::ConvertDate("2021-01-01 13:00:00", -1), 1609502400u);
    Apply({{"USER_AlertDateTime", "2021-07-01 14:00:00"}});
    EXPECT_EQ(Header(kAlertDateTime).GetDate(), 1625140800);
}

TEST_F(UserTagSetTest, OnlyExactTagNamesAreTakenAndTheLastOfOneTagWins) {
    CADFEvent& event = Event({{"user_AlertName", "kept"},
                              {"USER_SourceAddress", "10.0.0.1"},
                              {"USER_SourceAddress", "10.0.0.2"},
                              {"USER_SourcePort", "8080"}});
    const InfoPairList& pairs = event.GetAlertRecord()->GetInfoPairs();
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0].m_strName, "user_AlertName");
    EXPECT_TRUE(m_pTags->Apply(event));
    EXPECT_EQ(event.GetRecord(event.Find("SourceAddress", 1))->m_Value.Text(), "10.0.0.2");
    EXPECT_EQ(event.GetRecord(event.Find("SourcePort", 1))->m_Value.GetUint32(), 8080u);

    CADFEvent& untagged = Event({{"Host", "web1"}, {"USER_ReplaceAlertName", "1"}});
    EXPECT_FALSE(m_pTags->Found());
    EXPECT_TRUE(m_pTags->Apply(untagged));
    EXPECT_EQ(Header(kAlertName).Text(), "Scan");
    EXPECT_EQ(untagged.GetCount(1), 0u);
}

// A tag's value often comes from the input: a stream of bad ones costs the
// log so many lines a minute, the next one counting those left out, and
// every alert still goes out with its other tags.
TEST_F(UserTagSetTest, RefusalsAreLoggedSoManyAMinuteAndCountWhatTheyLeftOut) {
    hwtest::ManualReportTime time;
    for (int i = 0; i < 50; ++i) {
        EXPECT_FALSE(Apply({{"USER_AlertDateTime", "not a date"}, {"USER_AlertName", "x"}}));
        EXPECT_EQ(Header(kAlertName).Text(), "Scan - x");
    }
    EXPECT_EQ(UserTagSet::kRefusalReportsPerMinute,
              m_Log.m_Services.CountStartingWith("Scan: Invalid value for"));
    hwtest::ManualReportTime::Advance(60);
    Apply({{"USER_AlertDateTime", "not a date"}});
    EXPECT_EQ(1u, m_Log.m_Services.CountStartingWith("Scan: Invalid value for \"USER_AlertDateTime\" (not a "
                                                     "date) (30 refused values were not reported before it)"));
}
