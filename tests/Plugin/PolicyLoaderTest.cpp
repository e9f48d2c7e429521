#include "Plugin/PolicyLoader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "Common/SensorSettings.h"
#include "Plugin/PolicyFiles.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFSvcRequest.h"
#include "qorCSFLib/FakeHost.h"
#include "support/DamagedPolicy.h"
#include "support/TestUtil.h"

namespace fs = std::filesystem;

namespace {

const std::string kFixtures = std::string(HW_SOURCE_DIR) + "/tests/Plugin/data/policy/";

class PolicyLoaderTest : public ::testing::Test {
protected:
    void SetUp() override { m_request.SetServices(&m_services); }

    // Copies a fixture's input files (not its expected results) into the
    // scratch base directory.
    void UseFixture(const std::string& name) {
        for (const auto& entry : fs::directory_iterator(kFixtures + name)) {
            if (entry.is_regular_file()) {
                fs::copy_file(entry.path(), m_dir.File(entry.path().filename().string()));
            }
        }
        m_fixture = name;
    }

    bool Load(PolicyLoader::LoadKind kind = PolicyLoader::LoadKind::kAccept, bool bReload = false) {
        m_container.reset(CreatePluginPolicyContainer());
        PolicyLoader::Sources sources{m_dir.Path() + "/", m_dir.File("RuleDef_Win_2K3.policy")};
        return m_loader.Load(m_container.get(), bReload, kind, sources);
    }
    bool Reload() { return Load(PolicyLoader::LoadKind::kAccept, true); }
    void Write(const std::string& name, const std::string& bytes) {
        hwtest::WriteWholeFile(m_dir.File(name), bytes);
    }
    std::string Problem() const { return m_loader.GetLastProblem(); }

    std::string File(const std::string& name) const { return hwtest::ReadWholeFile(m_dir.File(name)); }
    std::string Input(const std::string& name) const {
        return hwtest::ReadWholeFile(kFixtures + m_fixture + "/" + name);
    }
    std::string Expected(const std::string& name) const { return Input("expected/" + name); }
    bool Exists(const std::string& name) const { return fs::exists(m_dir.File(name)); }

    std::string Text(const char* path, const char* name) {
        const char* text = m_container->GetText(path, name, "<none>");
        return text != nullptr ? text : "<null>";
    }
    bool Has(const char* path, const char* name) { return m_container->Exists(path, name); }

    bool Logged(const std::string& text) { return m_services.Logged(text); }
    bool LoggedBeginning(const std::string& text) { return !LinesBeginning(text).empty(); }
    std::vector<std::string> LinesBeginning(const std::string& text) {
        std::vector<std::string> lines;
        for (const std::string& line : m_services.Texts()) {
            if (line.rfind(text, 0) == 0) {
                lines.push_back(line);
            }
        }
        return lines;
    }
    // Whether the one line that begins so ends so.
    bool LoggedOnce(const std::string& head, const std::string& tail) {
        const std::vector<std::string> lines = LinesBeginning(head);
        return lines.size() == 1 && lines[0].size() >= tail.size() &&
               lines[0].compare(lines[0].size() - tail.size(), tail.size(), tail) == 0;
    }

    hwtest::ScratchDirectory m_dir;
    RecordingServices m_services;
    CSFSvcRequest m_request;
    PolicyLoader m_loader;
    PolicyPtr m_container;
    std::string m_fixture;
};

}  // namespace

// Each fixture's accepted and factory files end as its expected/ copies, or
// unchanged when it has none; a push is always consumed.
TEST_F(PolicyLoaderTest, PushUpdateAndFactoryFilesAreAssembledIntoTheExpectedFiles) {
    const struct {
        const char* pszFixture;
        const char* pszAbsentRule;
    } cases[] = {
        {"push_over_newer_update", "Update rule"},  // the push is taken without the newer update
        {"current_with_newer_update", nullptr},    // merged, the accepted version kept
        {"current_with_older_update", "Update rule"},
        {"default_with_update", nullptr},          // both files rewritten
        {"current_without_version", nullptr},
        {"invalid_push", "Pushed rule"},           // a push without "\config" is set aside
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszFixture);
        fs::remove_all(m_dir.Path());
        fs::create_directories(m_dir.Path());
        UseFixture(c.pszFixture);
        ASSERT_TRUE(Load());
        for (const char* pszFile : {"current.policy", "Default.policy"}) {
            if (fs::exists(kFixtures + c.pszFixture + "/expected/" + pszFile)) {
                EXPECT_EQ(Expected(pszFile), File(pszFile)) << pszFile;
            } else if (fs::exists(kFixtures + c.pszFixture + "/" + pszFile)) {
                EXPECT_EQ(Input(pszFile), File(pszFile)) << pszFile;
            }
        }
        EXPECT_FALSE(Exists("push.policy"));
        if (c.pszAbsentRule != nullptr) {
            EXPECT_FALSE(Has((std::string("\\Advanced\\Rules\\SysLog Rules\\") + c.pszAbsentRule).c_str(), ""));
        }
    }
    EXPECT_TRUE(Logged("push.policy is invalid because no \"\\config\" section exists. "
                       "push.policy will be ignored and kept as push.policy.refused."));
}

