#pragma once
// The text-log engine driven pass by pass on real files, as its thread
// would drive it, with a policy built in code: groups, rules that report
// the group and a word of each line, and the records the engine reported.

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Common/AgentEventInfo.h"
#include "TextLogs/CEngineTextLog.h"
#include "TextLogs/LogGroupFiles.h"
#include "TextLogs/LogRuleFixture.h"
#include "TextLogs/TextLogListener.h"
#include "platform/Console.h"
#include "platform/Sockets.h"
#include "qorCSFLib/CSFSensor.h"
#include "support/EngineEnd.h"
#include "support/TestUtil.h"

inline constexpr const char kHost[] = "198.51.100.4";

inline std::string Pair(const AgentEventInfo& record, const char* pszName) {
    std::string strValue = "<absent>";
    record.GetInfoPairValue(pszName, strValue);
    return strValue;
}

// Lets a test act on the files while the engine reports a line, between
// two of the engine's own steps.
class HookedTextLog : public CEngineTextLog {
public:
    void ReportLine(const std::string& strGroup, const std::string& strFile, uint32_t dwHostAddress,
                    std::string_view line) override {
        if (m_OnLine) {
            m_OnLine(std::string(line));
        }
        CEngineTextLog::ReportLine(strGroup, strFile, dwHostAddress, line);
    }
    std::function<void(const std::string&)> m_OnLine;
};

class TextLogEngineTest : public ::testing::Test, public LogRuleFixture {
protected:
    using Reports = std::vector<std::string>;

    TextLogEngineTest() {
        m_FrameworkSensor.SetSensorAddress("192.0.2.7");
        plat::ParseIpv4Address(kHost, m_dwHost);
        // The echo of each line read, as on a terminal.
        plat::SetInputEcho(true);
    }
    ~TextLogEngineTest() override {
        hwtest::EndEngine(m_pEngine);
        m_Sensor.DeleteRules();
        plat::SetInputEcho(m_bEchoBefore);
    }

