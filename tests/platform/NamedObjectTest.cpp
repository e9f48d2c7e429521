// Object scopes: the names that keep one sensor root's shared objects apart
// from every other root's on the machine; and what an open does with a
// name someone else holds.

#include "platform/NamedObject.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/NameTakeBack.h"
#include "platform/SharedMapping.h"
#include "support/ConsoleCapture.h"
#include "support/TestUtil.h"

namespace {

// Puts the process in another scope for one case and back after it.
class ScopedObjectScope {
public:
    explicit ScopedObjectScope(const std::string& scope) : m_previous(plat::ObjectScope()) {
        EXPECT_TRUE(plat::SetObjectScope(scope));
    }
    ~ScopedObjectScope() { plat::SetObjectScope(m_previous); }
    ScopedObjectScope(const ScopedObjectScope&) = delete;
    ScopedObjectScope& operator=(const ScopedObjectScope&) = delete;

private:
    std::string m_previous;
};

// A folder at `folder` holding a folder and a file, all `owner`'s.
bool MakeFullFolder(const std::string& folder, uid_t owner) {
    if (::mkdir(folder.c_str(), 0777) != 0 || ::mkdir((folder + "/inner").c_str(), 0777) != 0) {
        return false;
    }
    hwtest::WriteWholeFile(folder + "/inner/kept", "theirs");
    for (const std::string& name : {folder, folder + "/inner", folder + "/inner/kept"}) {
        if (::lchown(name.c_str(), owner, owner) != 0) {
            return false;
        }
    }
    return true;
}

// The name holds a plain file of this process's account.
bool OwnObjectAt(const std::string& file) {
    struct stat info = {};
    return ::lstat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid();
}

// Something named `name` lies in a folder a take-back put aside.
bool LeftAside(const std::string& name) {
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        const std::string leaf = entry.path().filename().string();
        std::error_code failure;
        if ((leaf.rfind(".hw-aside-", 0) == 0 || leaf.rfind(".hw-taken-", 0) == 0) &&
            std::filesystem::exists(entry.path() / "taken" / name, failure)) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST(ObjectScope, EverySpellingOfARootGivesItsScopeAndOtherRootsOthers) {
    hwtest::ScratchDirectory first;
    hwtest::ScratchDirectory second;
    const std::string scope = plat::ObjectScopeOfRoot(first.Path());
    EXPECT_EQ(12u, scope.size());
    EXPECT_EQ(std::string::npos, scope.find_first_not_of("0123456789abcdef"));
    ASSERT_EQ(0, ::symlink(first.Path().c_str(), second.File("link").c_str()));
    for (const std::string& spelling :
         {first.Path() + "/", first.Path() + "/./", second.Path() + "/../" +
                                                       first.Path().substr(first.Path().rfind('/') + 1),
          second.File("link")}) {
        EXPECT_EQ(scope, plat::ObjectScopeOfRoot(spelling)) << spelling;
    }
    EXPECT_NE(scope, plat::ObjectScopeOfRoot(second.Path()));
}

TEST(ObjectScope, ScopeNamesTheObjectsAndIsHandedToChildProcesses) {
    ScopedObjectScope scoped("a1b2c3d4e5f6");
    EXPECT_EQ("/hw.a1b2c3d4e5f6.QGEvShm", plat::SharedObjectPath("QGEvShm"));
    EXPECT_EQ("/hw.a1b2c3d4e5f6.dir_file", plat::SharedObjectPath("dir/file"));
    EXPECT_STREQ("a1b2c3d4e5f6", std::getenv(plat::kObjectScopeVariable));
    // Text that could leave the scope's part of the name is refused.
    for (const std::string& bad : {std::string("../x"), std::string("a.b"), std::string(33, 'a')}) {
        EXPECT_FALSE(plat::SetObjectScope(bad)) << bad;
    }
    EXPECT_EQ("a1b2c3d4e5f6", plat::ObjectScope());
}

TEST(ObjectScope, SameNameInTwoScopesIsTwoObjects) {
    plat::SharedMapping first;
    {
        ScopedObjectScope scoped("one" + std::to_string(::getpid()));
        ASSERT_TRUE(first.Create("shared", 4096));
    }
    ScopedObjectScope scoped("two" + std::to_string(::getpid()));
    plat::SharedMapping second;
    ASSERT_TRUE(second.Create("shared", 4096));
    EXPECT_TRUE(second.Created());
    plat::SharedMapping opened;
    EXPECT_TRUE(opened.Open("shared"));
    opened.Close();
    second.Close();
    EXPECT_FALSE(opened.Open("shared"));
}

// Whoever holds an object's exclusive lock is laying it out, which takes
// moments: one held longer is reported busy, not waited on.
TEST(NamedObject, ExclusiveLockHeldPastALayoutIsBusyNotWaitedOn) {
    const std::string path = plat::SharedObjectPath("held-exclusively");
    const int fd = ::shm_open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    struct flock range = {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    ASSERT_EQ(0, ::fcntl(fd, F_OFD_SETLK, &range));
    const auto start = std::chrono::steady_clock::now();
    plat::NamedObject object;
    EXPECT_FALSE(object.Open("held-exclusively", true, [](int) { return true; }));
    EXPECT_EQ(plat::kErrBusy, plat::GetLastError());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    ::close(fd);
    ASSERT_TRUE(object.Open("held-exclusively", true, [](int) { return true; }));
    EXPECT_TRUE(object.Fresh());
}

// A name that holds no plain object (a FIFO would stall a reader) is
// taken back by a creator and refused to an opener.
TEST(NamedObject, NameHoldingAFifoIsTakenBackByACreatorAndRefusedToAnOpener) {
    const std::string file = "/dev/shm" + plat::SharedObjectPath("fifo-squat");
    ASSERT_EQ(0, ::mkfifo(file.c_str(), 0666));
    plat::NamedObject opener;
    EXPECT_FALSE(opener.Open("fifo-squat", false, [](int) { return false; }));
    EXPECT_EQ(plat::kErrAccessDenied, plat::GetLastError());
    hwtest::ConsoleCapture console;
    plat::NamedObject creator;
    ASSERT_TRUE(creator.Open("fifo-squat", true, [](int) { return true; }));
    EXPECT_TRUE(console.Contains("WARNING: " + file +
                                 " is a FIFO root owns (uid 0); it is taken back and the object made anew\n"))
        << console.Text();
    struct stat info = {};
    ASSERT_EQ(0, ::stat(file.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
}

// A folder at an object's name, another account's and full, would keep the
// object from being made at all: a creator moves it out of the way and
// removes it, and an opener refuses it; both say whose it is.
TEST(NamedObject, FolderAnotherAccountMadeAtTheNameIsTakenBackByACreator) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a folder to another account";
    }
    const std::string file = "/dev/shm" + plat::SharedObjectPath("folder-squat");
    ASSERT_TRUE(MakeFullFolder(file, 65534));
    // Other tests take folders of their own back at the same time: this
    // one's is known by a file no other folder holds.
    const std::string marker = "inner/folder-squat-" + std::to_string(::getpid());
    hwtest::WriteWholeFile(file + "/" + marker, "theirs");
    ASSERT_EQ(0, ::lchown((file + "/" + marker).c_str(), 65534, 65534));
    const std::string theirs = "WARNING: " + file + " is a directory another account owns (nobody, uid 65534); ";
    hwtest::ConsoleCapture console;
    plat::NamedObject opener;
    EXPECT_FALSE(opener.Open("folder-squat", false, [](int) { return false; }));
    EXPECT_EQ(plat::kErrAccessDenied, plat::GetLastError());
    EXPECT_TRUE(console.Contains(theirs + "the object is not opened\n")) << console.Text();

    plat::NamedObject creator;
    ASSERT_TRUE(creator.Open("folder-squat", true, [](int) { return true; }));
    EXPECT_TRUE(console.Contains(theirs + "it is taken back and the object made anew\n")) << console.Text();
    struct stat info = {};
    ASSERT_EQ(0, ::lstat(file.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(0u, info.st_uid);
    // Nothing of the folder is left behind under another name either.
    EXPECT_FALSE(LeftAside(marker));
}

// The step that moved a squat aside once used names of the pid's that any
// account can make first; full folders at all of them, and one at the
// name, still do not keep a creator from its object.
TEST(NamedObject, FoldersAtNamesAnAsideStepCouldUseDoNotKeepACreatorFromTheName) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give folders to another account";
    }
    // A host test squatting these names for the pids to come may have made
    // some already: they serve as well, and are left to it.
    std::vector<std::string> made;
    for (int n = 0; n < 32; ++n) {
        const std::string aside = "/dev/shm/.hw-taken-" + std::to_string(::getpid()) + "-" + std::to_string(n);
        if (MakeFullFolder(aside, 65534)) {
            made.push_back(aside);
        } else {
            ASSERT_TRUE(std::filesystem::is_directory(aside)) << aside;
        }
    }
    const std::string file = "/dev/shm" + plat::SharedObjectPath("aside-squat");
    ASSERT_TRUE(MakeFullFolder(file, 65534));
    hwtest::ConsoleCapture console;
    plat::NamedObject creator;
    EXPECT_TRUE(creator.Open("aside-squat", true, [](int) { return true; })) << console.Text();
    EXPECT_TRUE(OwnObjectAt(file));
    EXPECT_TRUE(console.Contains(" is a directory another account owns (nobody, uid 65534); it is taken back and "
                                 "the object made anew\n"))
        << console.Text();
    for (const std::string& aside : made) {
        std::filesystem::remove_all(aside);
    }
}

// Another account that makes its folder at the name again the moment it
// is free never gets the name: the creator's object takes it in the same
// step that takes the folder away.
TEST(NamedObject, FolderMadeAgainAndAgainAtTheNameStillLosesToACreator) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another account";
    }
    const std::string file = "/dev/shm" + plat::SharedObjectPath("churn-squat");
    int stop[2];
    ASSERT_EQ(0, ::pipe(stop));
    const pid_t squatter = ::fork();
    ASSERT_GE(squatter, 0);
    if (squatter == 0) {
        ::close(stop[1]);
        ::fcntl(stop[0], F_SETFL, O_NONBLOCK);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(2);
        }
        char byte;
        while (::read(stop[0], &byte, 1) < 0 && errno == EAGAIN) {
            ::mkdir(file.c_str(), 0777);
            ::mkdir((file + "/inner").c_str(), 0777);
        }
        ::_exit(0);
    }
    ::close(stop[0]);
    struct stat info = {};
    ASSERT_TRUE(hwtest::WaitUntil([&] { return ::lstat((file + "/inner").c_str(), &info) == 0; }));
    hwtest::ConsoleCapture console;
    plat::NamedObject creator;
    const bool opened = creator.Open("churn-squat", true, [](int) { return true; });
    const bool own = OwnObjectAt(file);
    ::close(stop[1]);
    int status = 0;
    ASSERT_EQ(squatter, ::waitpid(squatter, &status, 0));
    EXPECT_TRUE(opened) << console.Text();
    EXPECT_TRUE(own);
}

