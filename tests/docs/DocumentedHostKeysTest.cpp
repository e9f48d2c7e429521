// The common-policy keys the documentation lists are the ones hwhost reads:
// a common policy that sets every documented key is read by the host's
// response definitions through a container that notes each read.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ResponseDefinitions.h"
#include "docs/DocsTables.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/PluginPolicyContainer.h"

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
