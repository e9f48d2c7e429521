// The web engine running while a writer of its areas cuts one of them, or
// one of their locks, short: the engine's thread goes on, the cut is said
// naming the object, the objects are mapped again, and the module's next
// event is reported.  The areas are opened to the process's own group, so
// they count as another account's to write; the cut itself needs nothing
// more than a descriptor of the object.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ApacheEngine/WebSharedMemory.h"
#include "ApacheTestSupport.h"
#include "platform/NamedObject.h"
#include "support/ChildProcess.h"
#include "support/EngineEnd.h"
#include "support/TestUtil.h"

namespace {

struct CutCase {
    const char* pszObject;
    const char* pszSaid;
};

constexpr CutCase kCases[] = {
    {"QGEvShm", "The web-server area QGEvShm was cut short by another account: "},
    {"QGEvMutex", "The web-server lock QGEvMutex was cut short by another account: "},
    {"QGConfShm", "The web-server area QGConfShm was cut short by another account: "},
    {"QGConfMutex", "The web-server lock QGConfMutex was cut short by another account: "},
};

// The module's print of the configuration area without the time line.
std::string WithoutTime(const std::string& strConfig) {
    const size_t at = strConfig.find("time ");
    return at == std::string::npos ? strConfig : strConfig.substr(0, at) + strConfig.substr(strConfig.find('\n', at));
}

constexpr char kMappedAgain[] = "The web-server shared memory cut short by another account is mapped again";

class WebAreasCutTest : public ::testing::Test, protected apachetest::EngineWithRules {
protected:
    void SetUp() override {
        const struct group* pGroup = ::getgrgid(::getegid());
        ASSERT_NE(nullptr, pGroup);
        ::setenv(kWebGroupVariable, pGroup->gr_name, 1);
        ASSERT_EQ(0, m_Engine.Oninit(0));
        ASSERT_EQ(0, m_Engine.OnStart(0));
    }
    void TearDown() override {
        hwtest::EndHeldEngine(m_Engine);
        m_Engine.Shutdown();
        ::unsetenv(kWebGroupVariable);
    }

    // The module's command; its output.
    std::string Module(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{HW_BINARY_DIR "/bin/hw-webmodule"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        hwtest::ChildProcess module;
        int nExit = -1;
        const std::string strOutput = m_Scratch.File("module" + std::to_string(++m_nRuns) + ".out");
        EXPECT_TRUE(module.Start(argv, strOutput) && module.Wait(60, nExit));
        EXPECT_EQ(0, nExit);
        return hwtest::ReadWholeFile(strOutput);
    }

    // Whether the engine said it mapped the objects again after it said
    // the last of these cuts.
    bool MappedAgainAfterEachCut(const std::vector<CutCase>& round) {
        const std::vector<std::string> texts = m_Log.m_Services.Texts();
        size_t nLastCut = 0;
        for (size_t i = 0; i < texts.size(); ++i) {
            for (const CutCase& cut : round) {
                if (texts[i].rfind(cut.pszSaid, 0) == 0)
                    nLastCut = i + 1;
            }
        }
        for (size_t i = nLastCut; nLastCut != 0 && i < texts.size(); ++i) {
            if (texts[i].rfind(kMappedAgain, 0) == 0)
                return true;
        }
        return false;
    }

    hwtest::ScratchDirectory m_Scratch;
    int m_nRuns = 0;
};

}  // namespace

TEST_F(WebAreasCutTest, EngineReadsOnAfterItsAreasAndLocksAreCutUnderIt) {
    Module({"write", "--name", "Web_Shell", "--id", "1234"});
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Engine.Count() == 1; }));
    const std::string strConfig = Module({"config"});

    // The ring alone, then the rest at once.
    const std::vector<std::vector<CutCase>> rounds{{kCases[0]}, {kCases[1], kCases[2], kCases[3]}};
    size_t nReported = 1;
    for (const std::vector<CutCase>& round : rounds) {
        for (const CutCase& cut : round) {
            const int fd = ::shm_open(plat::SharedObjectPath(cut.pszObject).c_str(), O_RDWR, 0);
            ASSERT_GE(fd, 0) << cut.pszObject << ": " << std::strerror(errno);
            ASSERT_EQ(0, ::ftruncate(fd, 0));
            ::close(fd);
        }
        for (const CutCase& cut : round) {
            EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Log.m_Services.CountStartingWith(cut.pszSaid) == 1; }))
                << cut.pszSaid;
        }
        // Cuts made one after another may be found at two turns, each
        // mapping again what it found: only a mapping again said after
        // the last of them has them all whole.
        ASSERT_TRUE(hwtest::WaitUntil([&] { return MappedAgainAfterEachCut(round); }));
        // The module joins the objects made whole, and its event comes.
        Module({"write", "--name", "Web_Shell", "--id", "1234"});
        ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Engine.Count() == nReported + 1; }));
        ++nReported;
    }
    // The configuration area, cut to nothing, is the module's again, all
    // but the time it was written (0 in one laid out and not written).
    const std::string strAfter = Module({"config"});
    EXPECT_EQ(WithoutTime(strConfig), WithoutTime(strAfter));
    EXPECT_EQ(std::string::npos, strAfter.find("time 0\n")) << strAfter;
    EXPECT_TRUE(m_Log.Contains(std::string(kMappedAgain) +
                               ", and the configuration area written again: web-server events are read again"));
}

