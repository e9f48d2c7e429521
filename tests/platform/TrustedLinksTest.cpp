// Symbolic links where other accounts can write: a file is opened to read
// through a link only when the link, and every link on the way, belongs to
// root or to this process's account, and the file opened is the file that
// was looked at, however the name changes meanwhile.

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "support/TestUtil.h"

namespace {

constexpr uid_t kNobody = 65534;

class TrustedLinksTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to give a link to another account";
        }
        hwtest::WriteWholeFile(m_Dir.File("app.log"), "public\n");
        ASSERT_EQ(0, ::mkdir(m_Dir.File("private").c_str(), 0700));
        hwtest::WriteWholeFile(m_Dir.File("private/shadow"), "secret\n");
        ASSERT_EQ(0, ::chmod(m_Dir.File("private/shadow").c_str(), 0600));
    }

    // Makes `strLink` a symbolic link to `strTarget` owned by `owner`; with
    // `strStaging`, the link is made there and then moved over `strLink` in
    // one step.
    static void Link(const std::string& strTarget, const std::string& strLink, uid_t owner,
                     const std::string& strStaging = std::string()) {
        const std::string& strMade = strStaging.empty() ? strLink : strStaging;
        ASSERT_EQ(0, ::symlink(strTarget.c_str(), strMade.c_str())) << strMade;
        ASSERT_EQ(0, ::lchown(strMade.c_str(), owner, owner)) << strMade;
        if (!strStaging.empty()) {
            ASSERT_EQ(0, ::rename(strStaging.c_str(), strLink.c_str()));
        }
    }

    // What the open reads, or "refused" with the last error in `dwError`.
    static std::string Read(const std::string& strPath, uint32_t& dwError,
                            plat::UntrustedLink* pUntrusted = nullptr) {
        dwError = 0;
        const plat::FileHandle file = plat::OpenRegularFileForReading(strPath.c_str(), pUntrusted);
        if (file == plat::kInvalidFile) {
            dwError = plat::GetLastError();
            return "refused";
        }
        char buffer[64] = {};
        size_t nDone = 0;
        EXPECT_TRUE(plat::ReadFromFile(file, buffer, sizeof buffer - 1, nDone));
        plat::CloseFile(file);
        return std::string(buffer, nDone);
    }

    hwtest::ScratchDirectory m_Dir;
};

}  // namespace

TEST_F(TrustedLinksTest, RootsLinksAreFollowedAndAnotherAccountsAreNotWhereverTheyStand) {
    // The operator's own links, a chain of them and a folder among them.
    Link("app.log", m_Dir.File("chain.log"), 0);
    Link(m_Dir.File("chain.log"), m_Dir.File("linked.log"), 0);
    Link(m_Dir.Path(), m_Dir.File("folder"), 0);
    uint32_t dwError = 0;
    EXPECT_EQ("public\n", Read(m_Dir.File("linked.log"), dwError));
    EXPECT_EQ("public\n", Read(m_Dir.File("folder/folder/linked.log"), dwError));

    // Another account's link is refused and named (as the walk met it),
    // wherever it stands: as the file, behind a link of root's, or as a
    // folder on the way; and whatever it leads to, even a file anyone may
    // read.
    Link(m_Dir.File("private/shadow"), m_Dir.File("evil.log"), kNobody);
    Link("evil.log", m_Dir.File("via-root.log"), 0);
    Link(m_Dir.File("private"), m_Dir.File("evil-folder"), kNobody);
    Link("app.log", m_Dir.File("harmless.log"), kNobody);
    const struct {
        const char* m_pszOpened;
        const char* m_pszLink;
    } kRefused[] = {{"evil.log", "evil.log"},
                    {"via-root.log", "evil.log"},
                    {"folder/evil-folder/shadow", "evil-folder"},
                    {"harmless.log", "harmless.log"}};
    for (const auto& refused : kRefused) {
        SCOPED_TRACE(refused.m_pszOpened);
        plat::UntrustedLink link;
        EXPECT_EQ("refused", Read(m_Dir.File(refused.m_pszOpened), dwError, &link));
        EXPECT_EQ(plat::kErrStoppedOnSymlink, dwError);
        EXPECT_EQ(m_Dir.File(refused.m_pszLink), link.m_strPath);
        EXPECT_EQ(kNobody, link.m_uOwner);
        EXPECT_EQ("nobody", link.m_strOwner);
    }

    // A follower of the name sees the link itself: neither a regular file
    // nor a directory, and an identity that stays with the link.
    plat::FileStatus status;
    ASSERT_TRUE(plat::GetFileStatus(m_Dir.File("via-root.log").c_str(), status));
    EXPECT_FALSE(status.m_bIsRegular || status.m_bIsDirectory);
    plat::FileStatus again;
    ASSERT_TRUE(plat::GetFileStatus(m_Dir.File("evil.log").c_str(), again));
    EXPECT_EQ(status.m_qwIdentity, again.m_qwIdentity);
    ASSERT_TRUE(plat::GetFileStatus(m_Dir.File("linked.log").c_str(), status));
    ASSERT_TRUE(plat::GetFileStatus(m_Dir.File("app.log").c_str(), again));
    EXPECT_TRUE(status.m_bIsRegular);
    EXPECT_EQ(again.m_qwIdentity, status.m_qwIdentity);

    // Nor is a folder listed through another account's link.
    std::vector<plat::DirectoryEntry> entries;
    EXPECT_FALSE(
        plat::ListDirectory(m_Dir.File("evil-folder").c_str(), entries, plat::Links::kTrustedOnly));
    EXPECT_EQ(plat::kErrStoppedOnSymlink, plat::GetLastError());
    ASSERT_TRUE(
        plat::ListDirectory(m_Dir.File("folder").c_str(), entries, plat::Links::kTrustedOnly));
    EXPECT_EQ(9u, entries.size());
}

