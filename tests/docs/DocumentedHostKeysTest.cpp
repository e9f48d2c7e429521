// The common-policy keys the documentation lists are the ones hwhost reads:
// a common policy that sets every documented key is read by the host's
// response definitions through a container that notes each read.  The exit
// codes of `hwhost push` in docs/ are the ones its usage text gives.

#include <gtest/gtest.h>

#include <cstdlib>
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

TEST(DocumentedHostKeysTest, PushExitCodesAreThoseOfTheUsageText) {
    // The table under "| exit code | meaning |" of docs/policy.md.
    std::set<int> documented;
    std::istringstream doc(hwtest::ReadWholeFile(std::string(HW_SOURCE_DIR) + "/docs/policy.md"));
    bool bInTable = false;
    for (std::string line; std::getline(doc, line);) {
        if (line.rfind("| exit code |", 0) == 0) {
            bInTable = true;
        } else if (bInTable && line.rfind("| ", 0) == 0) {
            documented.insert(std::atoi(line.c_str() + 2));
        } else if (bInTable && line.rfind("|--", 0) != 0) {
            break;
        }
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
