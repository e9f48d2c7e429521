// The common-policy keys the documentation lists are the ones hwhost reads:
// a common policy that sets every documented key is read by the host's
// response definitions through a container that notes each read.  The exit
// codes of `hwhost push` in docs/ are the ones its usage text gives, and so
// are the command lines the README and docs/running.md show and the options
// running.md lists.

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "HwHostOptions.h"
#include "ResponseDefinitions.h"
#include "docs/DocsTables.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/PluginPolicyContainer.h"
#include "support/TestUtil.h"

namespace {

class ReadLog final : public IPolicyReadObserver {
public:
    void OnValueRead(const std::string& strPath, const std::string& strName, int nWanted,
                     const std::string& strDefault, const PolicyStoredValue&) override {
        m_reads.push_back({strPath, strName, nWanted, strDefault});
    }
    void OnValuesListed(const std::string&) override {}
    void OnSubKeysListed(const std::string&) override {}

    std::vector<hwdocs::KeyRead> m_reads;
};

}  // namespace

TEST(DocumentedHostKeysTest, EveryDocumentedCommonPolicyKeyIsReadByTheHost) {
    const std::vector<hwdocs::DocumentedKey> documented = hwdocs::ReadKeyTables("host-keys");
    ASSERT_GE(documented.size(), 10u) << "the common-policy tables of docs/ were not found";
    auto* pContainer = dynamic_cast<PluginPolicyContainer*>(CreatePluginPolicyContainer());
    ASSERT_NE(nullptr, pContainer);
    const std::string strFile = std::string(HW_SOURCE_DIR) + "/tests/docs/data/common.policy";
    ASSERT_EQ(0, pContainer->LoadFile(strFile.c_str(), "", "\\", true));
    ReadLog log;
    pContainer->SetReadObserver(&log);
    ResponseDefinitions definitions;
    definitions.Load(*pContainer);
    ResponseDefinitions::LoadBlockResponses(*pContainer);
    pContainer->SetReadObserver(nullptr);
    pContainer->Release();

    hwdocs::ExpectDocumentedAsRead(documented, log.m_reads, {});
}

namespace {

// The first cells of the rows of the table of docs/`strPage` whose header
// row begins with `strHeader`.
std::vector<std::string> FirstCells(const std::string& strPage, const std::string& strHeader) {
    std::vector<std::string> cells;
    std::istringstream doc(hwtest::ReadWholeFile(std::string(HW_SOURCE_DIR) + "/docs/" + strPage));
    bool bInTable = false;
    for (std::string line; std::getline(doc, line);) {
        if (line.rfind(strHeader, 0) == 0) {
            bInTable = true;
        } else if (bInTable && line.rfind("| ", 0) == 0) {
            cells.push_back(line.substr(2, line.find('|', 2) - 2));
        } else if (bInTable && line.rfind("|--", 0) != 0) {
            break;
        }
    }
    return cells;
}

}  // namespace

TEST(DocumentedHostKeysTest, PushExitCodesAreThoseOfTheUsageText) {
    std::set<int> documented;
    for (const std::string& strCell : FirstCells("policy.md", "| exit code |")) {
        documented.insert(std::atoi(strCell.c_str()));
    }
    // "Exit status: 0 applied; 4 applied with ...; 1 ...".
    std::string usage = HwHostUsage();
    for (char& c : usage) {
        c = c == '\n' ? ' ' : c;
    }
    const size_t at = usage.find("Exit status:");
    ASSERT_NE(std::string::npos, at) << usage;
    std::set<int> given;
    std::istringstream statuses(usage.substr(at + 12, usage.find('.', at) - at - 12));
    for (std::string status; std::getline(statuses, status, ';');) {
        given.insert(std::atoi(status.c_str()));
    }
    EXPECT_EQ((std::set<int>{0, 1, 2, 3, 4, 5}), given) << usage;
    EXPECT_EQ(given, documented);
}

namespace {

// The text with every run of blanks and line ends made one blank.
std::string OneLine(const std::string& strText) {
    std::string strOut;
    for (const char c : strText) {
        const bool bBlank = c == ' ' || c == '\n';
        if (!bBlank) {
            strOut += c;
        } else if (!strOut.empty() && strOut.back() != ' ') {
            strOut += ' ';
        }
    }
    while (!strOut.empty() && strOut.back() == ' ') {
        strOut.pop_back();
    }
    return strOut;
}

// The options (`--name`) a text names, each once.
std::set<std::string> OptionsNamed(const std::string& strText) {
    std::set<std::string> options;
    const std::regex option("--[a-z][a-z-]*");
    for (auto it = std::sregex_iterator(strText.begin(), strText.end(), option);
         it != std::sregex_iterator(); ++it) {
        options.insert(it->str());
    }
    return options;
}

}  // namespace

TEST(DocumentedHostKeysTest, ShownCommandLinesAndOptionsAreThoseOfTheUsageText) {
    // "usage: hwhost run ...\n       hwhost push ... FILE\n": the two command
    // lines, before the text that explains them.
    const std::string usage = HwHostUsage();
    const size_t nEnd = usage.find("\nrun:");
    ASSERT_NE(std::string::npos, nEnd) << usage;
    const std::string strSynopsis = OneLine(usage.substr(std::string("usage: ").size(), nEnd - 7));

    size_t nShown = 0;
    for (const hwdocs::CodeBlock& block : hwdocs::ReadCodeBlocks()) {
        if (block.m_strText.rfind("hwhost run --root", 0) == 0) {
            ++nShown;
            EXPECT_EQ(strSynopsis, OneLine(block.m_strText)) << block.m_strFile;
        }
    }
    EXPECT_GE(nShown, 2u) << "README.md and docs/running.md each show hwhost's command lines";

    // The option table of docs/running.md (of `hwhost run`): its first column.
    std::set<std::string> tabled;
    for (const std::string& strCell : FirstCells("running.md", "| option |")) {
        const std::set<std::string> named = OptionsNamed(strCell);
        tabled.insert(named.begin(), named.end());
    }
    // The table is of `hwhost run`; push's own `--wait` is policy.md's.
    EXPECT_EQ(OptionsNamed(strSynopsis.substr(0, strSynopsis.find(" hwhost push"))), tabled);
}
