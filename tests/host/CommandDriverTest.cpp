#include "CommandDriver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "HostCommandRequest.h"
#include "HostServices.h"
#include "qorCSFLib/CSFSensor.h"
#include "qorCSFLib/CSFSvcRequest.h"

namespace {

// A framework sensor that counts what reaches it and answers command-
// language input by echoing it.
class EchoSensor : public CSFSensor {
public:
    uint32_t OnPause(ICSFCommandRequest* pRequest) override {
        m_pauses.fetch_add(1);
        return CSFSensor::OnPause(pRequest);
    }
    uint32_t ProcessCmlInput() override {
        SetCmlResponse(GetCmlInputData(), GetCmlInputLength());
        return CSFSensor::ProcessCmlInput();
    }
    std::atomic<int> m_pauses{0};
};

struct Expected {
    HostCommand command;
    uint32_t status;
};

const Expected kCycle[] = {
    {HostCommand::kPause, 1},
    {HostCommand::kResume, 1},
    {HostCommand::kStatus, 1},
    {HostCommand::kUpdateStarted, 1},
    {HostCommand::kUpdateCompleted, 1},
    {HostCommand::kUpdateFailed, 2},
    {HostCommand::kUserOperationDone, 1},
    {HostCommand::kReloadPolicy, 1},
    {HostCommand::kInit, 1},
};
constexpr size_t kCycleLength = sizeof kCycle / sizeof kCycle[0];

class CommandDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pServiceRequest = new CSFSvcRequest;
        m_pServiceRequest->SetServices(&m_services);
    }
    void TearDown() override { m_pServiceRequest->Release(); }

    HostServices m_services;  // no log file: lines are counted only
    CSFSvcRequest* m_pServiceRequest = nullptr;
    EchoSensor m_sensor;
};

}  // namespace

TEST_F(CommandDriverTest, TenThousandCommandsAreEachCompletedExactlyOnce) {
    constexpr size_t kCommands = 10000;
    std::vector<std::unique_ptr<HostCommandRequest>> requests;
    for (size_t i = 0; i < kCommands; ++i) {
        requests.push_back(std::make_unique<HostCommandRequest>());
    }
    CommandDriver driver(m_sensor);
    driver.Start();
    for (size_t i = 0; i < kCommands; ++i) {
        ASSERT_TRUE(driver.Issue(kCycle[i % kCycleLength].command, requests[i].get()));
    }
    for (size_t i = 0; i < kCommands; ++i) {
        ASSERT_TRUE(requests[i]->WaitForCompletion(120000)) << "command " << i << " was lost";
    }
    HostCommandRequest stop;
    ASSERT_TRUE(driver.Issue(HostCommand::kStop, &stop));
    ASSERT_TRUE(stop.WaitForCompletion(120000));
    driver.Join();

    for (size_t i = 0; i < kCommands; ++i) {
        EXPECT_EQ(1u, requests[i]->CompletionCount()) << i;
        EXPECT_EQ(1u, requests[i]->StatusCount()) << i;
        EXPECT_EQ(kCycle[i % kCycleLength].status, requests[i]->GetStatus()) << i;
    }
    EXPECT_EQ(kCommands + 1, driver.CommandsRun());
    EXPECT_EQ(static_cast<int>((kCommands + kCycleLength - 1) / kCycleLength),
              m_sensor.m_pauses.load());
    EXPECT_FALSE(driver.Issue(HostCommand::kPause, nullptr)) << "nothing runs after the stop";
}

TEST_F(CommandDriverTest, CmlRequestReceivesItsResponseAndIsCompleted) {
    CommandDriver driver(m_sensor);
    driver.Start();
    HostCommandRequest request("list rules", 42);
    ASSERT_TRUE(driver.Issue(HostCommand::kCml, &request));
    ASSERT_TRUE(request.WaitForCompletion(120000));
    std::vector<uint8_t> response = request.GetCmlResponse();
    ASSERT_EQ(kCmlHeaderSize + 10u, response.size());
    EXPECT_STREQ("42", reinterpret_cast<const char*>(response.data()) + kCmlHeaderCodeOffset);
    EXPECT_EQ(0, std::memcmp("list rules", response.data() + kCmlHeaderSize, 10));
    EXPECT_EQ(1u, request.CompletionCount());
    EXPECT_EQ(1u, request.GetStatus());
    driver.Issue(HostCommand::kStop, nullptr);
    driver.Join();
}

TEST_F(CommandDriverTest, AbandonedDriverStopsItsThread) {
    auto driver = std::make_unique<CommandDriver>(m_sensor);
    driver->Start();
    HostCommandRequest request;
    driver->Issue(HostCommand::kPause, &request);
    ASSERT_TRUE(request.WaitForCompletion(120000));
    driver.reset();  // joins without a stop command
    EXPECT_EQ(1, m_sensor.m_pauses.load());
}
