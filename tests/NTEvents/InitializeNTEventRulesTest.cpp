#include "NTEvents/InitializeNTEventRules.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Common/FakeSensorCore.h"
#include "Common/InputBounds.h"
#include "NTEvents/Audit/FileAudit.h"
#include "NTEvents/CNTEventRule.h"
#include "hostwarden/IPolicyContainer.h"
#include "support/TestUtil.h"

namespace {

using Texts = std::vector<std::string>;

constexpr const char kRulesTable[] = "\\Advanced\\Rules\\EventLog Rules";

class EventRuleReaderTest : public ::testing::Test {
protected:
    EventRuleReaderTest() : m_pPolicy(CreatePluginPolicyContainer()) {}
    ~EventRuleReaderTest() override {
        m_pPolicy->Release();
        CFileAudit::Clear();
    }

    void Set(const std::string& strPath, const char* pszName, const char* pszText) {
        m_pPolicy->SetText(strPath.c_str(), pszName, pszText);
    }
    void Set(const std::string& strPath, const char* pszName, int32_t nValue) {
        m_pPolicy->SetLong(strPath.c_str(), pszName, &nValue);
    }
    void Set(const std::string& strPath, const char* pszName, bool bValue) {
        m_pPolicy->SetBool(strPath.c_str(), pszName, &bValue);
    }
    // An enabled rule, with an event id unless it is null.
    std::string AddRule(const char* pszName, const int32_t* pId = &kAnyId) {
        std::string strPath = std::string(kRulesTable) + "\\" + pszName;
        Set(strPath, "Enabled", true);
        if (pId != nullptr) {
            Set(strPath, "Event Log ID", *pId);
        }
        return strPath;
    }
    CNTEventRule* Read(const char* pszName) {
        m_pRules = std::make_unique<RuleContainer>();
        m_Reader.ClearLogNames();
        m_Reader.ReadRules(m_pRules.get(), m_pPolicy);
        return dynamic_cast<CNTEventRule*>(m_pRules->Find(pszName));
    }

    static constexpr int32_t kAnyId = 529;
    // Audits applied by the rules land in a platform root of the test's own.
    hwtest::ScratchDirectory m_Root;
    hwtest::EnvironmentOverride m_RootVariable{"QOR_PLATFORM_ROOT", m_Root.Path().c_str()};
    FakeSensorCore m_Sensor;
    ScopedHostLog m_HostLog;
    IPolicyContainer* m_pPolicy;
    CInitializeNTEventRules m_Reader;
    std::unique_ptr<RuleContainer> m_pRules;
};

}  // namespace

TEST_F(EventRuleReaderTest, RuleOfAnotherLogTypeOrWithoutEventIdIsRefused) {
    AddRule("NoType");
    Set(AddRule("Syslog"), "Log Type", "Syslog");
    Set(AddRule("EmptyType"), "Log Type", "");
    AddRule("NoId", nullptr);
    const int32_t kMinusOne = -1;
    const int32_t kZero = 0;
    AddRule("MinusOne", &kMinusOne);
    AddRule("Zero", &kZero);
    ScopedHostLog log;
    ASSERT_NE(nullptr, Read("NoType"));
    EXPECT_NE(nullptr, m_pRules->Find("Zero"));
    EXPECT_EQ(2u, m_pRules->Count());
    // Each rule left out says so, with its key.
    const std::string strTable = std::string(kRulesTable) + "\\";
    for (const std::string& strSaid :
         {strTable + "Syslog: \"Log Type\" \"Syslog\" is not \"Event Log\": it is left out",
          strTable + "EmptyType: \"Log Type\" \"\" is not \"Event Log\": it is left out",
          strTable + "NoId has no \"Event Log ID\": it is left out",
          strTable + "MinusOne has no \"Event Log ID\": it is left out"}) {
        EXPECT_TRUE(log.Contains("Rule " + strSaid)) << strSaid;
    }
}

