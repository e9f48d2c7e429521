#include "platform/OwnFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/DurableFile.h"
#include "platform/LastError.h"
#include "support/TestUtil.h"

namespace {

// The account other accounts' names are given to (root can hand over what
// it makes); "nobody" on every Debian system.
constexpr uid_t kStranger = 65534;

class OwnFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to give names to another account";
        }
        hwtest::WriteWholeFile(m_target, "precious");
    }

    // A symbolic link at `path` to `target`, owned by `owner`.
    static void Link(const std::string& target, const std::string& path, uid_t owner) {
        ASSERT_EQ(0, ::symlink(target.c_str(), path.c_str()));
        ASSERT_EQ(0, ::lchown(path.c_str(), owner, static_cast<gid_t>(-1)));
    }

    // Opens as the writers of logs and state do; true when it opened.
    static bool Opens(const std::string& path, std::string& why,
                      int flags = O_WRONLY | O_CREAT | O_APPEND) {
        why.clear();
        const int fd = plat::OpenOwnFile(path, flags, 0644, &why);
        if (fd < 0) {
            EXPECT_EQ(plat::kErrAccessDenied, plat::GetLastError()) << why;
            return false;
        }
        EXPECT_EQ(4, ::write(fd, "line", 4));
        ::close(fd);
        return true;
    }

    hwtest::ScratchDirectory m_dir;
    hwtest::ScratchDirectory m_elsewhere;
    const std::string m_target = m_elsewhere.File("target");
};

}  // namespace

TEST_F(OwnFilesTest, LinksOfAnotherAccountAreNotFollowedAndTheirTargetsStayUntouched) {
    std::string why;
    // The file's own name.
    Link(m_target, m_dir.File("hwhost.log"), kStranger);
    EXPECT_FALSE(Opens(m_dir.File("hwhost.log"), why, O_WRONLY | O_CREAT | O_TRUNC));
    EXPECT_NE(std::string::npos, why.find("is a symbolic link another account owns")) << why;
    EXPECT_FALSE(Opens(m_dir.File("hwhost.log"), why, O_RDONLY));
    // A dangling link would have the file made where it points.
    Link(m_elsewhere.File("made"), m_dir.File("dangling"), kStranger);
    EXPECT_FALSE(Opens(m_dir.File("dangling"), why));
    EXPECT_FALSE(std::filesystem::exists(m_elsewhere.File("made")));
    // A folder on the way, for opening and for making folders.
    Link(m_elsewhere.Path(), m_dir.File("logs"), kStranger);
    EXPECT_FALSE(Opens(m_dir.File("logs/target"), why));
    EXPECT_EQ(m_dir.File("logs/target") + " lies under " + m_dir.File("logs") +
                  ", a symbolic link another account owns (nobody, uid 65534); it is not followed",
              why);
    EXPECT_FALSE(plat::MakeOwnFolders(m_dir.File("logs/sub"), &why));
    EXPECT_FALSE(std::filesystem::exists(m_elsewhere.File("sub")));
    // The folder asked for is the link itself: it lies under nothing.
    EXPECT_FALSE(plat::MakeOwnFolders(m_dir.File("logs"), &why));
    EXPECT_EQ(m_dir.File("logs") + " is a symbolic link another account owns (nobody, uid 65534); it is not followed",
              why);
    // Replacing by a rename, and copying out of the name, are refused too.
    EXPECT_NE(0u, plat::ReplaceFileDurably(m_dir.File("hwhost.log"), m_dir.File("hwhost.log.new"),
                                           "x", nullptr, &why));
    EXPECT_TRUE(std::filesystem::is_symlink(m_dir.File("hwhost.log")));
    EXPECT_FALSE(plat::CopyOwnFile(m_dir.File("hwhost.log"), m_dir.File("copy"), &why));
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("copy")));
    EXPECT_EQ("precious", hwtest::ReadWholeFile(m_target));

    // Root's own links, as an administrator makes them, are followed, and
    // relative ones from where they stand.
    Link(m_elsewhere.Path(), m_dir.File("admin"), 0);
    Link("../" + std::filesystem::path(m_elsewhere.Path()).filename().string() + "/mine",
         m_dir.File("relative"), 0);
    EXPECT_TRUE(Opens(m_dir.File("admin/mine"), why)) << why;
    EXPECT_TRUE(Opens(m_dir.File("relative"), why)) << why;
    EXPECT_TRUE(plat::MakeOwnFolders(m_dir.File("admin/a/b"), &why)) << why;
    EXPECT_EQ("lineline", hwtest::ReadWholeFile(m_elsewhere.File("mine")));
    EXPECT_TRUE(std::filesystem::is_directory(m_elsewhere.File("a/b")));
    EXPECT_TRUE(plat::MayReplaceOwnFile(m_dir.File("relative"), &why)) << why;
}

