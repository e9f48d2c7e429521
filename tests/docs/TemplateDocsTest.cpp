// The templates the demo, the test policies and the docs' policy examples
// give are ones their engines resolve as written: read by the readers of
// the three engines that take templates, none of them is said at the load.
// A check that said a valid template would make every push of such a
// policy exit 4.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Common/FakeSensorCore.h"
#include "Common/Rule.h"
#include "Common/RuleContainer.h"
#include "NTEvents/InitializeNTEventRules.h"
#include "NTSyslog/InitializeNTSyslogRules.h"
#include "docs/DocsTables.h"
#include "hostwarden/IPolicyContainer.h"
#include "support/ConsoleCapture.h"
#include "support/TestUtil.h"

namespace fs = std::filesystem;

namespace {

using hwdocs::kSource;

// Every policy file of examples/ and tests/ (the fuzzers' corpus, damaged
// on purpose, aside), and every policy example of the docs as a file.
std::vector<std::pair<std::string, std::string>> Policies() {
    std::vector<std::pair<std::string, std::string>> policies;
    for (const char* pszFolder : {"examples", "tests"}) {
        for (const auto& entry : fs::recursive_directory_iterator(kSource / pszFolder)) {
            const std::string strPath = entry.path().string();
            if (entry.is_regular_file() && entry.path().extension() == ".policy" &&
                strPath.find("/tests/fuzz/") == std::string::npos) {
                policies.emplace_back(strPath, hwtest::ReadWholeFile(strPath));
            }
        }
    }
    for (const hwdocs::CodeBlock& block : hwdocs::ReadCodeBlocks()) {
        if (block.m_strText.find("[\\Advanced\\") != std::string::npos) {
            policies.emplace_back(block.m_strFile + ":\n" + block.m_strText,
                                  "Docs example\r\n" + hwdocs::AsPolicyLines(block.m_strText));
        }
    }
    return policies;
}

}  // namespace

TEST(TemplateDocs, DemoTestAndDocsPoliciesHaveNoTemplateTheLoadSays) {
    FakeSensorCore sensor;
    ScopedHostLog hostLog;
    hwtest::ConsoleCapture console;
    hwtest::ScratchDirectory dir;
    size_t nPairs = 0;
    size_t nExamples = 0;
    for (const auto& [strName, strText] : Policies()) {
        SCOPED_TRACE(strName);
        hwtest::WriteWholeFile(dir.File("read.policy"), strText);
        PolicyPtr pPolicy(CreatePluginPolicyContainer());
        if (pPolicy->LoadFile(dir.File("read.policy").c_str(), "", "\\", true) != 0) {
            continue;
        }
        hostLog.m_Services.Forget();
        CInitializeNTEventRules eventReader;
        CInitializeUserNTEventRules userEventReader;
        CInitializeNTSyslogRules syslogReader;
        CInitializeUserNTSyslogRules userSyslogReader;
        CInitializeTextLogRules textReader;
        CInitializeUserTextLogRules userTextReader;
        for (InitializeRules* pReader : std::initializer_list<InitializeRules*>{
                 &eventReader, &userEventReader, &syslogReader, &userSyslogReader, &textReader, &userTextReader}) {
            RuleContainer rules;
            pReader->ReadRules(&rules, pPolicy.get());
            for (Rule* pRule : rules) {
                nPairs += pRule->GetInfoPairs().size();
            }
        }
        for (const std::string& strLine : hostLog.m_Services.Texts()) {
            EXPECT_EQ(std::string::npos, strLine.find(": information pair \"")) << strLine;
        }
        nExamples += strName.find(":\n") != std::string::npos ? 1 : 0;
    }
    // The demo's and the docs' pairs were read: the check looked at them.
    EXPECT_GE(nExamples, 8u);
    EXPECT_GE(nPairs, 40u);
}