TEST_F(EventRuleReaderTest, PerStringExpressionsWinAndAFailedOneLeavesTheSingleExpression) {
    const std::string strOnly3 = AddRule("Only3");
    Set(strOnly3, "RegExp3", "admin");
    Set(strOnly3, "IgnoreCase3", true);
    Set(strOnly3, "Regular Expression", "never read");
    const std::string strBad0 = AddRule("Bad0");
    Set(strBad0, "RegExp0", "[unclosed");
    Set(strBad0, "Regular Expression", "single");
    CNTEventRule* pOnly3 = Read("Only3");
    ASSERT_NE(nullptr, pOnly3);
    ASSERT_TRUE(pOnly3->m_pRegExpList);
    ASSERT_EQ(1u, pOnly3->m_pRegExpList->size());
    EXPECT_EQ(3u, pOnly3->m_pRegExpList->front()->GetIndex());
    EXPECT_EQ(1, pOnly3->m_pRegExpList->front()->Match("ADMIN"));
    EXPECT_FALSE(pOnly3->m_pRegExp);
    auto* pBad0 = dynamic_cast<CNTEventRule*>(m_pRules->Find("Bad0"));
    ASSERT_NE(nullptr, pBad0);
    EXPECT_FALSE(pBad0->m_pRegExpList);
    ASSERT_TRUE(pBad0->m_pRegExp);
    EXPECT_EQ("single", pBad0->m_pRegExp->Pattern());

    // Copies share the per-string expressions, so they outlive the rule.
    std::unique_ptr<Rule> pCopy(pOnly3->Clone());
    auto* pEventCopy = dynamic_cast<CNTEventRule*>(pCopy.get());
    ASSERT_NE(nullptr, pEventCopy);
    EXPECT_EQ(pOnly3->m_pRegExpList->front(), pEventCopy->m_pRegExpList->front());
    m_pRules.reset();
    m_Sensor.DeleteRules();
    EXPECT_EQ(1, pEventCopy->m_pRegExpList->front()->Match("admin"));
}

TEST_F(EventRuleReaderTest, LogNamesKeepTheirCaseAndAMissingOrEmptySourceMeansSecurity) {
    Set(AddRule("A"), "Event Log Source", "System");
    Set(AddRule("B"), "Event Log Source", "System");
    Set(AddRule("C"), "Event Log Source", "system");
    Set(AddRule("D"), "Event Log Source", "");
    AddRule("E");
    Read("A");
    EXPECT_EQ((std::set<std::string>{"Security", "System", "system"}), m_Reader.GetLogNames());
    EXPECT_EQ("Security", dynamic_cast<CNTEventRule*>(m_pRules->Find("D"))->m_strLogName);
}

TEST_F(EventRuleReaderTest, NameReferencesAreReplacedAtTheEndAndMissingOrCyclicOnesVanish) {
    const std::string strRule = AddRule("Refs");
    const std::string strRegistry = strRule + "\\Audit\\Registry";
    Set(strRegistry, "first", "HKEY_LOCAL_MACHINE\\Software\\One");
    Set(strRegistry, "nameref_1", "..\\..\\Shared");
    Set(strRegistry, "nameref_2", "\\No\\Such\\Key");
    Set(strRegistry, "last", "HKEY_USERS\\Two");
    Set(strRule + "\\Shared", "shared", "HKEY_LOCAL_MACHINE\\Shared");
    Set(strRule + "\\Shared", "nameref_deeper", "Deeper");
    Set(strRule + "\\Shared\\Deeper", "deep", "HKEY_USERS\\Deep");
    // Back to where the chain started: dropped, not followed for ever.
    Set(strRule + "\\Shared\\Deeper", "nameref_loop", "..\\..\\Audit\\Registry");
    CNTEventRule* pRule = Read("Refs");
    ASSERT_NE(nullptr, pRule);
    EXPECT_EQ((Texts{"first", "last", "shared", "deep"}), pRule->KeyAuditNames());
    EXPECT_EQ((Texts{"HKEY_LOCAL_MACHINE\\Software\\One", "HKEY_USERS\\Two",
                     "HKEY_LOCAL_MACHINE\\Shared", "HKEY_USERS\\Deep"}),
              pRule->KeyAuditValues());
}

TEST_F(EventRuleReaderTest, EveryoneAuditWithoutGlobalKeyAddsFileAccessSuccess) {
    const std::string strRule = AddRule("Everyone");
    Set(strRule + "\\Audit\\Files\\EveryOne", "Write", "Success");
    CNTEventRule* pRule = Read("Everyone");
    ASSERT_NE(nullptr, pRule);
    EXPECT_EQ((Texts{"File Access"}), pRule->GlobalAuditNames());
    EXPECT_EQ((Texts{"Success"}), pRule->GlobalAuditValues());
}

