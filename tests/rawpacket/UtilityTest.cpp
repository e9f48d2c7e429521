#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>

#include "platform/Files.h"
#include "rawpacket/AdapterInfo.h"
#include "rawpacket/AdapterLock.h"
#include "rawpacket/RpErrors.h"
#include "rawpacket/RpTrace.h"
#include "rawpacket/RpUtil.h"
#include "rawpacket/Singleton.h"
#include "support/TestUtil.h"
#include "support/Watchdog.h"

namespace {

TEST(UtilityTest, StatusesBetweenTheRunsAreNotMapped) {
    EXPECT_EQ(rp::mapPacketStatus(0xE0001002u), 0xC72103E8u);
    EXPECT_EQ(rp::mapPacketStatus(0xE000102Cu), 0xC7210411u);
    EXPECT_EQ(rp::mapPacketStatus(0xE000104Au), 0xC721042Du);
    for (uint32_t gap : {0u, 0xE0001001u, 0xE0001007u, 0xE000102Du, 0xE0001037u, 0xE000104Bu}) {
        EXPECT_EQ(rp::mapPacketStatus(gap), gap);
    }
}

TEST(UtilityTest, ReasonJoinsTheMessageByItsEnding) {
    rp::MessageText text;
    EXPECT_EQ(text.getText(0, 5, "a", "b"), "");
    // A sentence takes " Reason="; the reason here is a plain error number.
    EXPECT_EQ(text.getText(rp::kStatusDriverStopped, 2, "", ""),
              std::string("The packet driver is stopped. Reason=") + text.getText(2, 0, "", "").c_str());
    EXPECT_EQ(text.getText(rp::kStatusOpenFailure, 0x7FFF1234u, "eth9", "gone"),
              "Cannot open eth9: gone: Unknown reason code 0x7fff1234");
    EXPECT_EQ(text.getText(0x7FFF0001u, 0, "", ""), "Unknown error 0x7fff0001");
}

TEST(UtilityTest, OpenErrorNamesTheSystemReasonOnlyForSmallCodes) {
    auto message = [](uint32_t code) {
        try {
            rp::throwOpenError("eth9", code, "here", 1);
        } catch (const rp::OpenError& error) {
            return std::string(error.what());
        }
        return std::string("<not thrown>");
    };
    EXPECT_EQ(message(2), "Cannot open eth9: " + rp::systemErrorText(2));
    EXPECT_EQ(message(rp::kDllAdapterNotFound), "Cannot open eth9: ");
}

TEST(UtilityTest, ResourceErrorIsTracedFromLevel700) {
    std::ostringstream trace;
    rp::setTraceStream(&trace);
    rp::setTraceLevel(699);
    EXPECT_THROW(rp::throwResourceError("quiet", 5, "here", 1), rp::ResourceError);
    EXPECT_EQ(trace.str(), "");
    rp::setTraceLevel(700);
    EXPECT_THROW(rp::throwResourceError("loud", 5, "here", 1), rp::ResourceError);
    EXPECT_EQ(trace.str(), "qorRawPkt: DEBUG: loud\n");
}

TEST(UtilityTest, TraceLevelComesFromTheEnvironment) {
    std::ostringstream trace;
    {
        hwtest::EnvironmentOverride level("QOR_TRACE_LEVEL", "io=3,rp=750");
        rp::initTrace(300, &trace, nullptr);
    }
    EXPECT_EQ(rp::traceLevel(), 750);
    EXPECT_EQ(trace.str(), "qorRawPkt: Initializing trace: Level=750: Environment=io=3,rp=750\n");
    hwtest::EnvironmentOverride zero("QOR_TRACE_LEVEL", "rp=0");
    rp::initTrace(-1, nullptr, nullptr);
    EXPECT_EQ(rp::traceLevel(), 200);
}

class Counted : public rp::Singleton {
public:
    Counted() : rp::Singleton(1) {}
    void release() override { delete this; }
};

TEST(UtilityTest, NinthSingletonFindsNoSlot) {
    int slot = -1;
    rp::registerSingleton(nullptr, slot);
    for (int i = 1; i <= 8; ++i) {
        EXPECT_NE(rp::registerSingleton(new Counted(), slot), nullptr);
        EXPECT_EQ(slot, i);
    }
    auto* ninth = new Counted();
    EXPECT_EQ(rp::registerSingleton(ninth, slot), nullptr);
    EXPECT_EQ(slot, 8);
    delete ninth;
    slot = 9;
    EXPECT_EQ(rp::registerSingleton(nullptr, slot), nullptr);
    EXPECT_EQ(slot, 8);
}

TEST(UtilityTest, LockNamesKeepOnlyLettersAndDigits) {
    EXPECT_EQ(rp::AdapterLock::lockNameOf("\\Device\\{A1-B2}"), "_Device__A1_B2_");
    EXPECT_EQ(rp::AdapterLock::lockNameFor("\\Device\\eth0-p"), "\\Device\\eth0");
    EXPECT_EQ(rp::AdapterLock::lockNameFor("eth0-p1"), "eth0-p1");
}

TEST(UtilityTest, SecondProcessCannotTakeAHeldAdapterLock) {
    hwtest::ScratchDirectory scratch;
    hwtest::EnvironmentOverride directory("HW_LOCK_DIR", scratch.Path().c_str());
    auto tryInChild = [] {
        pid_t child = ::fork();
        if (child == 0) {
            rp::AdapterLock lock("\\Device\\veth0", false);
            ::_exit(lock.acquire() ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    {
        rp::AdapterLock held("\\Device\\veth0", true);
        EXPECT_TRUE(held.isInUse());
        EXPECT_FALSE(tryInChild());
        // The lock file survives the failed attempt.
        EXPECT_TRUE(plat::PathExists((scratch.Path() + "/qor__Device_veth0.lck").c_str()));
        EXPECT_THROW(rp::AdapterLock("\\Device\\veth0", true), rp::ResourceError);
        // A refusal names the file and its holder.
        rp::AdapterLock second("\\Device\\veth0", false);
        EXPECT_FALSE(second.acquire());
        const std::string said = second.refusal();
        EXPECT_EQ(0u, said.find(scratch.Path() + "/qor__Device_veth0.lck is locked by process " +
                                std::to_string(::getpid()) + " ("))
            << said;
        EXPECT_NE(std::string::npos, said.find("; the adapter is used without its lock")) << said;
    }
    EXPECT_FALSE(plat::PathExists((scratch.Path() + "/qor__Device_veth0.lck").c_str()));
    EXPECT_TRUE(tryInChild());
}

TEST(UtilityTest, LockLeftByADeadProcessIsTakenOver) {
    hwtest::ScratchDirectory scratch;
    hwtest::EnvironmentOverride directory("HW_LOCK_DIR", scratch.Path().c_str());
    pid_t child = ::fork();
    if (child == 0) {
        static rp::AdapterLock* leaked = new rp::AdapterLock("eth7", true);
        (void)leaked;
        ::_exit(0);  // no destructor runs: the file stays behind
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(plat::PathExists((scratch.Path() + "/qor_eth7.lck").c_str()));
    rp::AdapterLock lock("eth7", false);
    EXPECT_TRUE(lock.acquire());
}

// The lock folder is made with the first lock taken: before that no
// adapter is in use; a folder that cannot be made leaves every adapter in
// use, since none can be locked.
TEST(UtilityTest, AdaptersAreFreeBeforeTheFirstLockMakesTheFolder) {
    hwtest::ScratchDirectory scratch;
    {
        hwtest::EnvironmentOverride directory("HW_LOCK_DIR", scratch.File("locks").c_str());
        EXPECT_FALSE(rp::AdapterLock("eth3", false).isInUse());
        rp::AdapterLock held("eth3", true);
        EXPECT_TRUE(held.isInUse());
        EXPECT_FALSE(rp::AdapterLock("eth4", false).isInUse());
    }
    hwtest::EnvironmentOverride directory("HW_LOCK_DIR", scratch.File("none/locks").c_str());
    EXPECT_TRUE(rp::AdapterLock("eth3", false).isInUse());
}

// Lock files live where only root and the sensor's account write, never in
// a temporary folder; a folder another account controls, or anything but a
// lock file at a lock's name, is refused at once and said.
TEST(UtilityTest, LockFolderOrNameOthersControlIsRefusedWithoutWaiting) {
    {
        hwtest::EnvironmentOverride unset("HW_LOCK_DIR", nullptr);
        EXPECT_EQ("/run/hostwarden", rp::AdapterLock::lockDirectory());
    }
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a folder to another account";
    }
    hwtest::ScratchDirectory scratch;
    const std::string folder = scratch.File("locks");
    hwtest::EnvironmentOverride directory("HW_LOCK_DIR", folder.c_str());
    ASSERT_EQ(0, ::mkdir(folder.c_str(), 0777));
    ASSERT_EQ(0, ::chown(folder.c_str(), 65534, 65534));
    hwtest::Watchdog watchdog("lock refusals", std::chrono::seconds(20));
    rp::AdapterLock lock("eth9", false);
    EXPECT_FALSE(lock.acquire());
    EXPECT_EQ(folder + " is a directory another account owns (nobody, uid 65534); the adapter is used without its lock",
              lock.refusal());

    ASSERT_EQ(0, ::chown(folder.c_str(), 0, 0));
    ASSERT_EQ(0, ::chmod(folder.c_str(), 0755));
    ASSERT_EQ(0, ::mkfifo((folder + "/qor_eth9.lck").c_str(), 0600));
    EXPECT_FALSE(lock.acquire());
    EXPECT_EQ(folder + "/qor_eth9.lck is a FIFO root owns (uid 0); the adapter is used without its lock",
              lock.refusal());
    ::unlink((folder + "/qor_eth9.lck").c_str());
    EXPECT_TRUE(lock.acquire()) << lock.refusal();
    struct stat info {};
    ASSERT_EQ(0, ::stat((folder + "/qor_eth9.lck").c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);
}

TEST(UtilityTest, SpecialDeviceNamesFollowTheCardFamily) {
    EXPECT_EQ(rp::makeSpecialDeviceName(1, 0, "3Com 3C905C-TX", 1), "\\Device\\mvel90x1_2");
    EXPECT_EQ(rp::makeSpecialDeviceName(1, 0, "3Com 3C905C-TX", 2), "\\Device\\mvel90xt1_2");
    EXPECT_EQ(rp::makeSpecialDeviceName(1, 100000000, "Intel(R) PRO/1000", 0), "");
    EXPECT_EQ(rp::makeSpecialDeviceName(2, 1000000000, "PRO/1000 MT", 0), "\\Device\\mve10002");
    EXPECT_EQ(rp::makeSpecialDeviceName(0, 0, "3C905C", 0), "");
}

TEST(UtilityTest, AdapterTitleFollowsTheDeviceName) {
    auto titleOf = [](const std::string& name, const char* version) {
        rp::AdapterInfo info(name, 2);
        info.setTitle("Plain NIC", version);
        return info.title();
    };
    EXPECT_EQ(titleOf("\\Device\\mvel90x1_2", nullptr), "Quellguard(R) 3C905C High Performance Full-duplex Driver");
    EXPECT_EQ(titleOf("\\Device\\mvel90x", nullptr), "Quellguard(R) 3C905C High Performance Driver");
    EXPECT_EQ(titleOf("\\Device\\mvel90xt1_2", nullptr), "Quellguard(R) 3C905C High Performance Gateway Driver");
    EXPECT_EQ(titleOf("\\Device\\eth0", "5.1"), "Plain NIC (v5.1)");
    EXPECT_EQ(rp::AdapterInfo::mediumFromPacketLibrary(11), 12u);
    std::ostringstream text;
    text << rp::AdapterInfo();
    EXPECT_EQ(text.str(), "name=, title=, opened = 0, running=0, frameLenMax=8192, medium=12, maddr=");
}

}  // namespace