TEST_F(OwnFilesTest, FilesNotPlainlyThisAccountsAreRefusedWithoutBlockingOrTruncating) {
    std::string why;
    // A FIFO with no reader: the open neither waits nor takes it.
    ASSERT_EQ(0, ::mkfifo(m_dir.File("fifo").c_str(), 0666));
    EXPECT_FALSE(Opens(m_dir.File("fifo"), why));
    EXPECT_FALSE(Opens(m_dir.File("fifo"), why, O_RDWR | O_CREAT));
    EXPECT_EQ(m_dir.File("fifo") + " is a FIFO root owns (uid 0); it is not written", why);
    // Another account's file keeps its bytes.
    hwtest::WriteWholeFile(m_dir.File("theirs"), "theirs");
    ASSERT_EQ(0, ::chown(m_dir.File("theirs").c_str(), kStranger, static_cast<gid_t>(-1)));
    EXPECT_FALSE(Opens(m_dir.File("theirs"), why, O_WRONLY | O_CREAT | O_TRUNC));
    EXPECT_EQ(m_dir.File("theirs") +
                  " is a file another account owns (nobody, uid 65534); it is not written",
              why);
    EXPECT_EQ("theirs", hwtest::ReadWholeFile(m_dir.File("theirs")));
    EXPECT_FALSE(plat::MayReplaceOwnFile(m_dir.File("theirs"), &why));
    // A second name of a file elsewhere.
    ASSERT_EQ(0, ::link(m_target.c_str(), m_dir.File("second").c_str()));
    EXPECT_FALSE(Opens(m_dir.File("second"), why, O_WRONLY | O_TRUNC));
    EXPECT_EQ("precious", hwtest::ReadWholeFile(m_target));
    std::filesystem::create_directory(m_dir.File("folder"));
    EXPECT_FALSE(Opens(m_dir.File("folder"), why, O_RDONLY));

    // What is plainly this account's opens; truncation waits for the check.
    EXPECT_TRUE(Opens(m_dir.File("new"), why, O_WRONLY | O_CREAT | O_EXCL)) << why;
    EXPECT_TRUE(Opens(m_dir.File("new"), why, O_WRONLY | O_TRUNC)) << why;
    EXPECT_EQ("line", hwtest::ReadWholeFile(m_dir.File("new")));
    EXPECT_TRUE(Opens("/dev/null", why)) << why;
}

