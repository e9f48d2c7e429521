// The process's own outputs, known by the file itself for the whole run:
// through renames into any name and folder and a new file at the path,
// with no descriptor held where the file system says when a file was made,
// within a bound.

#include "platform/OwnOutputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Files.h"
#include "support/TestUtil.h"

namespace {

class OwnOutputsTest : public ::testing::Test {
protected:
    // Files an earlier test named may have given their inodes to this
    // test's files.
    void SetUp() override { m_Table.ForgetAllForTest(); }
    void TearDown() override {
        m_Table.SetBoundsForTest(0, 0);
        m_Table.SetBirthUnknownForTest(false);
    }
    // Opens (making it) the file `strName` as the host opens an output.
    int OpenOutput(const std::string& strName, const char* pszWhat) {
        const int fd = ::open(m_Dir.File(strName).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        EXPECT_GE(fd, 0) << strName;
        m_Table.Opened(fd, pszWhat);
        return fd;
    }
    // Opens the output at `strName` anew, as a rotation's SIGHUP does.
    void Rotate(int& fd, const std::string& strName, const char* pszWhat) {
        ::close(fd);
        fd = OpenOutput(strName, pszWhat);
    }
    // Whether the table holds the file `strName` is now, and as what.
    bool Holds(const std::string& strName, plat::OwnOutputs::Held* pHeld = nullptr) {
        plat::FileStatus status;
        return plat::GetFileStatus(m_Dir.File(strName).c_str(), status) &&
               m_Table.Holds(status.m_qwIdentity, status.m_llBornNs, pHeld);
    }
    void Rename(const std::string& strFrom, const std::string& strTo) {
        ASSERT_EQ(0, ::rename(m_Dir.File(strFrom).c_str(), m_Dir.File(strTo).c_str())) << strFrom;
    }
    static size_t OpenDescriptors() {
        size_t nOpen = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            ++nOpen;
        }
        return nOpen;
    }
    // Makes files until one is given the inode `old` had; its name, or
    // empty when none is at once.
    std::string FileGivenTheInodeOf(const struct stat& old) {
        for (int n = 0; n < 64; ++n) {
            const std::string strName = "spare" + std::to_string(n);
            std::ofstream(m_Dir.File(strName)).flush();
            struct stat made {};
            if (::stat(m_Dir.File(strName).c_str(), &made) == 0 && made.st_ino == old.st_ino &&
                made.st_dev == old.st_dev) {
                return strName;
            }
        }
        return std::string();
    }

    plat::OwnOutputs& m_Table = plat::OwnOutputs::Instance();
    hwtest::ScratchDirectory m_Dir;
};

}  // namespace

// Renamed to a name that is no rotation of its own, moved into another
// folder, given a second name: the file is still known, as an earlier
// output once a new one is opened at the path, and nothing holds it open.
// Once removed, a file later given its inode is another file.
TEST_F(OwnOutputsTest, OutputIsKnownUnderEveryNameAndFolderItIsGivenAndNotAfterItsEnd) {
    const uint64_t qwBefore = m_Table.Generation();
    const size_t nDescriptors = m_Table.DescriptorsHeld();
    int fd = OpenOutput("alerts.xml", "alert");
    EXPECT_NE(m_Table.Generation(), qwBefore);
    plat::OwnOutputs::Held held;
    ASSERT_TRUE(Holds("alerts.xml", &held));
    EXPECT_STREQ(held.m_szWhat, "alert");
    EXPECT_TRUE(held.m_bCurrent);

    ASSERT_EQ(0, ::mkdir(m_Dir.File("old").c_str(), 0755));
    Rename("alerts.xml", "kept.log");
    Rotate(fd, "alerts.xml", "alert");
    Rename("kept.log", "old/anything");
    ASSERT_EQ(0, ::link(m_Dir.File("old/anything").c_str(), m_Dir.File("second.log").c_str()));
    ASSERT_TRUE(Holds("old/anything", &held));
    EXPECT_STREQ(held.m_szWhat, "alert");
    EXPECT_FALSE(held.m_bCurrent);
    EXPECT_TRUE(Holds("second.log"));
    ASSERT_TRUE(Holds("alerts.xml", &held));
    EXPECT_TRUE(held.m_bCurrent);
    hwtest::WriteWholeFile(m_Dir.File("other.log"), "");
    EXPECT_FALSE(Holds("other.log"));

    plat::FileStatus status;
    ASSERT_TRUE(plat::GetFileStatus(m_Dir.File("second.log").c_str(), status));
    if (status.m_llBornNs == 0) {
        GTEST_SKIP() << "this file system does not say when a file was made";
    }
    EXPECT_EQ(m_Table.DescriptorsHeld(), nDescriptors);
    struct stat old {};
    ASSERT_EQ(0, ::stat(m_Dir.File("second.log").c_str(), &old));
    ASSERT_EQ(0, ::unlink(m_Dir.File("second.log").c_str()));
    ASSERT_EQ(0, ::unlink(m_Dir.File("old/anything").c_str()));
    const std::string strReused = FileGivenTheInodeOf(old);
    if (strReused.empty()) {
        ::close(fd);
        GTEST_SKIP() << "this file system gives a removed file's inode to no new file at once";
    }
    EXPECT_FALSE(Holds(strReused));
    ::close(fd);
}