// The engine looks at an empty ring many times a second, but a turn that
// meets a cut waits a second before the next: a writer that cuts the ring
// again and again has it mapped again, and said, about once a second, not
// at every look.  About 2.5 s.
TEST_F(WebAreasCutTest, RingCutAgainAndAgainIsMappedAgainAboutOnceASecond) {
    Module({"write", "--name", "Web_Shell", "--id", "1234"});
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Engine.Count() == 1; }));
    const size_t nBefore = m_Log.m_Services.CountStartingWith(kMappedAgain);
    const int fd = ::shm_open(plat::SharedObjectPath("QGEvShm").c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(2500)) {
        ASSERT_EQ(0, ::ftruncate(fd, 0));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(fd);
    // The last cut may be met after the loop: at most one turn more.
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Log.m_Services.CountStartingWith(kMappedAgain) > nBefore; }));
    const size_t nMapped = m_Log.m_Services.CountStartingWith(kMappedAgain) - nBefore;
    EXPECT_LE(nMapped, 4u);
}

// A ring cut short by an account that then owns it cannot be made whole
// by the engine, so it is lost until the engine is paused and resumed (what
// a reload that reads no policy does for it): the pause lets go of what is
// left, and the resume opens the ring afresh once it can be had again, and
// the module's next event is reported.
TEST_F(WebAreasCutTest, RingThatCouldNotBeMappedAgainIsOpenedAfreshByAPauseAndResume) {
    Module({"write", "--name", "Web_Shell", "--id", "1234"});
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Engine.Count() == 1; }));
    const std::string strRing = plat::SharedObjectPath("QGEvShm");
    const int fd = ::shm_open(strRing.c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(0, ::fchown(fd, 65534, static_cast<gid_t>(-1)));
    ASSERT_EQ(0, ::ftruncate(fd, 0));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Engine.InputMayComeBack(); }));
    std::string strInput;
    EXPECT_FALSE(m_Engine.DescribeInput(strInput));
    EXPECT_NE(std::string::npos, strInput.find("could not be mapped again")) << strInput;
    ASSERT_EQ(0, ::fchown(fd, ::geteuid(), static_cast<gid_t>(-1)));
    ::close(fd);

    ASSERT_EQ(0, m_Engine.OnPauseInit(0));
    ASSERT_EQ(0, m_Engine.OnPause(0));
    ASSERT_EQ(0, m_Engine.OnResume(0));
    EXPECT_FALSE(m_Engine.InputMayComeBack());
    EXPECT_TRUE(m_Engine.DescribeInput(strInput)) << strInput;
    Module({"write", "--name", "Web_Shell", "--id", "1234"});
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Engine.Count() == 2; }));
}