// Between the look and the open the name is swapped: the open neither waits
// on the FIFO now there nor takes it for the file that was looked at.
TEST_F(TrustedLinksTest, LinkSwappedToAFifoIsRefusedWithoutWaiting) {
    const std::string strName = m_Dir.File("swapped.log");
    Link("app.log", strName, 0);
    uint32_t dwError = 0;
    EXPECT_EQ("public\n", Read(strName, dwError));
    ASSERT_EQ(0, ::mkfifo(m_Dir.File("pipe").c_str(), 0666));
    Link("pipe", strName, 0, m_Dir.File("staging"));

    auto opened = std::async(std::launch::async, [&] { return Read(strName, dwError); });
    if (opened.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // A writer lets the waiting open go, so the test ends.
        const int nWriter = ::open(m_Dir.File("pipe").c_str(), O_WRONLY | O_NONBLOCK);
        ADD_FAILURE() << "the open waits on the FIFO";
        opened.wait();
        ::close(nWriter);
        return;
    }
    EXPECT_EQ("refused", opened.get());
    EXPECT_EQ(plat::kErrBadFileType, dwError);
}

// Another account swaps its link in and out under a name the sensor opens
// over and over: every open either reads the file the operator's link
// names or is refused; none ever reads what the other account's link names.
TEST_F(TrustedLinksTest, LinkSwappedWhileTheNameIsOpenedNeverLeadsToWhatItNames) {
    const std::string strName = m_Dir.File("race.log");
    Link("app.log", strName, 0);
    std::atomic<bool> bDone{false};
    std::thread swapper([&] {
        for (int i = 0; !bDone.load(); ++i) {
            if (i % 2 == 0) {
                Link(m_Dir.File("private/shadow"), strName, kNobody, m_Dir.File("staging"));
            } else {
                Link("app.log", strName, 0, m_Dir.File("staging"));
            }
        }
    });
    int nRead = 0;
    int nRefused = 0;
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < tEnd || nRead == 0 || nRefused == 0) {
        uint32_t dwError = 0;
        const std::string strRead = Read(strName, dwError);
        if (strRead == "refused") {
            ASSERT_EQ(plat::kErrStoppedOnSymlink, dwError);
            ++nRefused;
        } else {
            ASSERT_EQ("public\n", strRead);
            ++nRead;
        }
        if (std::chrono::steady_clock::now() > tEnd + std::chrono::seconds(20)) {
            break;
        }
    }
    bDone = true;
    swapper.join();
    EXPECT_GT(nRead, 0);
    EXPECT_GT(nRefused, 0);
}
