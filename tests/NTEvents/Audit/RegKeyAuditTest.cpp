#include "NTEvents/Audit/AuditFixture.h"

namespace {

using RegKeyAuditTest = AuditFixture;

}  // namespace

TEST_F(RegKeyAuditTest, RootPrefixesSelectTheirRootAndTheRestIsTheSubKey) {
    struct Case {
        const char* name;
        plat::RegistryKey root;
        const char* subKey;
    } cases[] = {
        {"HKEY_CURRENT_USER\\Software\\App", plat::kRegistryCurrentUser, "Software\\App"},
        {"HKEY_CLASSES_ROOT", plat::kRegistryClassesRoot, ""},
        {"HKEY_CURRENT_CONFIG\\x", plat::kRegistryCurrentConfig, "x"},
        {"Software\\Plain", plat::kRegistryLocalMachine, "Software\\Plain"},
    };
    for (const Case& c : cases) {
        plat::RegistryKey root = 0;
        std::string subKey;
        SplitRegistryKeyName(c.name, &root, &subKey);
        EXPECT_EQ(c.root, root) << c.name;
        EXPECT_EQ(c.subKey, subKey) << c.name;
    }
}

TEST_F(RegKeyAuditTest, KeyRightsArePlacedAndMissingKeysReportedUnlessControlSets) {
    MakeKey("Software\\Watched");
    Rule* pFirst = AddRule("Keys", {}, {}, {{"Set Value", "Success"}, {"Delete", "Failure"}});
    Rule* pLater = AddRule("Later", {}, {}, {{"Query", "Both"}});
    EXPECT_EQ(13u, CRegKeyAudit::Add(nullptr, pFirst, false));
    EXPECT_EQ(2u, CRegKeyAudit::Add("HKEY_LOCAL_MACHINE\\Software\\Watched", pFirst, true));
    EXPECT_EQ(52u, CRegKeyAudit::Add("HKEY_LOCAL_MACHINE\\Software\\Watched", pLater, true));
    EXPECT_EQ((std::vector<std::string>{"0x00000002 0x40 S-1-1-0", "0x00010000 0x80 S-1-1-0"}),
              KeyAudits(plat::kRegistryLocalMachine, "software\\watched"));

    CRegKeyAudit::Add("SYSTEM\\ControlSet003\\Services", pFirst, true);
    CRegKeyAudit::Add("Software\\Absent", pFirst, true);
    EXPECT_TRUE(
        m_log.Contains("Error setting Registry audit flags for Software\\Absent : Key not found."));
    for (const std::string& text : m_log.m_Services.Texts()) {
        EXPECT_EQ(std::string::npos, text.find("ControlSet")) << text;
    }
}

TEST_F(RegKeyAuditTest, KeyNamesOf1023CharactersAreRefused) {
    Rule* pRule = AddRule("Long", {}, {}, {{"Query", "Success"}});
    std::string tooLong(1023, 'k');
    std::string longest(1022, 'k');
    CRegKeyAudit::Add(tooLong.c_str(), pRule, true);
    CRegKeyAudit::Add(longest.c_str(), pRule, true);
    EXPECT_TRUE(m_log.Contains("Error setting Registry audit flags for " + tooLong +
                               " : Keyname too long."));
    EXPECT_FALSE(m_log.Contains("Error setting Registry audit flags for " + longest +
                                " : Keyname too long."));
}
