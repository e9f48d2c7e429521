// Object scopes: the names that keep one sensor root's shared objects apart
// from every other root's on the machine; and what an open does with a
// name someone else holds.

#include "platform/NamedObject.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/LastError.h"
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
    ASSERT_EQ(0, ::mkdir(file.c_str(), 0777));
    ASSERT_EQ(0, ::mkdir((file + "/inner").c_str(), 0777));
    hwtest::WriteWholeFile(file + "/inner/kept", "theirs");
    for (const std::string& name : {file, file + "/inner", file + "/inner/kept"}) {
        ASSERT_EQ(0, ::lchown(name.c_str(), 65534, 65534)) << name;
    }
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
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        EXPECT_EQ(std::string::npos,
                  entry.path().filename().string().find(".hw-taken-" + std::to_string(::getpid()) + "-"))
            << entry.path();
    }
}
