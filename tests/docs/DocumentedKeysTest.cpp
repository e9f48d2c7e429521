// The policy keys the documentation lists are the ones the sensor reads:
// a policy that sets every documented key is loaded by the real sensor,
// which notes every value its readers ask for; each documented key must be
// among them, of the kind and with the default the documentation gives,
// and each key read in a documented section must be documented.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Common/PolicyKeyAudit.h"
#include "Plugin/SensorTestHost.h"
#include "docs/DocsTables.h"
#include "platform/SettingsText.h"
#include "support/TestUtil.h"

namespace fs = std::filesystem;

namespace {

const std::string kFixture = std::string(HW_SOURCE_DIR) + "/tests/Plugin/data/documented";
const fs::path kDemo = fs::path(HW_SOURCE_DIR) / "examples/demo";

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

}  // namespace

TEST_F(DocumentedKeysTest, EveryDocumentedKeyIsReadAndEveryKeyReadIsDocumented) {
    const std::vector<hwdocs::DocumentedKey> documented = hwdocs::ReadKeyTables();
    ASSERT_GT(documented.size(), 50u) << "the key tables of docs/ were not found";
    LoadFixture();

    std::vector<hwdocs::KeyRead> reads;
    for (const PolicyKeyAudit::ValueRead& read : m_reads) {
        reads.push_back({read.m_strPath, read.m_strName, read.m_nWanted, read.m_strDefault});
    }
    hwdocs::ExpectDocumentedAsRead(documented, reads, m_listings);
}

// Every type letter a refused value line is told it lacks is one the
// policy page lists, so the error sends the reader to a letter they can
// look up.
TEST(PolicyFormatDocsTest, EveryTypeLetterTheFormatErrorNamesIsListedOnThePolicyPage) {
    plat::SettingsTextProblem problem;
    ASSERT_FALSE(plat::CheckSettingsText("[\\];\nPort\t=Q\t23;\n", plat::SettingsFirstLine::kHeaderUnlessSection,
                                         problem));
    const std::string strLead = "has no type letter ";
    const size_t nAt = problem.m_strReason.find(strLead);
    ASSERT_NE(std::string::npos, nAt) << problem.m_strReason;
    std::string strPage;
    for (char c : hwtest::ReadWholeFile(std::string(HW_SOURCE_DIR) + "/docs/policy.md")) {
        strPage += c == '\n' ? ' ' : c;
    }
    size_t nLetters = 0;
    for (char c : problem.m_strReason.substr(nAt + strLead.size())) {
        if (c >= 'A' && c <= 'Z') {
            ++nLetters;
            EXPECT_NE(std::string::npos, strPage.find(std::string("`") + c + "` ")) << c << ": "
                                                                                   << problem.m_strReason;
        }
    }
    EXPECT_EQ(4u, nLetters) << problem.m_strReason;
    // A pointer's line is taken by the check and sets nothing.
    EXPECT_TRUE(plat::CheckSettingsText("[\\];\nHeld\t=P\t0x5555;\n", plat::SettingsFirstLine::kHeaderUnlessSection,
                                        problem))
        << problem.m_strReason;
}
