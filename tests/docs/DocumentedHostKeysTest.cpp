// The common-policy keys the documentation lists are the ones hwhost reads:
// a common policy that sets every documented key is read by the host's
// response definitions through a container that notes each read.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "ResponseDefinitions.h"
#include "docs/DocsTables.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/PluginPolicyContainer.h"

namespace {

struct Read {
    std::string m_strPath;
    std::string m_strName;
    int m_nWanted;
    std::string m_strDefault;
};

class ReadLog final : public IPolicyReadObserver {
public:
    void OnValueRead(const std::string& strPath, const std::string& strName, int nWanted,
                     const std::string& strDefault, const PolicyStoredValue&) override {
        m_reads.push_back(Read{strPath, strName, nWanted, strDefault});
    }
    void OnValuesListed(const std::string&) override {}
    void OnSubKeysListed(const std::string&) override {}

    std::vector<Read> m_reads;
};

const char* KindWord(int nKind) {
    switch (nKind) {
        case kPolicyKindText:
            return "text";
        case kPolicyKindNumber:
            return "number";
        case kPolicyKindFlag:
            return "flag";
        default:
            return "test";
    }
}

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

    for (const hwdocs::DocumentedKey& key : documented) {
        SCOPED_TRACE(key.m_strFile + ": " + key.m_paths.front() + " \"" + key.m_strName + "\"");
        std::set<std::string> kinds;
        std::set<std::string> defaults;
        for (const Read& read : log.m_reads) {
            for (const std::string& strPattern : key.m_paths) {
                if (hwdocs::PathFits(strPattern, read.m_strPath) &&
                    read.m_strName == key.m_strName) {
                    kinds.insert(KindWord(read.m_nWanted));
                    defaults.insert(read.m_strDefault);
                }
            }
        }
        if (kinds.empty()) {
            ADD_FAILURE() << "documented, but the host does not read it";
            continue;
        }
        EXPECT_EQ(1u, kinds.count(key.m_strKind)) << "read as " << *kinds.begin();
        if (key.m_bDefaultGiven) {
            EXPECT_EQ(1u, defaults.count(key.m_strDefault))
                << "read with \"" << *defaults.begin() << "\"";
        }
    }
    for (const Read& read : log.m_reads) {
        bool bDocumented = false;
        for (const hwdocs::DocumentedKey& key : documented) {
            for (const std::string& strPattern : key.m_paths) {
                bDocumented = bDocumented || (hwdocs::PathFits(strPattern, read.m_strPath) &&
                                              key.m_strName == read.m_strName);
            }
        }
        EXPECT_TRUE(bDocumented) << "read but not documented: " << read.m_strPath << " \""
                                 << read.m_strName << "\"";
    }
}
