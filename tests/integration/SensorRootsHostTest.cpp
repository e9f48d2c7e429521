// Two sensors on one machine, each hwhost on a root of its own and in a
// network namespace of its own for the fixed ports: their named shared
// objects (the script store, the web-server areas) are their own, so
// either may stop while the other runs, and the other goes on unharmed.
// A second host on a root already in use is refused.  Another account
// that makes a sensor's objects first and holds locks on them holds up
// neither its start nor its stop.

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/NamedObject.h"
#include "support/ChildProcess.h"
#include "support/HeldUpStop.h"
#include "support/NamespacedHost.h"
#include "support/ThrowawayAccounts.h"

namespace {

// A syslog rule whose alerts go through the script process: the script
// reads the user from the shared store and marks the alert; and one whose
// script drops every alert.
const std::string kPolicy =
    "Host Warden test policy\r\n[\\];\r\n[\\config\\];\r\nScriptEnabled\t=B\t1;\r\n"
    "[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\];\r\n"
    "[\\Advanced\\Rules\\SysLog Rules\\Checked login\\];\r\n"
    "Enabled\t=B\t1;\r\nPriority\t=L\t2;\r\nAlert Type\t=S\tLoginEvent;\r\n"
    "Regular Expression\t=S\tlogin failed;\r\n"
    "[\\Advanced\\Rules\\SysLog Rules\\Checked login\\Info\\];\r\nUser\t=S\t@Field4;\r\n"
    "[\\Advanced\\Rules\\SysLog Rules\\Checked login\\Script\\];\r\n"
    "Enabled\t=B\t1;\r\nScriptType\t=S\tTCL;\r\n"
    "Validation\t=S\tset __qor_seen \"user $User\"\\nreturn 1;\r\n"
    "[\\Advanced\\Rules\\SysLog Rules\\Dropped login\\];\r\n"
    "Enabled\t=B\t1;\r\nPriority\t=L\t2;\r\nAlert Type\t=S\tLoginEvent;\r\n"
    "Regular Expression\t=S\tlogin dropped;\r\n"
    "[\\Advanced\\Rules\\SysLog Rules\\Dropped login\\Info\\];\r\nUser\t=S\t@Field4;\r\n"
    "[\\Advanced\\Rules\\SysLog Rules\\Dropped login\\Script\\];\r\n"
    "Enabled\t=B\t1;\r\nScriptType\t=S\tTCL;\r\nValidation\t=S\treturn 0;\r\n";

const std::string kModule = std::string(HW_BINARY_DIR) + "/bin/hw-webmodule";

class Sensor {
public:
    explicit Sensor(const std::string& strName) : m_strName(strName) {}

    bool Start() {
        m_Host.WritePolicy(kPolicy);
        return m_Host.Start() && hwtest::WaitUntil([&] { return m_Host.SyslogPortOpen(); }, 30);
    }
    const std::string& Root() const { return m_Host.Root(); }

    // A login failure for a user of this sensor's own, through syslog and
    // the script, comes back as an alert the script marked.
    bool ScriptedAlert(int nRound) {
        const std::string strUser = m_strName + std::to_string(nRound);
        return m_Host.SendDatagram("<38>sshd[1]: login failed for " + strUser) &&
               hwtest::WaitUntil(
                   [&] {
                       return m_Host.Alerts().find("user " + strUser) != std::string::npos;
                   },
                   90);
    }

    // The module of this root writes a record naming `strEvent`; the
    // sensor of this root takes it from its ring (no network signature is
    // configured, so it logs that no rule has the name).
    bool WebRecordTaken(const std::string& strEvent) {
        std::string strOutput;
        return Module({"write", "--name", strEvent, "--id", "5"}, strOutput) &&
               hwtest::WaitUntil(
                   [&] {
                       return m_Host.Log().find("reported event " + strEvent + " issueId 5") !=
                              std::string::npos;
                   },
                   60);
    }

    // The configuration area's flags and time lines, as the module reads
    // them.
    std::string WebConfiguration() {
        std::string strOutput;
        Module({"config"}, strOutput);
        return strOutput.substr(0, strOutput.find('\n', strOutput.find("time ")));
    }

