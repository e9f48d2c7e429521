#include <algorithm>
#include <filesystem>

#include "NTEvents/Audit/AuditFixture.h"
#include "platform/AuditPolicy.h"

namespace {

constexpr const char* kPolicyKey = "SECURITY\\Policy\\AuditEvents";
constexpr const char* kLogKeys[] = {"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Security",
                                    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System",
                                    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application"};

class InitializeStrategyTest : public AuditFixture {
protected:
    // A word of the registry, or -1 when the key or value is missing.
    static int64_t Word(const char* keyPath, const std::string& name) {
        plat::RegistryKey key = 0;
        if (plat::RegistryOpenKey(plat::kRegistryLocalMachine, keyPath, &key) != 0) {
            return -1;
        }
        uint32_t word = 0;
        uint32_t size = sizeof word;
        uint32_t result = plat::RegistryQueryValue(key, name.c_str(), nullptr,
                                                   reinterpret_cast<uint8_t*>(&word), &size);
        plat::RegistryCloseKey(key);
        return result == 0 ? static_cast<int64_t>(word) : -1;
    }

    static void SetWord(const char* keyPath, const char* name, uint32_t word) {
        plat::RegistryKey key = 0;
        ASSERT_EQ(0u, plat::RegistryCreateKey(plat::kRegistryLocalMachine, keyPath, &key));
        plat::RegistrySetValue(key, name, plat::kRegistryWord,
                               reinterpret_cast<const uint8_t*>(&word), sizeof word);
        plat::RegistryCloseKey(key);
    }

    std::string RecordPath() const { return m_dir.File("sensor/audit.policy"); }
    std::string Record() const {
        return std::filesystem::exists(RecordPath()) ? hwtest::ReadWholeFile(RecordPath())
                                                     : "<none>";
    }
};

}  // namespace

TEST_F(InitializeStrategyTest, RecordMatchesTheGoldenFileAndCategoriesAreApplied) {
    Rule* pWatch = AddRule("File Watch",
                           {{"File Access", "Success"}, {"Account Logon", "Both"}, {"Bogus", "x"}},
                           {{"Read", "Success"}, {"Delete", "Both"}},
                           {{"Query", "Failure"}, {"Read Control", "anything"}});
    Rule* pLogon = AddRule("Logon Failure", {{"Logon", "Failure"}, {"FileAccess", "Failure"}}, {});
    AddRule("Disabled", {{"System", "Both"}}, {})->Disable();
    CFileAudit::Add("/hw-audit/alpha.log", pWatch, 0, false);
    CFileAudit::Add("/hw-audit/alpha.log", pLogon, 0, false);
    CFileAudit::Add("/hw-audit/beta.log", pLogon, 0, false);
    CFileAudit::Add("/hw-audit/gamma", pWatch, 1, false);
    CRegKeyAudit::Add("HKEY_LOCAL_MACHINE\\Software\\Watched", pWatch, false);

    EXPECT_EQ(0u, InitializeStrategy::Run());
    EXPECT_EQ(hwtest::ReadWholeFile(std::string(HW_SOURCE_DIR) +
                                    "/tests/NTEvents/Audit/golden/audit.policy"),
              Record());
    EXPECT_EQ(1, Word(kPolicyKey, "AuditingMode"));
    const int64_t expected[] = {4, 2, 3, 4, 4, 4, 4, 4, 3};
    for (uint32_t i = 0; i < 9; ++i) {
        EXPECT_EQ(expected[i], Word(kPolicyKey, "Option" + std::to_string(i))) << i;
    }
}

TEST_F(InitializeStrategyTest, FileOfTheLastRecordThatNoRuleAsksForLosesItsAudits) {
    std::string kept = MakeFile("kept.txt");
    std::string dropped = MakeFile("dropped.txt");
    Rule* pRule = AddRule("Files", {}, {{"Write", "Failure"}});
    CFileAudit::Add(kept.c_str(), pRule, 0, false);
    CFileAudit::Add(dropped.c_str(), pRule, 0, false);
    InitializeStrategy::Run();
    EXPECT_EQ(std::vector<std::string>{"0x01120116 0x80 S-1-1-0"}, FileAudits(dropped));

    // The next start: the lists are empty and the rules ask for one file.
    ResetLists();
    InitializeStrategy::RecordStore().SetFileName("");
    CFileAudit::Add(kept.c_str(), pRule, 0, false);
    InitializeStrategy::Run();
    EXPECT_EQ(std::vector<std::string>{}, FileAudits(dropped));
    EXPECT_EQ(std::vector<std::string>{"0x01120116 0x80 S-1-1-0"}, FileAudits(kept));
    EXPECT_EQ(1u, CFileAudit::Entries().size());
    EXPECT_EQ(std::string::npos, Record().find(dropped));

    // A reload whose rules no longer ask for it takes the other off too.
    InitializeStrategy::BeginPolicyRead();
    InitializeStrategy::Run();
    EXPECT_EQ(std::vector<std::string>{}, FileAudits(kept));
    EXPECT_EQ(std::string::npos, Record().find(kept));
}

TEST_F(InitializeStrategyTest, EnforcementOffChangesNothingButRetention) {
    for (const char* key : kLogKeys) {
        MakeKey(key);
    }
    SensorSettings::Instance().m_bEnforceAuditPolicy = false;
    std::string path = MakeFile("watched.txt");
    Rule* pRule = AddRule("Files", {{"Logon", "Both"}}, {{"Read", "Both"}});
    CFileAudit::Add(path.c_str(), pRule, 0, true);
    InitializeStrategy::Run();
    InitializeStrategy::WriteAuditRecord();
    EXPECT_EQ("<none>", Record());
    EXPECT_EQ(-1, Word(kPolicyKey, "AuditingMode"));
    EXPECT_EQ(std::vector<std::string>{}, FileAudits(path));
    EXPECT_TRUE(
        m_log.Contains("The Enforce Audit Policy flag is off. Some events may not trigger"));
    for (const char* key : kLogKeys) {
        EXPECT_EQ(0, Word(key, "Retention")) << key;
    }
}

TEST_F(InitializeStrategyTest, MissingSecurityLogKeyLeavesTheOtherLogsAlone) {
    MakeKey(kLogKeys[1]);
    MakeKey(kLogKeys[2]);
    InitializeStrategy::Run();
    EXPECT_EQ(-1, Word(kLogKeys[1], "Retention"));
    EXPECT_EQ(-1, Word(kLogKeys[2], "Retention"));
}

TEST_F(InitializeStrategyTest, ReapplyAppliesOnEveryOtherCall) {
    InitializeStrategy::Run();
    std::vector<int64_t> modes;
    for (int i = 0; i < 3; ++i) {
        SetWord(kPolicyKey, "AuditingMode", 0);
        InitializeStrategy::ReapplyGlobalAudit();
        modes.push_back(Word(kPolicyKey, "AuditingMode"));
    }
    EXPECT_EQ((std::vector<int64_t>{1, 0, 1}), modes);
}

TEST_F(InitializeStrategyTest, RefusedPolicyAndExtraCategoriesAreHandled) {
    SetWord(kPolicyKey, "CategoryCount", 12);
    CGlobalAudit wide;
    ASSERT_TRUE(wide.IsPolicyOpen());
    EXPECT_EQ(12u, wide.GetOptionCount());
    wide.Apply();
    EXPECT_EQ(4, Word(kPolicyKey, "Option11"));

    SetWord(kPolicyKey, "SetStatus", 0xC0000022);
    wide.Apply();
    // The status, then its words.
    const std::vector<std::string> logged = m_log.m_Services.Texts();
    EXPECT_TRUE(std::any_of(logged.begin(), logged.end(), [](const std::string& text) {
        return text.rfind("Error setting global audit flags : -1073741790 (", 0) == 0;
    })) << ::testing::PrintToString(logged);

    SetWord(kPolicyKey, "OpenStatus", 0xC0000022);
    CGlobalAudit refused;
    EXPECT_FALSE(refused.IsPolicyOpen());
    EXPECT_EQ(0u, refused.GetOptionCount());
    m_log.m_Services.Forget();
    refused.Apply();
    EXPECT_TRUE(m_log.m_Services.Texts().empty());
}
