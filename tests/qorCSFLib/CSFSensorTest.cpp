#include "qorCSFLib/CSFSensor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "FakeHost.h"
#include "qorCSFLib/CSFSvcRequest.h"
#include "support/TestUtil.h"

namespace {

using Calls = std::vector<std::string>;

class TestSensor : public CSFSensor {
public:
    using CSFSensor::GetCmlInputData;
    using CSFSensor::GetCmlInputLength;
    using CSFSensor::SetCmlResponse;
};

class CSFSensorTest : public ::testing::Test {
protected:
    bool Logged(const std::string& text) { return m_log.Contains(text); }

    ScopedHostLog m_log;
    RecordingServices& m_services = m_log.m_Services;
    TestSensor m_sensor;
};

}  // namespace

// A wake-up that arrives while the sensor thread is between two waits must
// be kept for the next wait; each wait consumes exactly one.
TEST_F(CSFSensorTest, WakeBetweenWaitsIsKeptForTheNextWait) {
    m_sensor.WakeSensorThread();    // before the first wait: nothing to wake
    m_sensor.WaitForCommand(0, 0);  // creates the event, signalled
    m_sensor.WaitForCommand(0, 0);  // consumes the initial signal
    m_sensor.WakeSensorThread();    // nobody waits right now
    std::atomic<int> returned{0};
    std::thread sensorThread([&] {
        m_sensor.WaitForCommand(0, 0);
        returned = 1;
        m_sensor.WaitForCommand(0, 0);
        returned = 2;
    });
    EXPECT_TRUE(hwtest::WaitUntil([&] { return returned.load() == 1; }));
    m_sensor.WakeSensorThread();
    EXPECT_TRUE(hwtest::WaitUntil([&] { return returned.load() == 2; }));
    if (returned.load() != 2) {
        m_sensor.WakeSensorThread();
    }
    sensorThread.join();
    EXPECT_TRUE(Logged("Waiting for Command from Control Thread"));
}

TEST_F(CSFSensorTest, StatusRequestReportsTheErrorConditionUntilCleared) {
    m_sensor.SetErrorCondition("disk on fire");
    RecordingRequest failed;
    m_sensor.OnStatusRequest(&failed);
    EXPECT_EQ((Calls{"text disk on fire", "status 2", "complete"}), failed.m_calls);

    m_sensor.ClearErrorCondition();
    RecordingRequest cleared;
    m_sensor.OnStatusRequest(&cleared);
    EXPECT_EQ((Calls{"status 1", "complete"}), cleared.m_calls);
    EXPECT_EQ(0u, m_sensor.OnStatusRequest(nullptr));
}

TEST_F(CSFSensorTest, EveryCommandCompletesItsRequestOnce) {
    using Command = uint32_t (CSFSensor::*)(ICSFCommandRequest*);
    struct Case {
        Command command;
        const char* status;
        const char* notice;
    };
    const Case cases[] = {
        {&CSFSensor::Oninit, "status 1", nullptr},
        {&CSFSensor::OnPause, "status 1", "1:The sensor has been paused."},
        {&CSFSensor::OnUpdateFailed, "status 2", "1:The Swiftpack Update has failed."},
    };
    for (const Case& c : cases) {
        m_services.Forget();
        RecordingRequest request;
        EXPECT_EQ(0u, (m_sensor.*c.command)(&request));
        EXPECT_EQ((Calls{c.status, "complete"}), request.m_calls) << c.status;
        if (c.notice != nullptr) {
            EXPECT_EQ(Calls{c.notice}, m_services.Notices());
        }
        EXPECT_EQ(0u, (m_sensor.*c.command)(nullptr));
    }
}

// A deleted sensor must not stay reachable: factories and policy events
// read the current sensor.
TEST_F(CSFSensorTest, DeletedSensorIsWithdrawnFromTheCurrentPointer) {
    EXPECT_EQ(&m_sensor, CSFSensor::Current());
    CSFSensor* pOther = new CSFSensor;
    EXPECT_EQ(pOther, CSFSensor::Current());
    EXPECT_EQ(0u, pOther->Delete());
    EXPECT_EQ(nullptr, CSFSensor::Current());
    EXPECT_TRUE(Logged("About to delete Sensor object"));
    EXPECT_TRUE(Logged("Deleted Sensor object"));
}

namespace {

std::vector<uint8_t> CmlMessage(const std::string& data) {
    std::vector<uint8_t> message(kCmlInputDataOffset + data.size(), 0xAA);
    uint32_t length = static_cast<uint32_t>(data.size());
    std::memcpy(message.data() + kCmlInputLengthOffset, &length, sizeof length);
    std::memcpy(message.data() + kCmlInputDataOffset, data.data(), data.size());
    return message;
}

uint32_t WordAt(const std::vector<uint8_t>& bytes, size_t offset) {
    uint32_t word = 0;
    std::memcpy(&word, bytes.data() + offset, sizeof word);
    return word;
}

}  // namespace