// Far more rotations than any descriptor budget would allow, each output
// renamed to a name of its own in one of two folders: every one stays
// known, and the table opens no descriptor for them.
TEST_F(OwnOutputsTest, HundredsOfRotatedOutputsStayKnownWithoutADescriptorEach) {
    ASSERT_EQ(0, ::mkdir(m_Dir.File("old").c_str(), 0755));
    const size_t nOpenBefore = OpenDescriptors();
    const uint64_t qwLetGo = m_Table.LetGoAtBound();
    int fdAlerts = OpenOutput("alerts.xml", "alert");
    int fdLog = OpenOutput("hw.log", "log");
    constexpr int kRotations = 300;
    for (int n = 0; n < kRotations; ++n) {
        Rename("alerts.xml", "old/a" + std::to_string(n));
        Rename("hw.log", "l" + std::to_string(n) + ".txt");
        Rotate(fdAlerts, "alerts.xml", "alert");
        Rotate(fdLog, "hw.log", "log");
    }
    plat::FileStatus status;
    ASSERT_TRUE(plat::GetFileStatus(m_Dir.File("hw.log").c_str(), status));
    if (status.m_llBornNs != 0) {
        EXPECT_EQ(OpenDescriptors(), nOpenBefore + 2);
    }
    for (int n = 0; n < kRotations; ++n) {
        plat::OwnOutputs::Held held;
        ASSERT_TRUE(Holds("old/a" + std::to_string(n), &held)) << n;
        EXPECT_STREQ(held.m_szWhat, "alert");
        EXPECT_FALSE(held.m_bCurrent);
        ASSERT_TRUE(Holds("l" + std::to_string(n) + ".txt", &held)) << n;
        EXPECT_STREQ(held.m_szWhat, "log");
    }
    EXPECT_EQ(m_Table.LetGoAtBound(), qwLetGo);
    ::close(fdAlerts);
    ::close(fdLog);
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
    constexpr size_t nBound = 16;
    m_Table.SetBoundsForTest(nBound, 0);
    const uint64_t qwLetGo = m_Table.LetGoAtBound();
    int fd = OpenOutput("log.0", "bound test");
    for (size_t n = 1; n <= 20; ++n) {
        Rotate(fd, "log." + std::to_string(n), "bound test");
    }
    EXPECT_EQ(m_Table.HeldCount(), nBound);
    EXPECT_EQ(m_Table.LetGoAtBound(), qwLetGo + 5);
    EXPECT_FALSE(Holds("log.0"));
    EXPECT_FALSE(Holds("log.4"));
    EXPECT_TRUE(Holds("log.5"));
    plat::OwnOutputs::Held held;
    ASSERT_TRUE(Holds("log.20", &held));
    EXPECT_TRUE(held.m_bCurrent);
    ::close(fd);
}

// Where the file system does not say when a file was made, each output is
// held open (reading nothing) so that its inode goes to no other file, and
// let go once removed; past the descriptors' bound the oldest keeps its
// identity alone, still known, and that is counted.
TEST_F(OwnOutputsTest, WithoutBirthTimesOutputsAreHeldOpenWithinABoundAndKnownByInodePastIt) {
    m_Table.SetBirthUnknownForTest(true);
    const size_t nDescriptors = m_Table.DescriptorsHeld();
    m_Table.SetBoundsForTest(0, nDescriptors + 4);
    const uint64_t qwAlone = m_Table.HeldByIdentityAlone();
    int fd = OpenOutput("out.0", "no birth");
    for (int n = 1; n < 6; ++n) {
        Rotate(fd, "out." + std::to_string(n), "no birth");
    }
    EXPECT_EQ(m_Table.DescriptorsHeld(), nDescriptors + 4);
    EXPECT_EQ(m_Table.HeldByIdentityAlone(), qwAlone + 2);
    for (int n = 0; n < 6; ++n) {
        plat::FileStatus status;
        ASSERT_TRUE(plat::GetFileStatus(m_Dir.File("out." + std::to_string(n)).c_str(), status));
        EXPECT_TRUE(m_Table.Holds(status.m_qwIdentity, 0, nullptr)) << n;
    }
    const size_t nHeld = m_Table.HeldCount();
    ASSERT_EQ(0, ::unlink(m_Dir.File("out.4").c_str()));
    m_Table.LetGoRemoved(true);
    EXPECT_EQ(m_Table.HeldCount(), nHeld - 1);
    EXPECT_EQ(m_Table.DescriptorsHeld(), nDescriptors + 3);
    ::close(fd);
}

// Standard output and standard error sent to one file: the file is named
// by the output that took it first, for as long as that one writes it, and
// by the later one once the first has moved on to another file.
TEST_F(OwnOutputsTest, FileThatIsTwoOutputsAtOnceKeepsTheFirstName) {
    int fdOut = OpenOutput("console.log", "standard output");
    const int fdErr = ::open(m_Dir.File("console.log").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fdErr, 0);
    m_Table.Opened(fdErr, "standard error");
    plat::OwnOutputs::Held held;
    ASSERT_TRUE(Holds("console.log", &held));
    EXPECT_STREQ("standard output", held.m_szWhat);
    EXPECT_TRUE(held.m_bCurrent);

    Rename("console.log", "console.log.1");
    Rotate(fdOut, "console.log", "standard output");
    m_Table.Opened(fdErr, "standard error");
    ASSERT_TRUE(Holds("console.log.1", &held));
    EXPECT_STREQ("standard error", held.m_szWhat);
    ::close(fdErr);
    ::close(fdOut);
}