TEST_F(PolicyLoaderTest, AcceptedPolicyWithoutConfigAndNoDefaultFailsTheLoad) {
    UseFixture("invalid_current_no_default");

    EXPECT_FALSE(Load());
    EXPECT_FALSE(m_loader.Load(nullptr, true, PolicyLoader::LoadKind::kAccept, {m_dir.Path() + "/", ""}));

    EXPECT_FALSE(Exists("current.policy"));
    EXPECT_EQ(Input("current.policy"), File("current.policy.refused"));
    EXPECT_TRUE(Logged("current.policy is invalid because no \"\\config\" section exists. "
                       "current.policy will be ignored and kept as current.policy.refused."));
    EXPECT_TRUE(Logged("Failed to find policy file (" + m_dir.File("Default.policy") + ")"));
    // The refusal says what the start-up put in force in its place: nothing.
    EXPECT_TRUE(Logged("current.policy refused (no \"\\config\" section exists); it is kept as "
                       "current.policy.refused; no policy is in force."));
}

TEST_F(PolicyLoaderTest, RuleDefinitionsAreMergedInMemoryOnly) {
    UseFixture("ruledef_merge");

    ASSERT_TRUE(Load());

    EXPECT_EQ(517, m_container->GetLong("\\Advanced\\Rules\\EventLog Rules\\Audit cleared",
                                        "Event Id", nullptr));
    EXPECT_EQ(529, m_container->GetLong("\\Advanced\\Rules\\EventLog Rules\\Logon failure",
                                        "Event Id", nullptr));
    EXPECT_EQ(0, m_container->GetBool("\\Advanced\\Rules\\EventLog Rules\\Logon failure",
                                      "Enabled", nullptr));
    EXPECT_EQ(Input("current.policy"), File("current.policy"));
}

// A section given twice in a policy file is said with the file and both
// lines, by a load that puts the policy in force; the file is read as it
// stands.
TEST_F(PolicyLoaderTest, SectionGivenTwiceInAFileIsWarnedAboutWithBothLines) {
    const std::string rule = "[\\Advanced\\Rules\\SysLog Rules\\Failed su\\];\r\n";
    Write("push.policy", "Pushed\r\n[\\config\\];\r\n" + rule + "Priority\t=L\t1;\r\n" + rule +
                             "Priority\t=L\t3;\r\n");
    Write("update.policy", "Update\r\n" + rule + "Priority\t=L\t2;\r\n" + rule);
    Write("RuleDef_Win_2K3.policy", "Rules\r\n[\\];\r\n[\\Advanced\\];\r\n[\\Advanced\\];\r\n");

    ASSERT_TRUE(Load());

    EXPECT_EQ(3, m_container->GetLong("\\Advanced\\Rules\\SysLog Rules\\Failed su", "Priority", nullptr));
    EXPECT_TRUE(Logged("push.policy line 5: the section [\\Advanced\\Rules\\SysLog Rules\\Failed su\\] is "
                       "given a second time (first at line 3): its values are read into the same key, where a "
                       "value given in both takes the one at line 5"));
    EXPECT_TRUE(Logged("RuleDef_Win_2K3.policy line 4: the section [\\Advanced\\] is given a second time "
                       "(first at line 3): its values are merged into the same key, where a value given in both "
                       "keeps the one at line 3"));
    EXPECT_EQ(2u, m_services.CountStartingWith("push.policy line ") +
                      m_services.CountStartingWith("RuleDef_Win_2K3.policy line "));

    // The accepted policy, written whole, has each section once; an
    // update merged into it is said as well.
    m_services.Forget();
    ASSERT_TRUE(Load());
    EXPECT_EQ(0u, m_services.CountStartingWith("current.policy line "));
    EXPECT_TRUE(Logged("update.policy line 4: the section [\\Advanced\\Rules\\SysLog Rules\\Failed su\\] "
                       "is given a second time (first at line 2): its values are merged into the same key, "
                       "where a value given in both keeps the one at line 2"));

    // An adapter update's read puts nothing in force and says nothing.
    m_services.Forget();
    ASSERT_TRUE(Load(PolicyLoader::LoadKind::kReadAccepted));
    EXPECT_EQ(0u, m_services.CountStartingWith("RuleDef_Win_2K3.policy line "));
}