TEST_F(OwnFilesTest, NameOnTheWayThatIsNoFolderOrLinksInACircleFailsAndMakesNothing) {
    std::string why;
    // A file where a folder is wanted is never taken for one, whether it is
    // the folder asked for or one on the way.
    hwtest::WriteWholeFile(m_dir.File("plain"), "plain");
    EXPECT_FALSE(plat::MakeOwnFolders(m_dir.File("plain"), &why));
    EXPECT_EQ(plat::MapErrno(ENOTDIR), plat::GetLastError()) << why;
    EXPECT_FALSE(plat::MakeOwnFolders(m_dir.File("plain/sub"), &why));
    EXPECT_EQ(-1, plat::OpenOwnFile(m_dir.File("plain/file"), O_WRONLY | O_CREAT, 0644, &why));
    EXPECT_EQ(plat::MapErrno(ENOTDIR), plat::GetLastError()) << why;
    EXPECT_EQ("plain", hwtest::ReadWholeFile(m_dir.File("plain")));

    // Root's own links that lead to each other end the walk as the kernel's
    // own would, as a folder and as the file's name.
    Link("loop-b", m_dir.File("loop-a"), 0);
    Link("loop-a", m_dir.File("loop-b"), 0);
    EXPECT_FALSE(plat::MakeOwnFolders(m_dir.File("loop-a/sub"), &why));
    EXPECT_EQ(plat::MapErrno(ELOOP), plat::GetLastError()) << why;
    EXPECT_EQ(-1, plat::OpenOwnFile(m_dir.File("loop-a"), O_WRONLY | O_CREAT, 0644, &why));
    EXPECT_EQ(plat::MapErrno(ELOOP), plat::GetLastError()) << why;

    // A link of root's that leads back up is walked from where it stands.
    Link("..", m_dir.File("up"), 0);
    const std::string here = std::filesystem::path(m_dir.Path()).filename().string();
    EXPECT_TRUE(plat::MakeOwnFolders(m_dir.File("up/" + here + "/made/below"), &why)) << why;
    EXPECT_TRUE(std::filesystem::is_directory(m_dir.File("made/below")));
}

TEST_F(OwnFilesTest, StateFoldersAndFilesAreClosedToOtherAccounts) {
    std::string why;
    // This account's folder that others may write is closed; a missing one
    // is made.
    ASSERT_EQ(0, ::mkdir(m_dir.File("loose").c_str(), 0777));
    ASSERT_EQ(0, ::chmod(m_dir.File("loose").c_str(), 0777));
    EXPECT_TRUE(plat::MakeStateFolder(m_dir.File("loose"), "", &why)) << why;
    struct stat info {};
    ASSERT_EQ(0, ::stat(m_dir.File("loose").c_str(), &info));
    EXPECT_EQ(0755u, info.st_mode & 0777);
    EXPECT_TRUE(plat::MakeStateFolder(m_dir.File("made/platform"), "", &why)) << why;
    // Another account's folder, and root's own that others may write (not
    // this account's to close when it runs as another), are refused.
    ASSERT_EQ(0, ::mkdir(m_dir.File("theirs").c_str(), 0755));
    ASSERT_EQ(0, ::chown(m_dir.File("theirs").c_str(), kStranger, kStranger));
    EXPECT_FALSE(plat::MakeStateFolder(m_dir.File("theirs"), "the registry is not written", &why));
    EXPECT_EQ(plat::kErrAccessDenied, plat::GetLastError());
    EXPECT_EQ(m_dir.File("theirs") +
                  " is a directory another account owns (nobody, uid 65534); the registry is not written",
              why);

    // A state file made readable by others (by an older version) is closed
    // when it is opened; a new one is made closed whatever the umask.
    hwtest::WriteWholeFile(m_dir.File("loose/registry.lock"), "");
    ASSERT_EQ(0, ::chmod(m_dir.File("loose/registry.lock").c_str(), 0644));
    const mode_t before = ::umask(0);
    for (const char* name : {"loose/registry.lock", "loose/security.lock"}) {
        const int fd = plat::OpenStateFile(m_dir.File(name), O_RDWR | O_CREAT, plat::kStateFileMode, &why);
        ASSERT_GE(fd, 0) << why;
        ::close(fd);
        ASSERT_EQ(0, ::stat(m_dir.File(name).c_str(), &info));
        EXPECT_EQ(0600u, info.st_mode & 0777) << name;
    }
    ::umask(before);

    // A unique name is made anew, never opened where another account put
    // something first, and never through another account's link.
    std::string name = m_dir.File("loose/.push.policy.XXXXXX");
    const int fd = plat::CreateUniqueOwnFile(name, 0600, &why);
    ASSERT_GE(fd, 0) << why;
    ::close(fd);
    EXPECT_EQ(std::string::npos, name.find("XXXXXX"));
    EXPECT_TRUE(std::filesystem::is_regular_file(name));
    Link(m_elsewhere.Path(), m_dir.File("link"), kStranger);
    name = m_dir.File("link/.push.policy.XXXXXX");
    EXPECT_EQ(-1, plat::CreateUniqueOwnFile(name, 0600, &why));
    EXPECT_NE(std::string::npos, why.find(", a symbolic link another account owns (nobody, uid 65534)")) << why;
    // Nothing was made where the link leads.
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(m_elsewhere.Path()),
                               std::filesystem::directory_iterator()));
}