// A folder at the name that holds more than a take-back removes is moved
// out of the way all the same; the rest stays aside, and where is said.
TEST(NamedObject, FolderTooBigToEmptyIsTakenBackAndWhereItsRestLiesIsSaid) {
    const std::string file = "/dev/shm" + plat::SharedObjectPath("big-squat");
    const std::string inner = file + "/big-" + std::to_string(::getpid());
    ASSERT_TRUE(std::filesystem::create_directories(inner));
    for (uint32_t i = 0; i < plat::kTakeBackEntries + 10; ++i) {
        const int fd = ::open((inner + "/" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    hwtest::ConsoleCapture console;
    plat::NamedObject creator;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(creator.Open("big-squat", true, [](int) { return true; })) << console.Text();
    std::printf("a folder of %u entries taken back in %lld ms\n", plat::kTakeBackEntries + 10,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - start)
                                           .count()));
    EXPECT_TRUE(OwnObjectAt(file));
    const std::string said = "; what it held past 10000 entries or 16 levels is left in /dev/shm/.hw-aside-";
    ASSERT_TRUE(console.Contains(said)) << console.Text();
    const std::string text = console.Text();
    const size_t at = text.find(said) + said.size() - std::string(".hw-aside-").size();
    const std::string aside = "/dev/shm/" + text.substr(at, text.find('\n', at) - at);
    EXPECT_TRUE(std::filesystem::is_directory(aside)) << aside;
    std::filesystem::remove_all(aside);
}