TEST_F(PolicyLoaderTest, BlockResponsesAreSwitchedOffWhenBlockingIsDisabled) {
    UseFixture("block_disabled");

    ASSERT_TRUE(Load());

    const char* land = "\\Advanced\\Rules\\Nodekeeper Rules\\Land_Attack\\Response";
    const char* landBlock = "\\Advanced\\Rules\\Nodekeeper Rules\\Land_Attack\\Response\\BLOCK";
    EXPECT_EQ("", Text(land, "BLOCK"));
    EXPECT_FALSE(Has(landBlock, "Choice"));
    EXPECT_EQ(0, m_container->GetBool(landBlock, "Enabled", nullptr));
    const char* sweepBlock = "\\Advanced\\Rules\\Nodekeeper Rules\\Ping_Sweep\\Response\\BLOCK";
    EXPECT_FALSE(Has(sweepBlock, "Choice"));
    // Only the exact "Default" counts as a chosen block response.
    const char* scanBlock = "\\Advanced\\Rules\\Nodekeeper Rules\\Port_Scan\\Response\\BLOCK";
    EXPECT_EQ("default", Text(scanBlock, "Choice"));
    EXPECT_TRUE(Logged("Advanced parameter \"BlockEnabled\" is set to FALSE, block responses "
                       "will not be triggered."));
    EXPECT_EQ(Input("current.policy"), File("current.policy"));
}

TEST_F(PolicyLoaderTest, PushIsKeptUntilTheAcceptedPolicyIsSaved) {
    UseFixture("push_over_newer_update");
    // A folder in the way of the temporary file makes the save fail.
    fs::create_directory(m_dir.File("current.policy.newupdate"));

    ASSERT_TRUE(Load());

    EXPECT_EQ(Input("push.policy"), File("push.policy.loading"));
    EXPECT_TRUE(PolicyLoader::IsPushWaiting(m_dir.Path() + "/"));
    EXPECT_EQ(Input("current.policy"), File("current.policy"));
    EXPECT_TRUE(Logged("Unable to save the accepted policy to " + m_dir.File("current.policy") +
                       ": cannot make " + m_dir.File("current.policy.newupdate") +
                       " (Access is denied); push.policy is kept and will be applied again."));
    fs::remove(m_dir.File("current.policy.newupdate"));

    if (::geteuid() == 0) {
        // Another account's file in the place of the accepted policy is
        // refused, and the message says so.
        const std::string current = m_dir.File("current.policy");
        ASSERT_EQ(0, ::chown(current.c_str(), 65534, 65534));
        ASSERT_TRUE(Load());
        EXPECT_TRUE(Logged("Unable to save the accepted policy to " + current + ": " + current +
                           " is a file another account owns (nobody, uid 65534); it is not "
                           "written; push.policy is kept and will be applied again."));
        EXPECT_EQ(Input("current.policy"), File("current.policy"));
        EXPECT_TRUE(PolicyLoader::IsPushWaiting(m_dir.Path() + "/"));
        ASSERT_EQ(0, ::chown(current.c_str(), 0, 0));
    }
    ASSERT_TRUE(Load());
    EXPECT_TRUE(Logged("Loading " + m_dir.File("push.policy.loading") +
                       ", left by a policy load that did not finish."));
    EXPECT_FALSE(PolicyLoader::IsPushWaiting(m_dir.Path() + "/"));
    EXPECT_EQ(Input("push.policy"), File("push.policy.applied"));
    EXPECT_EQ(Expected("current.policy"), File("current.policy"));
    // The advanced parameters follow the policy just loaded.
    EXPECT_FALSE(SensorSettings::Instance().m_bScriptEnabled);
}

TEST_F(PolicyLoaderTest, AdapterUpdateLoadConsumesNeitherPushNorCommonPolicy) {
    UseFixture("push_over_newer_update");
    PolicyPtr common(CreatePluginPolicyContainer());
    common->SetText("\\Response\\EMAIL\\Admins", "To", "root");
    m_loader.SetCommonPolicy(common.get());

    ASSERT_TRUE(Load(PolicyLoader::LoadKind::kReadAccepted));

    EXPECT_TRUE(Exists("push.policy"));
    EXPECT_EQ(Input("current.policy"), File("current.policy"));
    EXPECT_EQ(0, m_container->GetBool("\\config", "Nodekeeper", nullptr));
    EXPECT_EQ(common.get(), m_loader.GetCommonPolicy());
    EXPECT_TRUE(m_loader.CompareResponseTable());
}

