#include "Common/WildcardFileFinder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>

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

namespace {

// A chain of `nDepth` folders "d" below `strTop`, made one level at a time
// so that no path grows long.
void MakeChain(const std::string& strTop, int nDepth) {
    ASSERT_EQ(::mkdir(strTop.c_str(), 0755), 0);
    int nFolder = ::open(strTop.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(nFolder, 0);
    for (int i = 0; i < nDepth; ++i) {
        ASSERT_EQ(::mkdirat(nFolder, "d", 0755), 0);
        const int nNext = ::openat(nFolder, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(nFolder);
        nFolder = nNext;
        ASSERT_GE(nFolder, 0);
    }
    ::close(nFolder);
}

// Every result of a walk taken in slices of `dwSlice` units of work, and
// how many slices it took.
std::vector<std::string> WalkInSlices(WildcardWalk& walk, uint32_t dwSlice, size_t& nSlices) {
    std::vector<std::string> results;
    WildcardFindData data;
    nSlices = 1;
    for (uint32_t dwWork = dwSlice;;) {
        const WildcardWalk::Step step = walk.Next(data, dwWork);
        if (step == WildcardWalk::Step::kEnded) {
            return results;
        }
        if (step == WildcardWalk::Step::kFound) {
            results.push_back(data.m_strFileName);
        } else {
            EXPECT_EQ(dwWork, 0u);
            dwWork = dwSlice;
            ++nSlices;
        }
    }
}

}  // namespace

// Whoever can write a watched folder decides how deep its tree goes: a walk
// opens each folder once, relative to the one holding it, however deep the
// chain, and goes no deeper than its limit, counting what it left out.
TEST_F(WildcardFileFinderTest, DeepChainCostsOneOpenPerFolderAndStopsAtTheDepthLimit) {
    MakeChain(m_scratch.File("chain"), 300);
    WildcardLimits limits;
    WildcardWalk deep(m_scratch.File("chain"), true, limits);
    size_t nSlices = 0;
    const std::vector<std::string> results = WalkInSlices(deep, UINT32_MAX, nSlices);
    // The chain itself, then one folder for each level entered.
    ASSERT_EQ(results.size(), 1u + limits.m_dwMaxDepth);
    std::string strDeepest = m_scratch.File("chain");
    for (uint32_t i = 0; i < limits.m_dwMaxDepth; ++i) {
        strDeepest += "/d";
    }
    EXPECT_EQ(results.back(), strDeepest);
    EXPECT_EQ(deep.FoldersOpened(), limits.m_dwMaxDepth);
    EXPECT_EQ(deep.FoldersTooDeep(), 1u);
    EXPECT_FALSE(deep.Incomplete());

    // Below the limit, opens grow with the depth, one each.
    for (int nDepth : {5, 20}) {
        MakeChain(m_scratch.File("short" + std::to_string(nDepth)), nDepth);
        WildcardWalk shallow(m_scratch.File("short" + std::to_string(nDepth)), true);
        EXPECT_EQ(WalkInSlices(shallow, UINT32_MAX, nSlices).size(), static_cast<size_t>(nDepth) + 1);
        EXPECT_EQ(shallow.FoldersOpened(), static_cast<uint64_t>(nDepth) + 1) << nDepth;
        EXPECT_EQ(shallow.FoldersTooDeep(), 0u);
    }
}

// A folder of many names is read no further than the limit on names, and
// a walk taken in small slices gives what a walk taken whole gives.
TEST_F(WildcardFileFinderTest, NamesBeyondTheLimitAreNotReadAndSlicesGiveTheWholeWalk) {
    ::mkdir(m_scratch.File("many").c_str(), 0755);
    for (int i = 0; i < 60; ++i) {
        hwtest::WriteWholeFile(m_scratch.File("many/f" + std::to_string(i) + ".log"), "x");
    }
    WildcardLimits limits;
    limits.m_qwMaxEntries = 25;
    WildcardWalk cut(m_scratch.File("many/*.log"), false, limits);
    size_t nSlices = 0;
    EXPECT_EQ(WalkInSlices(cut, UINT32_MAX, nSlices).size(), 25u);
    EXPECT_EQ(cut.EntriesRead(), 25u);
    EXPECT_TRUE(cut.EntriesCut());

    WildcardWalk whole(m_scratch.File("logs"), true);
    const std::vector<std::string> expected = WalkInSlices(whole, UINT32_MAX, nSlices);
    EXPECT_EQ(nSlices, 1u);
    EXPECT_EQ(expected.size(), 12u);
    EXPECT_FALSE(whole.EntriesCut());
    WildcardWalk sliced(m_scratch.File("logs"), true);
    EXPECT_EQ(WalkInSlices(sliced, 3, nSlices), expected);
    EXPECT_GT(nSlices, 5u);
}

// A folder that cannot be opened for want of a descriptor is not a folder
// that is not there: the walk says it is incomplete.
TEST_F(WildcardFileFinderTest, WalkShortOfDescriptorsSaysItIsIncomplete) {
    const std::string strPattern = m_scratch.File("logs/*/app?.log");
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Every descriptor but the lowest few taken.
        int nTaken = 0;
        while (::dup(0) >= 0) {
            ++nTaken;
        }
        WildcardWalk walk(strPattern, false);
        WildcardFindData data;
        uint32_t dwWork = UINT32_MAX;
        const bool bEnded = walk.Next(data, dwWork) == WildcardWalk::Step::kEnded;
        ::_exit(nTaken > 0 && bEnded && walk.Incomplete() ? 0 : 1);
    }
    int nStatus = 0;
    ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
    WildcardWalk walk(strPattern, false);
    size_t nSlices = 0;
    EXPECT_EQ(WalkInSlices(walk, UINT32_MAX, nSlices).size(), 3u);
    EXPECT_FALSE(walk.Incomplete());
}