    void AddGroup(const char* pszName, const std::string& strPaths, bool bNewestOnly = false) {
        const std::string strKey = std::string("\\Advanced\\Logs\\") + pszName;
        Set(strKey, "Path", strPaths.c_str());
        Set(strKey, "NewestOnly", bNewestOnly);
        m_GroupNames.insert(pszName);
    }
    void AddTextRule(const char* pszName, const char* pszLogs, const char* pszPattern) {
        const std::string strPath = AddRule(pszName, "TextLog", pszLogs);
        Set(strPath, "Regular Expression", pszPattern);
        Set(strPath + "\\Info", "Group", "@Group");
        Set(strPath + "\\Info", "Word", "@Field1");
    }
    void Start() {
        m_pEngine = std::make_unique<HookedTextLog>();
        // A scan takes one group a pass, as on a machine too busy to give
        // its slice any time: what a test sees then is what every machine
        // gives it, and no test can lean on a scan done in one pass.
        m_pEngine->SetScanSlice(std::chrono::milliseconds(0));
        // A pass reads all its files hold, however slow the build and busy
        // the machine: a test that writes a burst checks which lines are
        // read by the pass after it, not how fast.
        m_pEngine->SetPassReading(std::chrono::minutes(5));
        m_Sensor.m_pPolicy = m_pPolicy;
        ASSERT_EQ(m_pEngine->Oninit(0), 0);
    }
    void Append(const std::string& strName, const std::string& strBytes) {
        std::ofstream(m_Dir.File(strName), std::ios::binary | std::ios::app) << strBytes;
    }
    void Rename(const std::string& strFrom, const std::string& strTo) {
        ASSERT_EQ(::rename(m_Dir.File(strFrom).c_str(), m_Dir.File(strTo).c_str()), 0);
    }
    void Remove(const std::string& strName) { ASSERT_EQ(::unlink(m_Dir.File(strName).c_str()), 0); }
    // The file of group "App" that `strName` leads to, or that is read under
    // that name.
    const CLogGroupFiles::Entry* AppEntry(const std::string& strName) {
        const CLogGroupFiles* pFiles = m_pEngine->FindGroupFiles("App");
        return pFiles != nullptr ? pFiles->FindEntry(m_Dir.File(strName)) : nullptr;
    }
    size_t AppEntries() {
        const CLogGroupFiles* pFiles = m_pEngine->FindGroupFiles("App");
        return pFiles != nullptr ? pFiles->GetEntryCount() : 0;
    }
    const CTextLogListener& Listener(const std::string& strName) {
        const CTextLogListener* pListener = m_pEngine->FindListener(m_Dir.File(strName));
        EXPECT_NE(pListener, nullptr) << strName;
        static const CTextLogListener kNone("");
        return pListener != nullptr ? *pListener : kNone;
    }
    // Runs passes up to and including `dwLast`, as the thread numbers them,
    // and answers "rule:group:word" for each record reported.  A scan is
    // taken in slices (here one group a pass, as Start sets): the last
    // pass is run again while its scan goes on, as the thread's next pass
    // would go on with it (a scan under way begins no other, whatever the
    // pass's number).
    std::vector<std::string> RunTo(uint32_t dwLast) {
        for (; m_dwPass <= dwLast; ++m_dwPass) {
            bool bRan = m_pEngine->RunPass(m_dwPass, m_dwHost);
            EXPECT_TRUE(bRan);
            while (bRan && m_dwPass == dwLast && m_pEngine->IsScanning()) {
                bRan = m_pEngine->RunPass(m_dwPass, m_dwHost);
                EXPECT_TRUE(bRan);
            }
        }
        std::vector<std::string> reports;
        for (const auto& pRecord : m_Sensor.TakeReported()) {
            reports.push_back(pRecord->GetRuleName() + ":" + Pair(*pRecord, "Group") + ":" +
                              Pair(*pRecord, "Word"));
        }
        return reports;
    }
    // Runs passes until a scan begun after this call has been done for
    // every group, and every file no name of its group leads to any more
    // has been read on until quiet and let go; answers the reports in
    // order of their text.  It waits for the engine's state, not for a
    // number of passes: a scan spread over more passes, or a file let go
    // later, only takes more of them; the bound keeps a fault from
    // running on for ever.
    Reports Settle() {
        const uint64_t qwScans = m_pEngine->GetScansDone() + (m_pEngine->IsScanning() ? 2 : 1);
        Reports reports;
        for (uint32_t n = 0; n < kSettlePasses; ++n) {
            const Reports more = RunTo(m_dwPass);
            reports.insert(reports.end(), more.begin(), more.end());
            if (m_pEngine->GetScansDone() >= qwScans && UnnamedFiles() == 0) {
                std::sort(reports.begin(), reports.end());
                return reports;
            }
        }
        ADD_FAILURE() << "not settled in " << kSettlePasses << " passes: " << m_pEngine->GetScansDone() << " of "
                      << qwScans << " scans done, " << UnnamedFiles() << " files without a name held";
        std::sort(reports.begin(), reports.end());
        return reports;
    }
    // The files every group holds that no name of it leads to any more.
    size_t UnnamedFiles() const {
        size_t nCount = 0;
        for (const std::string& strGroup : m_GroupNames) {
            if (const CLogGroupFiles* pFiles = m_pEngine->FindGroupFiles(strGroup)) {
                nCount += pFiles->GetUnnamedCount();
            }
        }
        return nCount;
    }
    // One group "App" of app.log and a rule "Errors" on "ERROR", the file
    // followed from its end by pass 0.
    void StartOnAppLog() {
        Append("app.log", "");
        AddGroup("App", m_Dir.File("app.log"));
        AddTextRule("Errors", "App", "ERROR");
        Start();
        RunTo(0);
    }
    // Groups of one file each of the folder, by name, and the rule "Errors"
    // on all of them, followed from pass 0.
    void StartOnGroups(const std::vector<std::pair<std::string, std::string>>& groups) {
        std::string strNames;
        for (const auto& [strGroup, strFile] : groups) {
            AddGroup(strGroup.c_str(), m_Dir.File(strFile));
            strNames += (strNames.empty() ? "" : ",") + strGroup;
        }
        AddTextRule("Errors", strNames.c_str(), "ERROR");
        Start();
        RunTo(0);
    }
    // The same with the group "App" of every *.log file of the folder.
    void StartOnEveryLog() {
        AddGroup("App", m_Dir.Path() + "/*.log");
        AddTextRule("Errors", "App", "ERROR");
        Start();
        RunTo(0);
    }
    // Renames app.log away and creates it anew with "ERROR second", read by
    // pass 1 (the old file followed on through its descriptor); then the
    // old file gains `strOldTail`, and the name is deleted and created
    // anew with "ERROR <strNew>", and `act` is called while the engine
    // reports the old file's line "ERROR firstlast", on its way to the new
    // file.
    void TurnTwiceActingAtTheOldLastLine(const std::string& strOldTail, const std::string& strNew,
                                         std::function<void()> act) {
        Rename("app.log", "app.log.1");
        Append("app.log", "ERROR second\n");
        EXPECT_EQ(RunTo(1), Reports{"Errors:App:second"});
        Append("app.log.1", strOldTail);
        Remove("app.log");
        Append("app.log", "ERROR " + strNew + "\n");
        m_pEngine->m_OnLine = [act = std::move(act)](const std::string& strLine) {
            if (strLine == "ERROR firstlast") {
                act();
            }
        };
    }
    // Renames app.log away and makes it anew with "ERROR third" while the
    // caller keeps every descriptor from the engine: the new file waits to
    // be opened, and pass 1 reads nothing.
    void RenewAppLogWhileStarved() {
        Rename("app.log", "app.log.1");
        Append("app.log", "ERROR third\n");
        EXPECT_EQ(RunTo(1), Reports{});
    }
    // Appends `strLines` and sets the file's times to `seconds`.
    void WriteAt(const std::string& strName, const std::string& strLines, time_t seconds) {
        Append(strName, strLines);
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, m_Dir.File(strName).c_str(), times, 0), 0);
    }
    // The next pass number that scans.
    uint32_t NextScan() const {
        return (m_dwPass + CEngineTextLog::kScanInterval - 1) / CEngineTextLog::kScanInterval *
               CEngineTextLog::kScanInterval;
    }

    // Passes Settle runs at most: far more than any test's scans and
    // quiet files take.
    static constexpr uint32_t kSettlePasses = 100 * CEngineTextLog::kScanInterval;

    const bool m_bEchoBefore = plat::InputEchoOn();
    hwtest::ScratchDirectory m_Dir;
    CSFSensor m_FrameworkSensor;
    std::unique_ptr<HookedTextLog> m_pEngine;
    uint32_t m_dwHost = 0;
    uint32_t m_dwPass = 0;
    // Every group the policy was given, reloads included.
    std::set<std::string> m_GroupNames;
};