TEST_F(PolicyLoaderTest, ResponseTableDecidesWhetherTheCommonPolicyChanged) {
    UseFixture("current_with_older_update");
    PolicyPtr common(CreatePluginPolicyContainer());
    common->SetText("\\Response\\EMAIL\\Admins", "To", "root");
    common->SetText("\\Response\\EMAIL\\Operators", "To", "ops");
    common->SetText("\\Response\\SNMP\\Manager", "Host", "127.0.0.1");
    common->SetText("\\Response\\PROGRAM", "Unused", "x");

    // Nothing handed over: unchanged.
    EXPECT_FALSE(m_loader.CompareResponseTable());
    m_loader.SetCommonPolicy(common.get());
    EXPECT_TRUE(m_loader.CompareResponseTable());

    ASSERT_TRUE(Load());
    EXPECT_EQ(nullptr, m_loader.GetCommonPolicy());
    ResponseTable expected{{"EMAIL", "Admins"}, {"EMAIL", "Operators"}, {"SNMP", "Manager"}};
    EXPECT_EQ(expected, m_loader.GetResponseTable());
    EXPECT_FALSE(m_loader.IsValidResponse("EMAIL", "Manager"));
    EXPECT_FALSE(m_loader.IsValidResponse("PROGRAM", ""));
}

TEST_F(PolicyLoaderTest, DamagedAcceptedPolicyFailsAReloadAndGivesWayToTheDefaultAtStartUp) {
    UseFixture("current_with_newer_update");
    const std::string accepted = Input("current.policy");
    PolicyPtr common(CreatePluginPolicyContainer());
    common->SetText("\\Response\\EMAIL\\Admins", "To", "root");
    for (const hwtest::DamagedFile& damaged : hwtest::DamagedVariants(accepted)) {
        SCOPED_TRACE(damaged.m_pszKind);
        Write("current.policy", damaged.m_strBytes);
        m_loader.SetCommonPolicy(common.get());

        EXPECT_FALSE(Reload());
        EXPECT_EQ(0u, Problem().find("current.policy refused (")) << Problem();
        EXPECT_EQ(damaged.m_strBytes, File("current.policy"));
        EXPECT_FALSE(Load(PolicyLoader::LoadKind::kReadAccepted, true));
        EXPECT_EQ(damaged.m_strBytes, File("current.policy"));
        EXPECT_EQ(common.get(), m_loader.GetCommonPolicy());

        m_services.Forget();
        ASSERT_TRUE(Load());
        // Said with the policy put in force in its place.
        EXPECT_TRUE(LoggedOnce("current.policy refused (", "; it is kept as current.policy.refused; the factory "
                                                           "policy Default.policy is in force instead."));
        EXPECT_EQ(damaged.m_strBytes, File("current.policy.refused"));
        // The factory policy, updated, is the accepted one now.
        EXPECT_EQ(Input("Default.policy").substr(0, 10), File("current.policy").substr(0, 10));
        fs::copy_file(kFixtures + m_fixture + "/Default.policy", m_dir.File("Default.policy"),
                      fs::copy_options::overwrite_existing);
    }
    // A damaged push at start-up gives way to the policy accepted last.
    Write("push.policy", hwtest::DamagedVariants(accepted)[0].m_strBytes);
    m_services.Forget();
    ASSERT_TRUE(Load());
    EXPECT_TRUE(LoggedOnce("push.policy refused (", "; it is kept as push.policy.refused; current.policy, the "
                                                    "policy accepted last, is in force instead."));
}

TEST_F(PolicyLoaderTest, DamagedUpdateIsNotMergedAndTheLoadGoesOn) {
    UseFixture("current_with_newer_update");
    Write("update.policy", hwtest::DamagedVariants(Input("update.policy"))[0].m_strBytes);

    ASSERT_TRUE(Load());

    EXPECT_EQ(Input("current.policy"), File("current.policy"));
    EXPECT_TRUE(LoggedBeginning(m_dir.File("update.policy") + " refused (line "));
}

TEST(CompareVersionTextTest, OnlyTheLastTwoFieldsOfFourCount) {
    const struct {
        const char* pszNew;
        const char* pszOld;
        bool bNewer;
    } cases[] = {
        {"9.9.5.2", "1.0.5.3", false},
        {"0.0.6.0", "1.0.5.3", true},
        {"1.0.5.10", "1.0.5.9", true},
        {"1.0.5.3", "1.0.5.3", false},
        {"1.0.9", "1.0.5.3", false},
        {nullptr, "1.0.5.3", false},
        // Fields without digits read as 0; a huge field saturates rather than wraps.
        {"..1.", "..0.9", true},
        {"1.0.99999999999999999999999.0", "1.0.18446744073709551614.0", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.bNewer, CompareVersionText(c.pszNew, c.pszOld)) << (c.pszNew ? c.pszNew : "null") << " " << c.pszOld;
    }
}
