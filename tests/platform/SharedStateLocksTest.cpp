// The platform state that processes of the sensor share (the registry, the
// security state, the event logs) against another account that holds a
// lock on its files, as it could on files an older version left readable:
// no operation waits on it past a short deadline, the console names the
// file and the holder, nothing is lost that can be kept, and the files are
// closed to other accounts from then on.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/EventLog.h"
#include "platform/LastError.h"
#include "platform/Registry.h"
#include "platform/Security.h"
#include "support/ChildProcess.h"
#include "support/ConsoleCapture.h"
#include "support/SleepClock.h"
#include "support/TestUtil.h"
#include "support/ThrowawayAccounts.h"

namespace {

// One process that takes a lock on the file its argument names, says so,
// and holds it until it is ended (flock(1) would leave its lock to the
// command it runs).
constexpr char kHoldExclusive[] =
    "import fcntl, sys, time\nf = open(sys.argv[1])\nfcntl.flock(f, fcntl.LOCK_EX)\n"
    "print('held', flush=True)\ntime.sleep(600)";

class SharedStateLocksTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to act as another account";
        }
        // Another account reaches the files, as it could where an older
        // version left them.
        std::filesystem::create_directories(m_dir.File("eventlog"));
        ASSERT_EQ(0, ::chmod(m_dir.Path().c_str(), 0755));
    }
    void TearDown() override {
        m_holders.clear();
        plat::RegistryFlush();
        plat::DisableSecurityPrivilege();
    }

    // A file as an older version left it (readable by all), exclusively
    // locked by another account's process until the test ends.
    std::string HeldByAnother(const std::string& name) {
        const std::string path = m_dir.File(name);
        if (!std::filesystem::exists(path)) {
            hwtest::WriteWholeFile(path, "");
        }
        EXPECT_EQ(0, ::chmod(path.c_str(), 0644));
        const std::string said = m_dir.File(name + ".holder");
        m_holders.push_back(std::make_unique<hwtest::ChildProcess>());
        EXPECT_TRUE(m_holders.back()->Start(
            hwtest::ThrowawayAccounts::As("nobody", {"/usr/bin/python3", "-c", kHoldExclusive, path}),
            m_dir.File(name + ".holder")));
        EXPECT_TRUE(hwtest::WaitUntil([&] { return hwtest::ReadWholeFile(said) == "held\n"; }));
        return path;
    }

    // What the console says of one held file: its holder, then `instead`.
    std::string Named(const std::string& path, size_t holder, const std::string& instead) const {
        return "WARNING: " + path + " is locked by process " + std::to_string(m_holders[holder]->Pid()) +
               " (python3), a process another account owns (nobody, uid 65534); " + instead + "\n";
    }

    static mode_t Mode(const std::string& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
    }

    hwtest::ScratchDirectory m_dir;
    hwtest::EnvironmentOverride m_root{"QOR_PLATFORM_ROOT", m_dir.Path().c_str()};
    std::vector<std::unique_ptr<hwtest::ChildProcess>> m_holders;
};

uint32_t Report(plat::EventSource* source, const char* text) {
    return plat::ReportEvent(source, plat::kEventInformation, 0, 1, nullptr, 0, 1, &text, 0, nullptr);
}

}  // namespace

