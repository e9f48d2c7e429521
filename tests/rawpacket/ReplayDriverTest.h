#pragma once
// The fixture of the tests that drive the packet library over the shim's
// replay adapter: "\Device\replay0" plays "in.pcap" of a scratch folder,
// which also takes its output files and the adapter locks.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ReplayFixture.h"
#include "rawpacket/Driver.h"
#include "rawpacket/DriverFactory.h"
#include "support/TestUtil.h"

namespace rptest {

class ReplayDriverTest : public ::testing::Test {
protected:
    static constexpr const char* kReplay = "\\Device\\replay0";

    explicit ReplayDriverTest(size_t frames) : m_Frames(MakeFrames(frames)) {}

    void SetUp() override {
        hwtest::WriteWholeFile(m_strInput, PcapBytes(m_Frames));
        m_Table.Fill();
        ASSERT_GE(m_Table.Find(kReplay), 0);
    }

    std::unique_ptr<rp::Driver> OpenReplay(uint32_t mode = 2) {
        std::unique_ptr<rp::Driver> driver = m_Factory.createDriver(kReplay, mode);
        driver->setParameter("readtimeout", "10");
        driver->open(true, false);
        return driver;
    }

    hwtest::ScratchDirectory m_Scratch;
    std::string m_strInput = m_Scratch.File("in.pcap");
    hwtest::EnvironmentOverride m_Input{"HW_PACKET_REPLAY", m_strInput.c_str()};
    hwtest::EnvironmentOverride m_Output{"HW_PACKET_REPLAY_OUT", m_Scratch.Path().c_str()};
    hwtest::EnvironmentOverride m_LockDirectory{"HW_LOCK_DIR", m_Scratch.Path().c_str()};
    std::vector<TestFrame> m_Frames;
    AdapterTable m_Table;
    rp::DriverFactory m_Factory;
};

}  // namespace rptest
