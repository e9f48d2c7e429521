#pragma once
// The fixture of the tests that drive the packet library over the shim's
// replay adapter: "\Device\replay0" plays "in.pcap" of a scratch folder,
// which also takes its output files and the adapter locks; and a read
// interrupted from another thread, for these and the live capture's tests.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ReplayFixture.h"
#include "rawpacket/Driver.h"
#include "rawpacket/DriverFactory.h"
#include "rawpacket/RpErrors.h"
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

// The driver's read, on a thread of its own with a read time-out of a
// minute, interrupted from this one: true when it ended without a frame
// within 20 s.  `strWhat` says otherwise what came.
inline bool ReadEndsWhenInterrupted(rp::Driver& driver, std::string& strWhat) {
    driver.setParameter("readtimeout", "60000");
    std::atomic<bool> bEnded{false};
    uint32_t dwStatus = 0;
    std::thread reader([&] {
        if (driver.readFrame(driver.frame())) {
            driver.freeFrame(driver.frame());
        }
        dwStatus = driver.frame().status();
        bEnded = true;
    });
    // Mostly the read waits by now; an interrupt that comes before it
    // ends it all the same.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const bool bInterrupted = driver.interruptRead();
    const bool bInTime = hwtest::WaitUntil([&] { return bEnded.load(); }, 20);
    reader.join();
    strWhat = !bInterrupted ? "the library cannot interrupt a read"
              : !bInTime    ? "the read waited out its time-out"
                            : "status " + std::to_string(dwStatus);
    return bInterrupted && bInTime && dwStatus == rp::kDllNoFrame;
}

}  // namespace rptest
