// The policy keys the documentation lists are the ones the sensor reads:
// a policy that sets every documented key is loaded by the real sensor,
// which notes every value its readers ask for; each documented key must be
// among them, of the kind and with the default the documentation gives,
// and each key read in a documented section must be documented.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "Common/PolicyKeyAudit.h"
#include "Plugin/SensorTestHost.h"
#include "docs/DocsTables.h"
#include "qorCSFLib/PolicyReadObserver.h"

namespace fs = std::filesystem;

namespace {

const std::string kFixture = std::string(HW_SOURCE_DIR) + "/tests/Plugin/data/documented";
const fs::path kDemo = fs::path(HW_SOURCE_DIR) / "examples/demo";

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

class DocumentedKeysTest : public SensorTestHost {
protected:
    void LoadFixture() {
        for (const auto& entry : fs::recursive_directory_iterator(kFixture)) {
            const fs::path target = m_dir.Path() / fs::relative(entry.path(), kFixture);
            if (entry.is_directory()) {
                fs::create_directories(target);
                continue;
            }
            std::string strText = hwtest::ReadWholeFile(entry.path().string());
            for (size_t nAt = strText.find("@ROOT@"); nAt != std::string::npos;
                 nAt = strText.find("@ROOT@", nAt)) {
                strText.replace(nAt, 6, m_dir.Path());
            }
            hwtest::WriteWholeFile(target.string(), strText);
        }
        // The network engine watches the packet library's replay adapter, as
        // in the demo, so that its adapter engines read their settings too;
        // it works in the sensor root, as hwhost does.
        fs::copy(kDemo / "Duskwall", m_dir.Path() / fs::path("Duskwall"),
                 fs::copy_options::recursive);
        fs::create_directories(m_dir.File("replay"));
        ASSERT_EQ(0, ::chdir(m_dir.Path().c_str()));
        ASSERT_EQ(0u, m_pSensor->Oninit(nullptr));
        m_reads = PolicyKeyAudit::LastLoad();
        m_listings = PolicyKeyAudit::LastLoadListings();
        ASSERT_FALSE(m_reads.empty());
    }

    std::vector<PolicyKeyAudit::ValueRead> m_reads;
    std::vector<std::string> m_listings;
    hwtest::EnvironmentOverride m_replay{"HW_PACKET_REPLAY",
                                         (kDemo / "captures/network-attacks.pcap").c_str()};
    hwtest::EnvironmentOverride m_monitor{"HW_PACKET_MONITOR", "\\Device\\replay0"};
    hwtest::EnvironmentOverride m_replayOut{"HW_PACKET_REPLAY_OUT",
                                            (m_dir.Path() + "/replay").c_str()};
};

bool FitsAnyPath(const hwdocs::DocumentedKey& key, const std::string& strPath) {
    for (const std::string& strPattern : key.m_paths) {
        if (hwdocs::PathFits(strPattern, strPath)) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST_F(DocumentedKeysTest, EveryDocumentedKeyIsReadAndEveryKeyReadIsDocumented) {
    const std::vector<hwdocs::DocumentedKey> documented = hwdocs::ReadKeyTables();
    ASSERT_GT(documented.size(), 50u) << "the key tables of docs/ were not found";
    LoadFixture();

    for (const hwdocs::DocumentedKey& key : documented) {
        SCOPED_TRACE(key.m_strFile + ": " + key.m_paths.front() + " \"" + key.m_strName + "\"");
        if (key.m_strName == "*") {
            bool bListed = false;
            for (const std::string& strPath : m_listings) {
                bListed = bListed || FitsAnyPath(key, strPath);
            }
            EXPECT_TRUE(bListed) << "no reader lists the values of this key";
            continue;
        }
        std::set<std::string> kinds;
        std::set<std::string> defaults;
        for (const PolicyKeyAudit::ValueRead& read : m_reads) {
            if (FitsAnyPath(key, read.m_strPath) &&
                hwdocs::NameFits(key.m_strName, read.m_strName)) {
                kinds.insert(KindWord(read.m_nWanted));
                defaults.insert(read.m_strDefault);
            }
        }
        if (kinds.empty()) {
            ADD_FAILURE() << "documented, but no reader asks for it";
            continue;
        }
        EXPECT_EQ(1u, kinds.count(key.m_strKind)) << "read as " << *kinds.begin();
        if (key.m_bDefaultGiven) {
            EXPECT_EQ(1u, defaults.count(key.m_strDefault))
                << "documented default \"" << key.m_strDefault << "\", read with \""
                << *defaults.begin() << "\"";
        }
    }

    for (const PolicyKeyAudit::ValueRead& read : m_reads) {
        bool bDocumented = false;
        for (const hwdocs::DocumentedKey& key : documented) {
            bDocumented = bDocumented || (FitsAnyPath(key, read.m_strPath) &&
                                          hwdocs::NameFits(key.m_strName, read.m_strName));
        }
        EXPECT_TRUE(bDocumented) << "read but not documented: " << read.m_strPath << " \""
                                 << read.m_strName << "\" (" << KindWord(read.m_nWanted)
                                 << ", default \"" << read.m_strDefault << "\")";
    }
}