TEST_F(CSFSensorTest, CmlInputIsCopiedFromBehindTheMessageHeader) {
    std::vector<uint8_t> message = CmlMessage("show status");
    RecordingRequest request;
    request.m_pInput = message.data();
    m_sensor.OnCmlInput(&request);
    ASSERT_EQ(11u, m_sensor.GetCmlInputLength());
    EXPECT_EQ(0, std::memcmp("show status", m_sensor.GetCmlInputData(), 11));
    EXPECT_EQ(kCmlInputDataOffset, WordAt(message, kCmlInputLinkOffset));
    EXPECT_TRUE(request.m_calls.empty()) << "input is not a completion";

    std::vector<uint8_t> empty = CmlMessage("");
    request.m_pInput = empty.data();
    m_sensor.OnCmlInput(&request);
    EXPECT_EQ(0u, m_sensor.GetCmlInputLength());
    EXPECT_EQ(nullptr, m_sensor.GetCmlInputData());

    // Without the pipe, or without a request, the input is refused.
    request.m_pInput = message.data();
    request.m_bPipe = 0;
    m_sensor.OnCmlInput(&request);
    EXPECT_EQ(nullptr, m_sensor.GetCmlInputData());
    m_sensor.OnCmlInput(nullptr);
    EXPECT_TRUE(Logged("Base OnCmlInput called with empty data"));
}

TEST_F(CSFSensorTest, EmptyCmlResponseIsExactlyTheHeaderAndIsClearedAfterStatus) {
    RecordingRequest request;
    request.m_dwCode = 12345;
    m_sensor.SendCmlResponse(&request);
    EXPECT_EQ((Calls{"status 1"}), request.m_calls);
    ASSERT_EQ(size_t{kCmlHeaderSize}, request.m_response.size());
    const char* header = reinterpret_cast<const char*>(request.m_response.data());
    EXPECT_STREQ("2", header + kCmlHeaderFirstTextOffset);
    EXPECT_STREQ("1", header + kCmlHeaderSecondTextOffset);
    EXPECT_STREQ("123", header + kCmlHeaderCodeOffset);
    EXPECT_STREQ("1", header + kCmlHeaderThirdTextOffset);
    EXPECT_EQ(0u, WordAt(request.m_response, kCmlHeaderLengthOffset));
    for (size_t i = 80; i < kCmlHeaderLengthOffset; ++i) {
        ASSERT_EQ(0, request.m_response[i]) << i;
    }
    EXPECT_EQ(nullptr, request.m_output.m_pData);
    EXPECT_EQ(0u, request.m_output.m_dwLength);
}

TEST_F(CSFSensorTest, CmlResponseFollowsTheHeaderAndIsSentOnce) {
    RecordingRequest request;
    request.m_dwCode = 7;
    ASSERT_TRUE(m_sensor.SetCmlResponse("done", 4));
    m_sensor.SendCmlResponse(&request);
    ASSERT_EQ(kCmlHeaderSize + 4u, request.m_response.size());
    EXPECT_EQ(4u, WordAt(request.m_response, kCmlHeaderLengthOffset));
    EXPECT_EQ(0, std::memcmp("done", request.m_response.data() + kCmlHeaderSize, 4));

    RecordingRequest again;
    m_sensor.SendCmlResponse(&again);
    EXPECT_EQ(size_t{kCmlHeaderSize}, again.m_response.size()) << "the response was freed";
    m_sensor.SendCmlResponse(nullptr);
    EXPECT_TRUE(Logged("Error sending CML response"));
}

TEST_F(CSFSensorTest, AffinityWithNoProcessorOfTheMachineIsRefused) {
    uint32_t dwProcess = 0;
    uint32_t dwSystem = 0;
    ASSERT_TRUE(m_sensor.GetProcessAffinity(dwProcess, dwSystem));
    EXPECT_EQ(0u, dwProcess & ~dwSystem);
    EXPECT_EQ(static_cast<uint32_t>(std::popcount(dwSystem)), m_sensor.GetProcessorCount());
    EXPECT_FALSE(m_sensor.SetProcessAffinity(0));
    if (dwProcess != 0) {
        EXPECT_TRUE(m_sensor.SetProcessAffinity(dwProcess)) << "the process's own mask";
    }
}

TEST(CmlByteBuffer, AppendReallocatesToExactlyTheNewLengthWhenFull) {
    CmlByteBuffer buffer;
    ASSERT_TRUE(buffer.Set("abcdef", 6));
    ASSERT_TRUE(buffer.Set("xy", 2));
    ASSERT_TRUE(buffer.Append("123", 3));
    EXPECT_EQ(6u, buffer.m_dwCapacity) << "a smaller set keeps the block";
    ASSERT_TRUE(buffer.Append("4", 1));  // length + n == capacity
    ASSERT_TRUE(buffer.Append("56", 2));
    EXPECT_EQ(8u, buffer.m_dwLength);
    EXPECT_EQ(8u, buffer.m_dwCapacity);
    EXPECT_EQ(0, std::memcmp("xy123456", buffer.m_pData, 8));
    buffer.Clear();
    EXPECT_EQ(nullptr, buffer.m_pData);
}
