#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "Common/InputBounds.h"
#include "Common/SensorSettings.h"
#include "NTEvents/Audit/AuditFixture.h"
#include "NTEvents/Audit/SecurityDescriptor.h"
#include "platform/LastError.h"

namespace {

using FileAuditTest = AuditFixture;

const uint8_t kReadOnly[6] = {1, 0, 0, 0, 0, 0};
const uint8_t kNone[6] = {0, 0, 0, 0, 0, 0};

}  // namespace

TEST_F(FileAuditTest, EqualMasksGiveOneEntryAndOtherAccountsAndTheDaclSurvive) {
    std::string path = MakeFile("data.txt");
    plat::SecurityDescriptor seeded;
    plat::Sid system;
    plat::Sid admins;
    plat::SidFromText("S-1-5-18", system);
    plat::SidFromText("S-1-5-32-544", admins);
    seeded.owner = admins;
    seeded.dacl = {{plat::kAceAccessDenied, 0x03, 0x10000, system},
                   {plat::kAceAccessAllowed, 0x10, 0x1F01FF, admins}};
    seeded.sacl = {{plat::kAceSystemAudit, 0x80, 0x1, system}};
    plat::EnableSecurityPrivilege();
    ASSERT_EQ(0u,
              plat::SetFileSecurity(
                  path, plat::kSecurityOwner | plat::kSecurityDacl | plat::kSecuritySacl, seeded));

    CFileSD same(path);
    ASSERT_EQ(0u, same.SetAudit("Everyone", 0x81000000, 0x81000000, false));
    ASSERT_EQ(0u, same.WriteSecurity());
    EXPECT_EQ((std::vector<std::string>{"0x00000001 0x80 S-1-5-18", "0x81000000 0xC0 S-1-1-0"}),
              FileAudits(path));

    CFileSD different(path);
    ASSERT_EQ(0u, different.SetAudit("Everyone", 0x81000000, 0x01120116, true));
    ASSERT_EQ(0u, different.WriteSecurity());
    EXPECT_EQ((std::vector<std::string>{"0x00000001 0x80 S-1-5-18", "0x81000000 0x43 S-1-1-0",
                                        "0x01120116 0x83 S-1-1-0"}),
              FileAudits(path));

    plat::SecurityDescriptor after;
    ASSERT_EQ(0u, plat::GetFileSecurity(path, plat::kSecurityOwner | plat::kSecurityDacl, after));
    EXPECT_EQ(seeded.dacl, after.dacl);
    EXPECT_EQ(admins, after.owner);

    // Both masks 0 only take the account's entries off.
    CFileSD removal(path);
    ASSERT_EQ(0u, removal.SetAudit("everyone", 0, 0, false));
    ASSERT_EQ(0u, removal.WriteSecurity());
    EXPECT_EQ(std::vector<std::string>{"0x00000001 0x80 S-1-5-18"}, FileAudits(path));
}

TEST_F(FileAuditTest, UnknownAccountMissingFileAndWithheldPrivilegeWriteNothing) {
    std::string path = MakeFile("data.txt");
    CFileSD sd(path);
    EXPECT_EQ(1u, sd.SetAudit("no such account", 0x1, 0, false));
    EXPECT_EQ(1u, SetFileAudit(path.c_str(), "no such account", kReadOnly, kNone, 0));
    EXPECT_TRUE(m_log.Contains("Failed to prepare audit for <" + path + ">: 1"));

    std::string missing = m_dir.File("missing.txt");
    FileAuditEntry entry;
    entry.m_strPath = missing;
    entry.m_strAccount = "Everyone";
    entry.m_bSuccess[0] = 1;
    EXPECT_EQ(0u, CFileAudit::Apply(entry));
    EXPECT_TRUE(m_log.Contains("Failed to setup audit for <" + missing + ">: 2"));
    EXPECT_TRUE(
        m_log.Contains("Error setting File audit flags for " + missing + " : File not found."));

    hwtest::WriteWholeFile(m_dir.File("security-privilege-denied"), "");
    CFileSD refused(path);
    EXPECT_FALSE(refused.IsValid());
    EXPECT_EQ(0u, refused.SetAudit("Everyone", 0x1, 0x1, false));
    EXPECT_EQ(plat::kErrPrivilegeNotHeld, refused.WriteSecurity());
    std::filesystem::remove(m_dir.File("security-privilege-denied"));
    EXPECT_EQ(std::vector<std::string>{}, FileAudits(path));
}