TEST_F(EventRuleReaderTest, AuditedFilesFollowTheSpecificationsAsFilesComeAndGo) {
    hwtest::ScratchDirectory dir;
    hwtest::EnvironmentOverride variable("HW_AUDIT_DIR", dir.Path().c_str());
    hwtest::WriteWholeFile(dir.File("hosts"), "x");
    std::filesystem::create_directory(dir.File("conf"));
    const std::string strRule = AddRule("Files");
    const std::string strFiles = strRule + "\\Audit\\Files";
    Set(strFiles, "hosts", "%HW_AUDIT_DIR%/hosts");
    Set(strFiles, "tree", "%HW_AUDIT_DIR%/conf/...");
    Set(strFiles, "absent", "%HW_AUDIT_DIR%/absent");
    Set(strFiles, "unset", "%HW_AUDIT_UNSET%/x");
    hwtest::WriteWholeFile(dir.File("a.log"), "x");
    Set(strFiles, "wild", "%HW_AUDIT_DIR%/*.log");
    CNTEventRule* pRule = Read("Files");
    ASSERT_NE(nullptr, pRule);
    EXPECT_EQ((Texts{dir.File("hosts"), dir.File("conf/..."), dir.File("a.log")}),
              pRule->AuditedFiles());
    EXPECT_EQ("%HW_AUDIT_UNSET%/x", (*pRule->m_pAuditFileSpecs)[3]);
    EXPECT_EQ(0, pRule->AddAuditFile(dir.File("HOSTS")));

    EXPECT_EQ(0, pRule->RefreshAuditFiles(true));
    std::filesystem::remove(dir.File("hosts"));
    EXPECT_EQ(1, pRule->RefreshAuditFiles(true));
    EXPECT_EQ((Texts{dir.File("conf/..."), dir.File("a.log")}), pRule->AuditedFiles());
    hwtest::WriteWholeFile(dir.File("absent"), "now here");
    EXPECT_EQ(1, pRule->RefreshAuditFiles(true));
    EXPECT_EQ((Texts{dir.File("conf/..."), dir.File("a.log"), dir.File("absent")}),
              pRule->AuditedFiles());
    // The process-wide file audit list follows: the tree is recursive, the
    // vanished file is gone.
    const CFileAudit::EntryMap& entries = CFileAudit::Entries();
    EXPECT_EQ(0u, entries.count(dir.File("hosts")));
    ASSERT_EQ(1u, entries.count(dir.File("conf")));
    EXPECT_EQ(1u, entries.at(dir.File("conf"))->m_dwRecursive);
    EXPECT_EQ(1u, entries.count(dir.File("absent")));
}

// Whoever can write a folder a pattern names decides how many files match:
// a rule audits at most its bound of them, keeps those it has, and says
// how many it left out; a file that goes makes room for one left out.
TEST_F(EventRuleReaderTest, AuditedFilesOfAWildcardPatternAreBoundedKeepingThoseAuditedFirst) {
    InputBounds::Instance().ForgetForTest();
    hwtest::ScratchDirectory dir;
    const size_t nFiles = CNTEventRule::kMaxAuditedFiles + 10;
    for (size_t n = 0; n < nFiles; ++n) {
        char szName[32];
        std::snprintf(szName, sizeof szName, "f%05zu.up", n);
        hwtest::WriteWholeFile(dir.File(szName), "x");
    }
    const std::string strRule = AddRule("Uploads");
    Set(strRule + "\\Audit\\Files", "uploads", (dir.Path() + "/*.up").c_str());
    CNTEventRule* pRule = Read("Uploads");
    ASSERT_NE(nullptr, pRule);
    ASSERT_EQ(CNTEventRule::kMaxAuditedFiles, pRule->AuditedFiles().size());
    EXPECT_EQ(dir.File("f00000.up"), pRule->AuditedFiles().front());
    EXPECT_EQ(0, pRule->RefreshAuditFiles(false)) << "nothing changed: the same files are kept";

    std::filesystem::remove(dir.File("f00003.up"));
    EXPECT_EQ(1, pRule->RefreshAuditFiles(false));
    EXPECT_EQ(1, pRule->RefreshAuditFiles(false)) << "the room is taken at the next look";
    EXPECT_EQ(dir.File(std::string("f0") + std::to_string(CNTEventRule::kMaxAuditedFiles) + ".up"),
              pRule->AuditedFiles().back());
    EXPECT_EQ(InputBounds::Instance().Describe(),
              std::vector<std::string>{"Bound reached: event-log rule Uploads audited files: at "
                                       "most 1024 files audited; 10 files left out"});
}