TEST_F(SharedStateLocksTest, HeldLocksCostOneShortWaitAndAreNamedAndNothingKeptIsLost) {
    // The log has a record of its own before it is held.
    plat::EventSource* source = plat::RegisterEventSource("Warden");
    ASSERT_EQ(0u, Report(source, "before"));
    const std::string registryLock = HeldByAnother("registry.lock");
    const std::string securityLock = HeldByAnother("security.lock");
    const std::string log = HeldByAnother("eventlog/Application.evt");
    hwtest::ConsoleCapture console;

    // What the calls sleep, not their wall time, which a busy machine
    // stretches: a lock waited on sleeps its deadline, a try none.
    const hwtest::SleepClock waits;
    plat::RegistryKey key = 0;
    ASSERT_EQ(0u, plat::RegistryCreateKey(plat::kRegistryLocalMachine, "SOFTWARE\\Kept", &key));
    const char text[] = "value";
    ASSERT_EQ(0u, plat::RegistrySetValue(key, "Name", plat::kRegistryString,
                                         reinterpret_cast<const uint8_t*>(text), sizeof text));
    EXPECT_EQ(plat::kErrBusy, plat::RegistryCloseKey(key));
    ASSERT_EQ(0u, plat::EnableSecurityPrivilege());
    plat::SecurityDescriptor sd;
    EXPECT_EQ(plat::kErrBusy, plat::GetFileSecurity(m_dir.File("registry.lock"), plat::kSecuritySacl, sd));
    EXPECT_EQ(plat::kErrBusy, Report(source, "while held"));
    plat::EventLogReader* reader = plat::OpenEventLog("Application");
    EXPECT_EQ(nullptr, reader);
    EXPECT_EQ(plat::kErrBusy, plat::GetLastError());
    // Each lock is waited on once, for its short deadline only.
    EXPECT_LT(waits.Slept(), std::chrono::seconds(15)) << hwtest::Ms(waits.Wall()) << " ms in all";
    const hwtest::SleepClock again;
    EXPECT_EQ(plat::kErrBusy, plat::RegistryFlush());
    EXPECT_EQ(plat::kErrBusy, Report(source, "still held"));
    EXPECT_LT(again.Slept(), std::chrono::seconds(2))
        << hwtest::Ms(again.Slept()) << " ms asleep of " << hwtest::Ms(again.Wall()) << " ms";

    EXPECT_TRUE(console.Contains(Named(registryLock, 0,
                                       "the registry is not written now; its changes are kept for the next write")))
        << console.Text();
    EXPECT_TRUE(console.Contains(
        Named(securityLock, 1, "the object's security is neither read nor changed now")))
        << console.Text();
    EXPECT_TRUE(console.Contains(Named(log, 2, "the record is not written"))) << console.Text();

    // Let go: the registry's change was kept and is written now, and each
    // file is closed to other accounts.
    m_holders.clear();
    EXPECT_EQ(0u, plat::RegistryFlush());
    EXPECT_NE(std::string::npos, hwtest::ReadWholeFile(m_dir.File("registry.txt")).find("value"));
    EXPECT_EQ(0u, plat::GetFileSecurity(m_dir.File("registry.lock"), plat::kSecuritySacl, sd));
    EXPECT_EQ(0u, Report(source, "after"));
    plat::DeregisterEventSource(source);
    for (const char* name :
         {"registry.lock", "registry.txt", "security.lock", "eventlog/Application.evt"}) {
        EXPECT_EQ(0600u, Mode(m_dir.File(name))) << name;
    }
}

// What another account put at the name of a state file (a FIFO, here) is
// told in the one form: the file, what is there, its owner, and what
// the operation does without it, not also what the open would have done.
TEST_F(SharedStateLocksTest, StateFileInTheWayIsToldWithWhatIsNotDone) {
    const std::string theirs = " is a FIFO another account owns (nobody, uid 65534); ";
    for (const char* name : {"registry.lock", "security.lock", "eventlog/Application.evt"}) {
        ASSERT_EQ(0, ::mkfifo(m_dir.File(name).c_str(), 0600)) << name;
        ASSERT_EQ(0, ::lchown(m_dir.File(name).c_str(), 65534, 65534)) << name;
    }
    hwtest::ConsoleCapture console;
    plat::RegistryKey key = 0;
    ASSERT_EQ(0u, plat::RegistryCreateKey(plat::kRegistryLocalMachine, "SOFTWARE\\Kept", &key));
    EXPECT_NE(0u, plat::RegistryCloseKey(key));
    ASSERT_EQ(0u, plat::EnableSecurityPrivilege());
    plat::SecurityDescriptor sd;
    EXPECT_NE(0u, plat::GetFileSecurity(m_dir.File("eventlog"), plat::kSecuritySacl, sd));
    plat::EventSource* source = plat::RegisterEventSource("Warden");
    EXPECT_NE(0u, Report(source, "refused"));
    plat::DeregisterEventSource(source);

    for (const auto& [name, instead] : {
             std::pair<std::string, std::string>{
                 "registry.lock", "the registry is not written now; its changes are kept for the next write"},
             {"security.lock", "the object's security is neither read nor changed now"},
             {"eventlog/Application.evt", "the record is not written"}}) {
        EXPECT_TRUE(console.Contains("WARNING: " + m_dir.File(name) + theirs + instead + "\n")) << console.Text();
    }
    EXPECT_EQ(std::string::npos, console.Text().find("it is not written;")) << console.Text();
    EXPECT_EQ(std::string::npos, console.Text().find("it is not read;")) << console.Text();
}