// An output in a sticky folder others may write: whatever another account
// put at its name is taken back and the file made anew, whatever it is and
// whatever it holds.  What root put there, and anything in a folder another
// account owns or in one without the sticky bit (where the name could be
// taken again at will), is refused as ever.  The folder is left as it was
// found.
TEST_F(OwnFilesTest, OutputNameAnotherAccountTookInASharedFolderIsTakenBack) {
    const std::string shared = m_dir.File("shared");
    ASSERT_EQ(0, ::mkdir(shared.c_str(), 0777));
    ASSERT_EQ(0, ::chmod(shared.c_str(), 01777));
    const auto give = [](const std::string& path) {
        return ::lchown(path.c_str(), kStranger, kStranger) == 0;
    };
    struct Squat {
        const char* m_pszName;
        const char* m_pszWhat;
        std::function<bool(const std::string&)> m_make;
    };
    const std::vector<Squat> squats{
        {"fifo.xml", "a FIFO", [&](const std::string& path) { return ::mkfifo(path.c_str(), 0666) == 0 && give(path); }},
        {"file.xml", "a file",
         [&](const std::string& path) {
             hwtest::WriteWholeFile(path, "theirs");
             return give(path);
         }},
        {"folder.xml", "a directory",
         [&](const std::string& path) {
             std::filesystem::create_directories(path + "/inner");
             hwtest::WriteWholeFile(path + "/inner/kept", "theirs");
             return give(path) && give(path + "/inner") && give(path + "/inner/kept");
         }},
        {"link.xml", "a symbolic link",
         [&](const std::string& path) { return ::symlink(m_target.c_str(), path.c_str()) == 0 && give(path); }},
    };
    for (const Squat& squat : squats) {
        SCOPED_TRACE(squat.m_pszName);
        const std::string path = shared + "/" + squat.m_pszName;
        ASSERT_TRUE(squat.m_make(path));
        std::string why;
        std::string taken;
        const int fd = plat::OpenOwnFileTakingBack(path, O_WRONLY | O_CREAT | O_APPEND, 0644, &why, &taken);
        ASSERT_GE(fd, 0) << why;
        EXPECT_EQ(4, ::write(fd, "line", 4));
        ::close(fd);
        EXPECT_EQ(path + " is " + squat.m_pszWhat +
                      " another account owns (nobody, uid 65534); it is taken back and the file made anew",
                  taken);
        struct stat info {};
        ASSERT_EQ(0, ::lstat(path.c_str(), &info));
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(::geteuid(), info.st_uid);
        EXPECT_EQ("line", hwtest::ReadWholeFile(path));
    }
    EXPECT_EQ("precious", hwtest::ReadWholeFile(m_target));

    // Root's own FIFO stays, refused; so does another account's in its own
    // folder (the folder refused), and in a folder of root's without the
    // sticky bit.
    const std::string rootFifo = shared + "/root.fifo";
    ASSERT_EQ(0, ::mkfifo(rootFifo.c_str(), 0600));
    std::vector<std::string> refused{rootFifo};
    std::vector<std::string> refusedFor{rootFifo + " is a FIFO"};
    for (const char* pszFolder : {"theirs", "open"}) {
        const std::string folder = m_dir.File(pszFolder);
        ASSERT_EQ(0, ::mkdir(folder.c_str(), 0777));
        ASSERT_EQ(0, ::chmod(folder.c_str(), 0777));
        ASSERT_TRUE(std::string(pszFolder) == "open" || give(folder));
        refused.push_back(folder + "/alerts.xml");
        refusedFor.push_back(std::string(pszFolder) == "open" ? refused.back() + " is a FIFO"
                                                              : folder + " is a directory another account owns");
        ASSERT_EQ(0, ::mkfifo(refused.back().c_str(), 0666));
        ASSERT_TRUE(give(refused.back()));
    }
    for (size_t n = 0; n < refused.size(); ++n) {
        const std::string& path = refused[n];
        std::string why;
        std::string taken;
        EXPECT_LT(plat::OpenOwnFileTakingBack(path, O_WRONLY | O_CREAT | O_APPEND, 0644, &why, &taken), 0);
        EXPECT_EQ(plat::kErrAccessDenied, plat::GetLastError());
        EXPECT_EQ("", taken);
        EXPECT_NE(std::string::npos, why.find(refusedFor[n])) << why;
        struct stat info {};
        ASSERT_EQ(0, ::lstat(path.c_str(), &info));
        EXPECT_TRUE(S_ISFIFO(info.st_mode)) << path;
    }
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(shared)) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ((std::vector<std::string>{"fifo.xml", "file.xml", "folder.xml", "link.xml", "root.fifo"}), left);
}