// An event-log rule's template that cannot mean what it says is said at the
// load with the rule, the pair and the template: a string past the 32 a
// rule reads or below the first (always empty), a marker misspelt or of
// another engine (the template's own text), a number read as another, and
// a "{!" that is no marker.  A template without "{!}" is a text as it
// stands here, "|" and all.
TEST_F(EventRuleReaderTest, TemplateThatCannotMeanWhatItSaysIsSaidAtTheLoad) {
    const std::string strPath = AddRule("Logon");
    int nPair = 0;
    for (const char* pszGood : {"@String0", "@String31", "@Access1", "@Sid", "@Sid2", "user={!};", "literal",
                                "web|db", "for {!} from|by {!}"}) {
        Set(strPath + "\\Info", ("Good " + std::to_string(++nPair)).c_str(), pszGood);
    }
    const std::string strPast = "past the last one an event-log rule can see (string 31: a rule reads the first "
                                "32 strings of a record): the value is always empty";
    const std::string strMarkers = "is no marker of an event-log rule, whose markers are @String<n>, @Access<n>, "
                                   "@Sid and @Sid<n>: the value is the template as it stands";
    const std::pair<const char*, std::string> kSaid[] = {
        {"@String32", "names string 32, " + strPast},
        {"@Sid40", "names string 40, " + strPast},
        {"@Access-1", "names string -1, below the first (0): the value is always empty"},
        {"@Strings", "has no number after \"@String\": it is read as \"@String0\""},
        {"@String0|for {!}", "is read as \"@String0\": the text after the number (\"|for {!}\") is not read"},
        {"@Sidney", strMarkers},
        {"@Field3", strMarkers},
        {"@Remote", strMarkers},
        {"user={!", "has \"{!\" without its closing \"}\", which is then no marker: the value is the template "
                    "as it stands"},
    };
    nPair = 0;
    for (const auto& [pszTemplate, strSaid] : kSaid) {
        Set(strPath + "\\Info", ("Said " + std::to_string(++nPair)).c_str(), pszTemplate);
    }
    ASSERT_NE(nullptr, Read("Logon"));
    Texts expected;
    nPair = 0;
    for (const auto& [pszTemplate, strSaid] : kSaid) {
        expected.push_back("Rule " + strPath + ": information pair \"Said " + std::to_string(++nPair) +
                           "\": the template \"" + pszTemplate + "\" " + strSaid);
    }
    Texts said;
    for (const std::string& strLine : m_HostLog.m_Services.Texts()) {
        if (strLine.find(": information pair \"") != std::string::npos) {
            said.push_back(strLine);
        }
    }
    EXPECT_EQ(expected, said);
}

// What an event-log rule cannot use as written is said at the load with the
// rule, the rule kept as before: a pattern that does not compile (left out
// with the compiler's reason, the rule matching without it), a "Regular
// Expression" beside "RegExp<n>" patterns (not used), an id or category
// outside the 16 bits of a record's (the rule never fires) and a type
// outside them (cut).
TEST_F(EventRuleReaderTest, ValuesTheRuleCannotUseAsWrittenAreSaid) {
    const std::string strBad = AddRule("Bad");
    Set(strBad, "RegExp0", "[unclosed");
    Set(strBad, "RegExp1", "fine");
    Set(strBad, "Regular Expression", "beside");
    const std::string strSingle = AddRule("Single");
    Set(strSingle, "Regular Expression", "(open");
    const int32_t nFar = 70000;
    const std::string strFar = AddRule("Far", &nFar);
    Set(strFar, "Event Log Category", -2);
    Set(strFar, "Event Log Type", 65544);
    CNTEventRule* pBad = Read("Bad");
    ASSERT_NE(nullptr, pBad);
    ASSERT_TRUE(pBad->m_pRegExpList);
    EXPECT_EQ(1u, pBad->m_pRegExpList->size());
    auto* pFar = dynamic_cast<CNTEventRule*>(m_pRules->Find("Far"));
    ASSERT_NE(nullptr, pFar);
    EXPECT_EQ(8, pFar->m_wEventType);
    for (const std::string& strSaid : {
             "Unable to parse regular expression ([unclosed) for Rule " + strBad +
                 ": unmatched []; the rule matches without its \"RegExp0\"",
             "Rule " + strBad + ": \"Regular Expression\" (beside) is not used: the rule's \"RegExp<n>\" patterns "
                                "are used instead",
             "Unable to parse regular expression ((open) for Rule " + strSingle +
                 ": unmatched (); the rule matches without its \"Regular Expression\"",
             "Rule " + strFar + ": \"Event Log ID\" 70000 is outside 0 to 65535, where a record's id lies: the rule "
                                "never fires",
             "Rule " + strFar + ": \"Event Log Category\" -2 is outside 0 to 65535, where a record's category lies: "
                                "the rule never fires",
             "Rule " + strFar + ": \"Event Log Type\" 65544 is outside 0 to 65535; its low 16 bits, 8, are used"}) {
        EXPECT_TRUE(m_HostLog.Contains(strSaid)) << strSaid;
    }
}
