#include "qorCSFLib/ADFGenericEvent.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/ScopedTimeZone.h"
#include "platform/TimeZone.h"
#include "qorCSFLib/CSFSensor.h"
#include "qorToolsLib/HostByteBuffer.h"

#include "FakeHost.h"
#include "TestPolicyEvent.h"

namespace {

class ADFGenericEventTest : public ::testing::Test {
protected:
    ADFGenericEventTest() {
        m_Sensor.SetSensorName("sensor-1");
        m_Sensor.SetSensorAddress("192.0.2.7");
        m_Sensor.SetProductName(CSFSensor::ProductName(3));
        m_Policy.SetPriority(2);
    }

    std::unique_ptr<ADFGenericEvent> Make(const CSFAlertParameter* pParameters = nullptr) {
        return std::make_unique<ADFGenericEvent>("Port Scan", 5, 101, &m_Policy, &m_Sensor, 1, pParameters);
    }

    static const AlertValue& Header(const CQorEvent& event, uint32_t dwIndex) {
        return event.GetSection(0)[dwIndex].m_Value;
    }
    static const EventAVP* Attribute(const CQorEvent& event, const char* pszName, uint32_t dwSection) {
        return event.GetRecord(event.Find(pszName, dwSection));
    }

    CSFSensor m_Sensor;
    TestPolicyEvent m_Policy;
};

std::vector<uint8_t> Bytes(const qorStreamBufferOwner& owner) {
    return std::vector<uint8_t>(owner.GetData(), owner.GetData() + owner.GetLength());
}

}  // namespace

TEST_F(ADFGenericEventTest, HeaderCarriesTheSensorAndTheZoneOffsetInForce) {
    ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    auto pEvent = Make();
    EXPECT_EQ(Header(*pEvent, kSensorAddress).Text(), "192.0.2.7");
    EXPECT_EQ(Header(*pEvent, kProductID).GetUint32(), 3u);
    EXPECT_EQ(pEvent->GetPriority(), 2);
    EXPECT_LT(Header(*pEvent, kAlertTimePrecision).GetUint32(), 1000000000u);
    const int64_t llDate = Header(*pEvent, kAlertDateTime).GetDate();
    EXPECT_EQ(Header(*pEvent, kLocalTimezoneOffset).GetInteger(),
              plat::GetTimeZoneInfoAt(llDate).ActiveBias() * 60);
}

TEST_F(ADFGenericEventTest, AlertsOfOneSecondAreNumberedInTurn) {
    // Make events until two fall into one second and two into different
    // seconds; the clock decides which comes first.
    bool bSameSecondSeen = false;
    bool bNewSecondSeen = false;
    auto pPrevious = Make();
    for (int i = 0; i < 100000 && !(bSameSecondSeen && bNewSecondSeen); ++i) {
        auto pNext = Make();
        const uint32_t dwPrevious = Header(*pPrevious, kAlertTimeSequenceID).GetUint32();
        const uint32_t dwNext = Header(*pNext, kAlertTimeSequenceID).GetUint32();
        if (Header(*pNext, kAlertDateTime).GetDate() == Header(*pPrevious, kAlertDateTime).GetDate()) {
            EXPECT_EQ(dwNext, dwPrevious + 1);
            bSameSecondSeen = true;
        } else {
            EXPECT_EQ(dwNext, 0u);
            bNewSecondSeen = true;
        }
        pPrevious = std::move(pNext);
    }
    EXPECT_TRUE(bSameSecondSeen);
}