TEST_F(FileAuditTest, RecursiveDirectoryGivesInheritableEntriesOnDirectoriesOnly) {
    std::string file = MakeFile("tree/sub/leaf.txt");
    std::string top = m_dir.File("tree");
    uint8_t write[6] = {0, 1, 0, 0, 0, 0};
    ASSERT_EQ(0u, SetFileAudit(top.c_str(), "Everyone", write, kNone, 1));
    EXPECT_EQ(std::vector<std::string>{"0x01120116 0x43 S-1-1-0"}, FileAudits(top));
    EXPECT_EQ(std::vector<std::string>{"0x01120116 0x43 S-1-1-0"}, FileAudits(top + "/sub"));
    EXPECT_EQ(std::vector<std::string>{"0x01120116 0x40 S-1-1-0"}, FileAudits(file));
}

// A tree deeper than the walk goes: the folders below the depth bound are
// audited but not entered, and what the bound leaves out is said and
// counted once, naming the rule and the folder, however many applies meet
// the same tree; only a tree grown deeper counts more.
TEST_F(FileAuditTest, RecursiveAuditSaysAndCountsTheFoldersTooDeepToEnter) {
    InputBounds::Instance().ForgetForTest();
    const std::string top = m_dir.File("deep");
    std::string chain = "deep";
    for (int depth = 0; depth < 40; ++depth) {
        chain += "/d";
    }
    const std::string deepest = MakeFile(chain + "/leaf.txt");
    Rule* pRule = AddRule("Watch deep", {}, {{"Write", "Success"}});
    SensorSettings::Instance().m_bEnforceAuditPolicy = true;
    ASSERT_EQ(0u, CFileAudit::Add(top.c_str(), pRule, 1, true));
    CFileAudit::ApplyAll();

    EXPECT_EQ(std::vector<std::string>{"0x01120116 0x43 S-1-1-0"}, FileAudits(top));
    EXPECT_EQ(std::vector<std::string>{}, FileAudits(deepest));
    const std::vector<std::string> bounds = InputBounds::Instance().Describe();
    ASSERT_EQ(1u, bounds.size());
    EXPECT_EQ("Bound reached: audited folder " + top +
                  " (rule Watch deep): at most 32 folders deep below it; what deeper folders hold "
                  "is not audited; 1 folder left out",
              bounds[0]);
    EXPECT_TRUE(m_log.Contains(bounds[0] + " (said again at most once a minute while it lasts)"));

    // A folder beside every one of the chain: one of them is at the depth
    // where the walk stops, the others above it (entered) or below it.
    for (std::string folder = chain; folder != "deep"; folder.resize(folder.size() - 2)) {
        MakeFile(folder + "/x/leaf.txt");
    }
    CFileAudit::ApplyAll();
    EXPECT_EQ(std::vector<std::string>{"Bound reached: audited folder " + top +
                                       " (rule Watch deep): at most 32 folders deep below it; what "
                                       "deeper folders hold is not audited; 2 folders left out"},
              InputBounds::Instance().Describe());
    InputBounds::Instance().ForgetForTest();
}

// A recursive audit answers what stopped its walk, not "file not found"
// whenever it found nothing: a tree that is not there is the file not
// found; one behind a folder its reader may not enter gives that error (5)
// and names where the walk stopped, as does one behind another account's
// link (681); one whose walk a bound cut before it found anything gives
// "more data" (234), the bound said by the apply.
TEST_F(FileAuditTest, RecursiveAuditAnswersWhatStoppedItsWalk) {
    const uint8_t write[6] = {0, 1, 0, 0, 0, 0};
    FileAuditEntry missing;
    missing.m_strPath = m_dir.File("missing");
    missing.m_strAccount = "Everyone";
    missing.m_bSuccess[1] = 1;
    missing.m_dwRecursive = 1;
    EXPECT_EQ(plat::kErrFileNotFound, SetFileAudit(missing.m_strPath.c_str(), "Everyone", write, kNone, 1));
    CFileAudit::Apply(missing);
    EXPECT_TRUE(m_log.Contains("Error setting File audit flags for " + missing.m_strPath + " : File not found."));

    // Read by an account that may not enter the folder.
    MakeFile("locked/tree/leaf.txt");
    ASSERT_EQ(0, ::chmod(m_dir.Path().c_str(), 0755));
    ASSERT_EQ(0, ::chmod(m_dir.File("locked").c_str(), 0700));
    const std::string locked = m_dir.File("locked/tree");
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(2);
        }
        const uint32_t dwResult = SetFileAudit(locked.c_str(), "Everyone", write, kNone, 1);
        const bool bSaid = m_log.Contains("Failed to read <" + locked + "> for audit: 5");
        ::_exit(dwResult == plat::kErrAccessDenied && bSaid ? 0 : 1);
    }
    int nStatus = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &nStatus, 0));
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;

    // Behind another account's link, whose target stays unaudited.
    MakeFile("real/tree/leaf.txt");
    std::filesystem::create_directory_symlink(m_dir.File("real"), m_dir.File("theirs"));
    ASSERT_EQ(0, ::lchown(m_dir.File("theirs").c_str(), 65534, 65534));
    const std::string linked = m_dir.File("theirs/tree");
    EXPECT_EQ(plat::kErrStoppedOnSymlink, SetFileAudit(linked.c_str(), "Everyone", write, kNone, 1));
    EXPECT_TRUE(m_log.Contains("Failed to read <" + linked + "> for audit: 681"));
    EXPECT_EQ(std::vector<std::string>{}, FileAudits(m_dir.File("real/tree")));

    // A pattern whose folders lie deeper than the walk goes.
    std::string chain = "deep";
    std::string pattern = m_dir.File("deep");
    for (int depth = 0; depth <= static_cast<int>(WildcardLimits::kDefaultMaxDepth); ++depth) {
        chain += "/d";
        pattern += "/*";
    }
    MakeFile(chain + "/leaf.txt");
    TreeLeftOut leftOut;
    EXPECT_EQ(plat::kErrMoreData, SetFileAudit(pattern.c_str(), "Everyone", write, kNone, 1, &leftOut));
    EXPECT_EQ(1u, leftOut.m_qwTooDeep);
    InputBounds::Instance().ForgetForTest();
    Rule* pRule = AddRule("Watch pattern", {}, {{"Write", "Success"}});
    CFileAudit::Add(pattern.c_str(), pRule, 1, true);
    EXPECT_EQ(1u, InputBounds::Instance().Describe().size());
    InputBounds::Instance().ForgetForTest();
    for (const std::string& path : {locked, linked, pattern}) {
        EXPECT_FALSE(m_log.Contains("Error setting File audit flags for " + path + " : File not found."))
            << path;
    }
}

