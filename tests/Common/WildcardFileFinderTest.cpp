#include "Common/WildcardFileFinder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/TestUtil.h"
#include "platform/LastError.h"

namespace {

class WildcardFileFinderTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* dir : {"logs", "logs/a", "logs/b", "logs/b/deep", "logs/c*d"}) {
            ::mkdir(m_scratch.File(dir).c_str(), 0755);
        }
        for (const char* file : {"logs/app1.log", "logs/a/app1.log", "logs/a/app22.log", "logs/b/app2.log",
                                 "logs/b/deep/x.txt", "logs/c*d/app3.log", "logs/README"}) {
            hwtest::WriteWholeFile(m_scratch.File(file), "x");
        }
    }

    // Every result of a walk, relative to the scratch directory.  The tree
    // holds a dozen names: a walk that goes on far longer has looped (into
    // "." or "..", or through a link), and is cut off as a failure.
    std::vector<std::string> Walk(const std::string& pattern, bool recursive) {
        constexpr size_t kLooped = 1000;
        std::vector<std::string> results;
        WildcardFindData data;
        WildcardFileFinder::Handle walk = WildcardFileFinder::FindFirst(pattern.c_str(), recursive, &data);
        if (walk == WildcardFileFinder::InvalidHandle()) {
            return results;
        }
        do {
            results.push_back(data.m_strFileName.substr(m_scratch.Path().size() + 1));
            EXPECT_EQ(data.m_strDirectory + data.m_strEntryName, data.m_strFileName);
        } while (results.size() < kLooped && WildcardFileFinder::FindNext(walk, &data) != 0);
        if (results.size() >= kLooped) {
            ADD_FAILURE() << "the walk of " << pattern << " does not end: " << results.back().substr(0, 120);
            WildcardFileFinder::Close(walk);
            return results;
        }
        EXPECT_EQ(WildcardFileFinder::FindNext(walk, &data), 0);
        EXPECT_EQ(WildcardFileFinder::Close(walk), 1);
        return results;
    }

    hwtest::ScratchDirectory m_scratch;
};

using Paths = std::vector<std::string>;

}  // namespace

TEST_F(WildcardFileFinderTest, PlainPathYieldsItselfOnlyWhenItExists) {
    EXPECT_EQ(Walk(m_scratch.File("logs/app1.log"), false), Paths{"logs/app1.log"});
    EXPECT_EQ(Walk(m_scratch.File("logs/a///"), false), Paths{"logs/a"});
    EXPECT_TRUE(Walk(m_scratch.File("logs/missing.log"), false).empty());
    EXPECT_EQ(plat::GetLastError(), plat::kErrFileNotFound);
}

TEST_F(WildcardFileFinderTest, WildcardDirectoryComponentIsExpandedWithEitherSeparator) {
    const Paths expected{"logs/a/app1.log", "logs/b/app2.log", "logs/c*d/app3.log"};
    EXPECT_EQ(Walk(m_scratch.File("logs/*/app?.log"), false), expected);
    EXPECT_EQ(Walk(m_scratch.File("logs\\*\\\\app?.log\\"), false), expected);
    // Unlike a shell, "*.*" takes names without a dot.
    EXPECT_EQ(Walk(m_scratch.File("logs/*.*"), false),
              (Paths{"logs/README", "logs/a", "logs/app1.log", "logs/b", "logs/c*d"}));
    EXPECT_TRUE(Walk(m_scratch.File("logs/*/none?.log"), false).empty());
}

TEST_F(WildcardFileFinderTest, RecursiveWalkListsEverythingBeneathButDoesNotFollowLinkLoops) {
    ASSERT_EQ(::symlink("..", m_scratch.File("logs/b/deep/up").c_str()), 0);
    const Paths expected{"logs/b", "logs/b/app2.log", "logs/b/deep", "logs/b/deep/up", "logs/b/deep/x.txt"};
    EXPECT_EQ(Walk(m_scratch.File("logs/b*"), true), expected);
    EXPECT_EQ(Walk(m_scratch.File("logs/b"), true), expected);
}

// A folder others may write to can hold another account's link to a
// folder the sensor alone may read: nothing beyond it is listed or
// reported, and the link itself is no directory; root's own links work.
TEST_F(WildcardFileFinderTest, AnotherAccountsLinkIsNeitherWalkedThroughNorTakenForAFolder) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a link to another account";
    }
    ::mkdir(m_scratch.File("private").c_str(), 0700);
    hwtest::WriteWholeFile(m_scratch.File("private/app9.log"), "x");
    for (auto [name, owner] :
         {std::pair<const char*, uid_t>{"logs/planted", 65534}, {"logs/trusted", 0}}) {
        ASSERT_EQ(::symlink(m_scratch.File("private").c_str(), m_scratch.File(name).c_str()), 0);
        ASSERT_EQ(::lchown(m_scratch.File(name).c_str(), owner, owner), 0);
    }
    EXPECT_EQ(Walk(m_scratch.File("logs/*/app?.log"), false),
              (Paths{"logs/a/app1.log", "logs/b/app2.log", "logs/c*d/app3.log",
                     "logs/trusted/app9.log"}));
    EXPECT_EQ(Walk(m_scratch.File("logs/trusted/*.log"), false), Paths{"logs/trusted/app9.log"});
    EXPECT_TRUE(Walk(m_scratch.File("logs/planted/*.log"), false).empty());
    EXPECT_TRUE(Walk(m_scratch.File("logs/planted/app9.log"), false).empty());
    // A recursive walk enters neither link.
    const auto IsDirectory = [](const std::string& path) {
        WildcardFindData data;
        WildcardFileFinder::Handle walk = WildcardFileFinder::FindFirst(path.c_str(), true, &data);
        EXPECT_NE(walk, WildcardFileFinder::InvalidHandle()) << path;
        EXPECT_EQ(WildcardFileFinder::FindNext(walk, &data), 0) << "entered " << path;
        WildcardFileFinder::Close(walk);
        return data.IsDirectory();
    };
    EXPECT_FALSE(IsDirectory(m_scratch.File("logs/plant*")));
    EXPECT_TRUE(IsDirectory(m_scratch.File("logs/trust*")));
}

TEST(WildcardFileFinder, BadArgumentsGiveInvalidHandleAndMarkerIsStripped) {
    WildcardFindData data;
    EXPECT_EQ(WildcardFileFinder::FindFirst(nullptr, false, &data), WildcardFileFinder::InvalidHandle());
    EXPECT_EQ(plat::GetLastError(), plat::kErrInvalidParameter);
    EXPECT_EQ(WildcardFileFinder::FindFirst("/", false, nullptr), WildcardFileFinder::InvalidHandle());
    EXPECT_EQ(WildcardFileFinder::FindNext(WildcardFileFinder::InvalidHandle(), &data), 0);

    for (auto [given, stripped] : {std::pair<std::string, std::string>{"C:\\logs\\...", "C:\\logs"},
                                   {"/...", "/"},
                                   {"/var/x...", "/var/x..."}}) {
        WildcardFileFinder::StripRecursiveMarker(given);
        EXPECT_EQ(given, stripped);
    }
}