// The folder an output is written in, made first by another account, could
// lose what is written there at that account's will: in a sticky folder of
// root's it is taken back (what it held goes with it) and made anew as
// root's own; elsewhere it is refused and nothing is made in it.
TEST_F(OwnFilesTest, OutputFolderAnotherAccountMadeFirstIsTakenBackOrRefused) {
    const std::string shared = m_dir.File("shared");
    ASSERT_EQ(0, ::mkdir(shared.c_str(), 01777));
    ASSERT_EQ(0, ::chmod(shared.c_str(), 01777));
    const std::string squat = shared + "/out";
    ASSERT_EQ(0, ::mkdir(squat.c_str(), 0777));
    hwtest::WriteWholeFile(squat + "/theirs", "theirs");
    ASSERT_EQ(0, ::lchown(squat.c_str(), kStranger, kStranger));
    ASSERT_EQ(0, ::lchown((squat + "/theirs").c_str(), kStranger, kStranger));
    std::string why;
    std::string taken;
    const int fd = plat::OpenOwnFileTakingBack(squat + "/alerts.xml", O_WRONLY | O_CREAT | O_APPEND, 0644, &why,
                                               &taken);
    ASSERT_GE(fd, 0) << why;
    EXPECT_EQ(4, ::write(fd, "line", 4));
    ::close(fd);
    EXPECT_EQ(squat + " is a directory another account owns (nobody, uid 65534); it is taken back and the folder "
                      "made anew",
              taken);
    struct stat info {};
    ASSERT_EQ(0, ::lstat(squat.c_str(), &info));
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(::geteuid(), info.st_uid);
    EXPECT_EQ(0, info.st_mode & S_IWOTH);
    EXPECT_EQ("line", hwtest::ReadWholeFile(squat + "/alerts.xml"));
    EXPECT_FALSE(std::filesystem::exists(squat + "/theirs"));
    // Opened again, the folder is root's: nothing more is taken.
    taken.clear();
    const int again = plat::OpenOwnFileTakingBack(squat + "/alerts.xml", O_WRONLY | O_CREAT | O_APPEND, 0644, &why,
                                                  &taken);
    ASSERT_GE(again, 0) << why;
    ::close(again);
    EXPECT_EQ("", taken);

    const std::string theirs = m_dir.File("theirs");
    ASSERT_EQ(0, ::mkdir(theirs.c_str(), 0755));
    ASSERT_EQ(0, ::lchown(theirs.c_str(), kStranger, kStranger));
    EXPECT_LT(plat::OpenOwnFileTakingBack(theirs + "/alerts.xml", O_WRONLY | O_CREAT | O_APPEND, 0644, &why, &taken),
              0);
    EXPECT_EQ(plat::kErrAccessDenied, plat::GetLastError());
    EXPECT_EQ(theirs + " is a directory another account owns (nobody, uid 65534); no file is written in it, where "
                       "that account could remove what is written",
              why);
    EXPECT_FALSE(std::filesystem::exists(theirs + "/alerts.xml"));
}