    bool Stop() {
        int nExit = -1;
        return m_Host.Stop(nExit) && nExit == 0;
    }
    hwtest::NamespacedHost& Host() { return m_Host; }

private:
    bool Module(std::vector<std::string> arguments, std::string& strOutput) {
        arguments.insert(arguments.begin(), {kModule, "--root", Root()});
        hwtest::ChildProcess module;
        int nExit = -1;
        const bool bDone = module.Start(arguments, m_Host.File("module.out")) && module.Wait(60, nExit);
        strOutput = hwtest::ReadWholeFile(m_Host.File("module.out"));
        return bDone && nExit == 0;
    }

    std::string m_strName;
    hwtest::NetworkNamespace m_Network;
    hwtest::NamespacedHost m_Host{m_Network};
};

// Folders made for a test, removed at its end however it ends.
struct RemovedAtEnd {
    const std::vector<std::string>& m_paths;
    ~RemovedAtEnd() {
        for (const std::string& strPath : m_paths) {
            std::error_code failure;
            std::filesystem::remove_all(strPath, failure);
        }
    }
};

class SensorRootsHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for network namespaces";
        }
    }

    // The second a configuration's "time" line names; -1 without one.
    static long long WrittenAt(const std::string& strConfiguration) {
        const size_t at = strConfiguration.find("time ");
        return at == std::string::npos ? -1 : std::atoll(strConfiguration.c_str() + at + 5);
    }
    // Polls until the clock has passed the second of a configuration.
    static bool WaitForTheSecondAfter(const std::string& strConfiguration) {
        const long long written = WrittenAt(strConfiguration);
        return written >= 0 &&
               hwtest::WaitUntil([&] { return static_cast<long long>(std::time(nullptr)) > written; });
    }
    // Polls until the sensor's engine has written its configuration area
    // later than `strEarlier` was written, and answers it; empty when it
    // was not.
    static std::string AwaitConfiguration(Sensor& sensor, const std::string& strEarlier = "") {
        std::string strConfiguration;
        hwtest::WaitUntil(
            [&] {
                strConfiguration = sensor.WebConfiguration();
                return WrittenAt(strConfiguration) > WrittenAt(strEarlier);
            },
            60);
        return WrittenAt(strConfiguration) > WrittenAt(strEarlier) ? strConfiguration : "";
    }
};

}  // namespace

TEST_F(SensorRootsHostTest, EachSensorStopsWhileTheOtherRunsAndTheOtherGoesOnUnharmed) {
    auto pFirst = std::make_unique<Sensor>("first");
    ASSERT_TRUE(pFirst->Start()) << pFirst->Host().ErrorsTail();
    // The configuration area carries the second of its last write: the
    // next sensor's start comes in a later second, and would show there
    // had it the same area.
    const std::string strFirstConfiguration = AwaitConfiguration(*pFirst);
    ASSERT_TRUE(WaitForTheSecondAfter(strFirstConfiguration)) << pFirst->Host().Log();
    auto pSecond = std::make_unique<Sensor>("second");
    ASSERT_TRUE(pSecond->Start()) << pSecond->Host().ErrorsTail();
    const std::string strSecondConfiguration = AwaitConfiguration(*pSecond, strFirstConfiguration);
    ASSERT_FALSE(strSecondConfiguration.empty()) << pSecond->Host().Log();
    EXPECT_EQ(strFirstConfiguration, pFirst->WebConfiguration());
    for (Sensor* pSensor : {pFirst.get(), pSecond.get()}) {
        EXPECT_TRUE(pSensor->ScriptedAlert(1)) << pSensor->Host().Log();
    }
    ASSERT_TRUE(pFirst->WebRecordTaken("WebFirst")) << pFirst->Host().Log();
    ASSERT_TRUE(pSecond->WebRecordTaken("WebSecond")) << pSecond->Host().Log();
    EXPECT_EQ(std::string::npos, pFirst->Host().Log().find("WebSecond"));
    EXPECT_EQ(std::string::npos, pSecond->Host().Log().find("WebFirst"));

    // The second stops and clears its own configuration area; the first's
    // store and areas stay as they were.
    ASSERT_TRUE(WaitForTheSecondAfter(strSecondConfiguration));
    ASSERT_TRUE(pSecond->Stop()) << pSecond->Host().ErrorsTail();
    EXPECT_EQ(strFirstConfiguration, pFirst->WebConfiguration());
    EXPECT_TRUE(pFirst->ScriptedAlert(2)) << pFirst->Host().Log();
    EXPECT_TRUE(pFirst->WebRecordTaken("WebFirstAgain")) << pFirst->Host().Log();

    // A new second sensor runs beside the first, which then stops.
    ASSERT_TRUE(WaitForTheSecondAfter(strFirstConfiguration));
    pSecond = std::make_unique<Sensor>("third");
    ASSERT_TRUE(pSecond->Start()) << pSecond->Host().ErrorsTail();
    const std::string strThirdConfiguration = AwaitConfiguration(*pSecond, strFirstConfiguration);
    ASSERT_FALSE(strThirdConfiguration.empty()) << pSecond->Host().Log();
    EXPECT_EQ(strFirstConfiguration, pFirst->WebConfiguration());
    ASSERT_TRUE(WaitForTheSecondAfter(strThirdConfiguration));
    ASSERT_TRUE(pFirst->Stop()) << pFirst->Host().ErrorsTail();
    EXPECT_EQ(strThirdConfiguration, pSecond->WebConfiguration());
    EXPECT_TRUE(pSecond->ScriptedAlert(1)) << pSecond->Host().Log();
    EXPECT_TRUE(pSecond->WebRecordTaken("WebThird")) << pSecond->Host().Log();
    EXPECT_TRUE(pSecond->Stop()) << pSecond->Host().ErrorsTail();
}