TEST_F(FileAuditTest, TwoRulesOnOneFileAddUpAndAReloadDoesNotRepeatNames) {
    std::string path = MakeFile("shared.txt");
    Rule* pFirst = AddRule("First", {}, {{"Read", "Success"}});
    Rule* pSecond =
        AddRule("Second", {}, {{"Read", "Failure"}, {"Write", "Both"}, {"Bogus", "Both"}});
    EXPECT_EQ(13u, CFileAudit::Add("", pFirst, 0, false));
    EXPECT_EQ(13u, CFileAudit::Add(path.c_str(), nullptr, 0, false));
    EXPECT_EQ(0u, CFileAudit::Add(path.c_str(), pFirst, 0, false));
    EXPECT_EQ(52u, CFileAudit::Add(path.c_str(), pSecond, 0, true));
    const FileAuditEntry& entry = *CFileAudit::Entries().at(path);
    EXPECT_EQ("First, Second", entry.m_strRuleNames);
    EXPECT_EQ((std::vector<std::string>{"0x81120116 0xC0 S-1-1-0"}), FileAudits(path));

    InitializeStrategy::BeginPolicyRead();
    EXPECT_FALSE(entry.HasRights());
    CFileAudit::Add(path.c_str(), pSecond, 0, false);
    CFileAudit::Add(path.c_str(), pSecond, 0, false);
    EXPECT_EQ("Second", entry.m_strRuleNames);
    EXPECT_EQ(0u, entry.m_bSuccess[0]);
    EXPECT_EQ(1u, entry.m_bFailure[0]);

    EXPECT_EQ(0u, CFileAudit::Remove(path.c_str()));
    EXPECT_EQ(52u, CFileAudit::Remove(path.c_str()));
    EXPECT_EQ(13u, CFileAudit::Remove(""));
}

TEST_F(FileAuditTest, KeyListedProgramIsFoundAlongTheSearchPath) {
    std::string program = MakeFile("bin/watched-tool");
    hwtest::EnvironmentOverride path("PATH",
                                     (m_dir.File("nowhere") + ":" + m_dir.File("bin")).c_str());
    plat::RegistryKey key = 0;
    ASSERT_EQ(0u, plat::RegistryCreateKey(plat::kRegistryLocalMachine, "Software\\Run", &key));
    std::string line = "watched-tool --quiet";
    plat::RegistrySetValue(key, "Tool", plat::kRegistryString,
                           reinterpret_cast<const uint8_t*>(line.c_str()),
                           static_cast<uint32_t>(line.size() + 1));
    plat::RegistryCloseKey(key);

    Rule* pRule = AddRule("Autorun", {}, {{"Execute", "Success"}});
    EXPECT_EQ(0u, CFileAudit::Add("$Software\\Run", pRule, 1, true));
    EXPECT_EQ(std::vector<std::string>{"0x20000000 0x40 S-1-1-0"}, FileAudits(program));

    CFileAudit::Add("$Software\\Missing", pRule, 0, true);
    EXPECT_TRUE(m_log.Contains(
        "Error setting File audit flags for $Software\\Missing : subkeys not found."));
}