TEST_F(ADFGenericEventTest, ParametersBecomeSensorOrAlertAttributesByName) {
    CSFAlertParameter parameters[6] = {};
    const char* const entries[][2] = {{"Message", "hello"}, {"algorithm-id", "12"}, {"Code", "7"}, {"Host", "web1"}};
    for (size_t i = 0; i < 4; ++i) {
        std::strcpy(parameters[i].m_szName, entries[i][0]);
        std::strcpy(parameters[i].m_szValue, entries[i][1]);
    }
    // Filled to the brim, without terminators.
    std::memset(parameters[4].m_szName, 'n', sizeof parameters[4].m_szName);
    std::memset(parameters[4].m_szValue, 'v', sizeof parameters[4].m_szValue);
    auto pEvent = Make(parameters);
    EXPECT_EQ(Attribute(*pEvent, "Message", 1)->m_Value.Text(), "hello");
    EXPECT_EQ(Attribute(*pEvent, "Code", 1)->m_Value.Text(), "7");
    const EventAVP* pAlgorithm = Attribute(*pEvent, "algorithm-id", 1);
    ASSERT_NE(pAlgorithm, nullptr);
    EXPECT_EQ(pAlgorithm->m_Value.Type(), VTypeUint32);
    EXPECT_EQ(pAlgorithm->m_Value.GetUint32(), 12u);
    EXPECT_EQ(Attribute(*pEvent, ":Host", 2)->m_Value.Text(), "web1");
    const EventAVP* pBrim = Attribute(*pEvent, (":" + std::string(31, 'n')).c_str(), 2);
    ASSERT_NE(pBrim, nullptr);
    EXPECT_EQ(pBrim->m_Value.Text(), std::string(1023, 'v'));
    EXPECT_EQ(Attribute(*pEvent, "ResponseList", 1), nullptr);

    CSFAlertParameter none[1] = {};
    m_Policy.SetResponses("EMAIL:Default,SNMP:Trap");
    auto pPlain = Make(none);
    EXPECT_EQ(pPlain->GetCount(2), 0u);
    EXPECT_EQ(Attribute(*pPlain, "ResponseList", 1)->m_Value.Text(), "EMAIL=Default:0,SNMP=Trap:0");
}

TEST_F(ADFGenericEventTest, MessageIsTheHeaderWordsThenAStreamTheDecoderReadsBack) {
    CSFAlertParameter parameters[2] = {};
    std::strcpy(parameters[0].m_szName, "Host");
    std::strcpy(parameters[0].m_szValue, "web1");
    auto pEvent = Make(parameters);
    CSFAlertMessage message;
    ASSERT_EQ(pEvent->WriteMessage(&message), 0u);
    std::vector<uint8_t> bytes = Bytes(message);
    ASSERT_GT(bytes.size(), 12u);
    const uint32_t dwPayload = static_cast<uint32_t>(bytes.size() - 12);
    const uint8_t header[12] = {0x00, 0x00, 0x02, 0x58, 0x00, 0x00, 0x00, 0x05,
                                static_cast<uint8_t>(dwPayload >> 24), static_cast<uint8_t>(dwPayload >> 16),
                                static_cast<uint8_t>(dwPayload >> 8), static_cast<uint8_t>(dwPayload)};
    EXPECT_EQ(std::memcmp(bytes.data(), header, sizeof header), 0);
    EXPECT_TRUE(pEvent->IsFrozen());

    CQorEvent decoded;
    qorStreamBufferOwner owner;
    ASSERT_EQ(owner.CreateReadBuffer(bytes.data() + 12, dwPayload), 0u);
    ASSERT_EQ(decoded.Load(owner), 0u);
    EXPECT_EQ(decoded.ValidateIntegrity(), 0u);
    EXPECT_TRUE(decoded.Equals(*pEvent));

    // The same bytes again, and the stream alone loads back into an event
    // that writes it unchanged.
    CSFAlertMessage again;
    ASSERT_EQ(pEvent->WriteMessage(&again), 0u);
    EXPECT_EQ(Bytes(again), bytes);
    AlertEventPtr pLoaded(pEvent->CreateEmpty());
    ASSERT_EQ(pLoaded->LoadBytes(bytes.data() + 12, &dwPayload), 0u);
    HostHeapAllocator allocator;
    HostByteBuffer buffer{&allocator, nullptr, 0};
    ASSERT_EQ(pLoaded->WriteBytes(&buffer), 0u);
    EXPECT_EQ(std::vector<uint8_t>(buffer.GetData(), buffer.GetData() + buffer.GetLength()),
              std::vector<uint8_t>(bytes.begin() + 12, bytes.end()));
    HostHeapAllocator::Free(buffer.m_pbyBlock);
}

TEST_F(ADFGenericEventTest, GarbledStreamIsRejectedWithAStatus) {
    AlertEventPtr pEmpty(Make()->CreateEmpty());
    const uint8_t garbage[] = {0x41, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    uint32_t dwLength = sizeof garbage;
    EXPECT_NE(pEmpty->LoadBytes(garbage, &dwLength), 0u);
    EXPECT_NE(pEmpty->LoadBytes(garbage, nullptr), 0u);
    // An empty event has no header to write and no priority to give.
    CSFAlertMessage message;
    EXPECT_NE(pEmpty->WriteMessage(&message), 0u);
    EXPECT_EQ(pEmpty->GetPriority(), 0);
    EXPECT_NE(pEmpty->WriteMessage(nullptr), 0u);
}