TEST_F(SensorRootsHostTest, SecondHostOnARootInUseIsRefused) {
    Sensor sensor("only");
    ASSERT_TRUE(sensor.Start()) << sensor.Host().ErrorsTail();
    hwtest::ChildProcess second;
    const std::string strOutput = sensor.Host().File("second.out");
    ASSERT_TRUE(second.Start({std::string(HW_BINARY_DIR) + "/bin/hwhost", "run", "--root", sensor.Root(), "--log",
                              sensor.Host().File("second.log")},
                             strOutput));
    int nExit = -1;
    ASSERT_TRUE(second.Wait(60, nExit));
    EXPECT_EQ(1, nExit);
    const std::string strRefusal = hwtest::ReadWholeFile(strOutput);
    EXPECT_NE(std::string::npos, strRefusal.find("hwhost: another hwhost (pid ")) << strRefusal;
    EXPECT_NE(std::string::npos, strRefusal.find(") runs on the sensor root " + sensor.Root())) << strRefusal;
    EXPECT_TRUE(sensor.ScriptedAlert(1)) << sensor.Host().Log();
    EXPECT_TRUE(sensor.Stop()) << sensor.Host().ErrorsTail();
}

TEST_F(SensorRootsHostTest, ObjectsAnotherAccountMadeFirstAndLocksHoldUpNeitherStartNorStop) {
    Sensor sensor("squatted");
    // Every object's name follows from the root; another account makes
    // each first and holds a write or a read lock on it.
    const std::string strScope = plat::ObjectScopeOfRoot(sensor.Root());
    const std::vector<std::pair<std::string, std::string>> squats{
        {"QGEvMutex", "write"},   {"QGEvShm", "read"},          {"QGConfShm", "write"},
        {"QGConfMutex", "read"},  {"tclProc.dat", "write"},     {"_ShMem_sem_", "read"},
        {"GenAlloc_semaphore", "write"}};
    std::vector<std::unique_ptr<hwtest::ChildProcess>> squatters;
    for (const auto& [strName, strLock] : squats) {
        const std::string strOutput = sensor.Host().File(strName + ".squat");
        squatters.push_back(std::make_unique<hwtest::ChildProcess>());
        ASSERT_TRUE(squatters.back()->Start(
            hwtest::ThrowawayAccounts::As("nobody", {HW_NAMED_OBJECT_PEER, "squat", strName, strLock, strScope}),
            strOutput, {"ASAN_OPTIONS=detect_leaks=0"}, true));
        ASSERT_TRUE(hwtest::WaitUntil([&] { return hwtest::ReadWholeFile(strOutput) == "held\n"; }))
            << strName << ": " << hwtest::ReadWholeFile(strOutput);
    }

    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(sensor.Start()) << sensor.Host().ErrorsTail();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_TRUE(sensor.ScriptedAlert(1)) << sensor.Host().Log();
    EXPECT_TRUE(sensor.WebRecordTaken("WebSquatted")) << sensor.Host().Log();
    for (const auto& squat : squats) {
        EXPECT_NE(std::string::npos, sensor.Host().Errors().find("WARNING: /dev/shm/hw." + strScope + "." +
                                                                 squat.first +
                                                                 " is a file another account owns (nobody, uid 65534); "
                                                                 "it is taken back and the object made anew"))
            << squat.first << "\n"
            << sensor.Host().ErrorsTail();
    }
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(sensor.Stop()) << sensor.Host().ErrorsTail();
    EXPECT_EQ("", hwtest::HeldUpStopLines(sensor.Host().Errors()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(hwtest::kStopBackstopSeconds));
    for (auto& pSquatter : squatters) {
        pSquatter->CloseStdin();
        int nExit = -1;
        EXPECT_TRUE(pSquatter->Wait(30, nExit));
        EXPECT_EQ(0, nExit);
    }
}

// Folders that another account makes at every object's name (not empty, so
// no mere removal frees the name) keep neither the script process nor the
// web-server engine from their objects: each is taken back and said, and a
// rule whose script drops every alert still has them dropped, not let
// through unvalidated for want of scripting.  Full folders made first at
// the names a step that moves squats aside could be led to (those of the
// pids the host is about to get, as a step that named them after its pid
// once used, and a sample of the names it draws now) change nothing.
TEST_F(SensorRootsHostTest, FoldersAnotherAccountMadeAtTheObjectsNamesAreTakenBack) {
    Sensor sensor("folders");
    const std::string strScope = plat::ObjectScopeOfRoot(sensor.Root());
    const std::vector<std::string> names{"QGEvMutex",   "QGEvShm",     "QGConfShm",         "QGConfMutex",
                                         "tclProc.dat", "_ShMem_sem_", "GenAlloc_semaphore"};
    std::vector<std::string> asides;
    const long lLastPid = std::atol(hwtest::ReadWholeFile("/proc/sys/kernel/ns_last_pid").c_str());
    for (long lPid = lLastPid + 1; lPid <= lLastPid + 300; ++lPid) {
        for (size_t n = 0; n <= names.size(); ++n) {
            asides.push_back("/dev/shm/.hw-taken-" + std::to_string(lPid) + "-" + std::to_string(n));
        }
    }
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    for (int i = 0; i < 100; ++i) {
        std::string strGuess = "/dev/shm/.hw-aside-";
        for (int letter = 0; letter < 12; ++letter) {
            strGuess += "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"[std::rand() % 62];
        }
        asides.push_back(strGuess);
    }
    std::vector<std::string> squat{"/bin/mkdir", "-p"};
    for (const std::string& strName : names) {
        squat.push_back("/dev/shm/hw." + strScope + "." + strName + "/inner");
    }
    for (const std::string& strAside : asides) {
        squat.push_back(strAside + "/inner");
    }
    const RemovedAtEnd removed{asides};
    ASSERT_TRUE(hwtest::ThrowawayAccounts::RunAs("nobody", squat));
    std::printf("full folders made first at the %zu object names and at %zu names an aside step could use\n",
                names.size(), asides.size());
    ASSERT_TRUE(sensor.Start()) << sensor.Host().ErrorsTail();
    ASSERT_TRUE(sensor.Host().SendDatagram("<38>sshd[1]: login dropped for dropme"));
    // Scripts run in the order their alerts came: once the next is marked,
    // the dropped one has been through its script.
    EXPECT_TRUE(sensor.ScriptedAlert(1)) << sensor.Host().Log();
    EXPECT_EQ(std::string::npos, sensor.Host().Alerts().find("dropme")) << sensor.Host().Alerts();
    EXPECT_TRUE(sensor.WebRecordTaken("WebFolders")) << sensor.Host().Log();
    for (const std::string& strName : names) {
        EXPECT_NE(std::string::npos, sensor.Host().Errors().find("WARNING: /dev/shm/hw." + strScope + "." + strName +
                                                                 " is a directory another account owns (nobody, "
                                                                 "uid 65534); it is taken back and the object made anew"))
            << strName << "\n"
            << sensor.Host().ErrorsTail();
    }
    EXPECT_TRUE(sensor.Stop()) << sensor.Host().ErrorsTail();
}
