// The process's own outputs, known by the file itself: through renames and
// a new file at the path, until the file is removed, within a bound.

#include "platform/OwnOutputs.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/Files.h"
#include "support/TestUtil.h"

namespace {

class OwnOutputsTest : public ::testing::Test {
protected:
    // Opens (making it) the file `strName` as the host opens an output.
    int OpenOutput(const std::string& strName, const char* pszWhat) {
        const int fd = ::open(m_Dir.File(strName).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        EXPECT_GE(fd, 0) << strName;
        m_Table.Opened(fd, pszWhat);
        return fd;
    }
    // Whether the table holds the file `strName` is now, and as what.
    bool Holds(const std::string& strName, plat::OwnOutputs::Held* pHeld = nullptr) {
        plat::FileStatus status;
        return plat::GetFileStatus(m_Dir.File(strName).c_str(), status) &&
               m_Table.Holds(status.m_qwIdentity, status.m_llBornNs, pHeld);
    }

    plat::OwnOutputs& m_Table = plat::OwnOutputs::Instance();
    hwtest::ScratchDirectory m_Dir;
};

}  // namespace

TEST_F(OwnOutputsTest, OutputIsKnownUnderEveryNameItIsGivenUntilItIsRemoved) {
    const uint64_t qwBefore = m_Table.Generation();
    const int fdFirst = OpenOutput("alerts.xml", "alert");
    EXPECT_NE(m_Table.Generation(), qwBefore);
    plat::OwnOutputs::Held held;
    ASSERT_TRUE(Holds("alerts.xml", &held));
    EXPECT_STREQ(held.m_szWhat, "alert");
    EXPECT_TRUE(held.m_bCurrent);

    // Rotated: renamed, and a new file opened at the path.
    ASSERT_EQ(0, ::rename(m_Dir.File("alerts.xml").c_str(), m_Dir.File("kept.log").c_str()));
    ASSERT_EQ(0, ::link(m_Dir.File("kept.log").c_str(), m_Dir.File("second.log").c_str()));
    const int fdSecond = OpenOutput("alerts.xml", "alert");
    ASSERT_TRUE(Holds("kept.log", &held));
    EXPECT_FALSE(held.m_bCurrent);
    EXPECT_TRUE(Holds("second.log"));
    ASSERT_TRUE(Holds("alerts.xml", &held));
    EXPECT_TRUE(held.m_bCurrent);
    hwtest::WriteWholeFile(m_Dir.File("other.log"), "");
    EXPECT_FALSE(Holds("other.log"));

    // Removed under every name, it is let go at the next look.
    ::close(fdFirst);
    const size_t nHeld = m_Table.HeldCount();
    ASSERT_EQ(0, ::unlink(m_Dir.File("kept.log").c_str()));
    m_Table.LetGoRemoved(true);
    EXPECT_EQ(m_Table.HeldCount(), nHeld);
    ASSERT_EQ(0, ::unlink(m_Dir.File("second.log").c_str()));
    m_Table.LetGoRemoved(true);
    EXPECT_EQ(m_Table.HeldCount(), nHeld - 1);
    ::close(fdSecond);
}

TEST_F(OwnOutputsTest, OnlyRegularFilesAreHeld) {
    int pipeFds[2] = {-1, -1};
    ASSERT_EQ(0, ::pipe(pipeFds));
    const size_t nHeld = m_Table.HeldCount();
    const uint64_t qwGeneration = m_Table.Generation();
    m_Table.Opened(pipeFds[1], "standard output");
    EXPECT_EQ(m_Table.HeldCount(), nHeld);
    EXPECT_EQ(m_Table.Generation(), qwGeneration);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

// Past the bound, the oldest output no longer written is let go, counted,
// and no longer known by the file; the output written now always is.
TEST_F(OwnOutputsTest, PastItsBoundTheOldestEarlierOutputIsLetGoAndCounted) {
    const uint64_t qwLetGo = m_Table.LetGoAtBound();
    int fd = -1;
    for (size_t n = 0; n <= plat::OwnOutputs::kMaxFiles; ++n) {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = OpenOutput("log." + std::to_string(n), "bound test");
    }
    EXPECT_LE(m_Table.HeldCount(), plat::OwnOutputs::kMaxFiles);
    EXPECT_GT(m_Table.LetGoAtBound(), qwLetGo);
    EXPECT_FALSE(Holds("log.0"));
    plat::OwnOutputs::Held held;
    ASSERT_TRUE(Holds("log." + std::to_string(plat::OwnOutputs::kMaxFiles), &held));
    EXPECT_TRUE(held.m_bCurrent);
    ::close(fd);
}
