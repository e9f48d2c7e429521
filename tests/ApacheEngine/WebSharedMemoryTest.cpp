#include "ApacheEngine/WebSharedMemory.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/NamedObject.h"
#include "platform/Semaphore.h"
#include "platform/SemaphoreCore.h"
#include "platform/SharedMapping.h"
#include "qorCSFLib/FakeHost.h"
#include "support/ChildProcess.h"
#include "support/ConsoleCapture.h"
#include "support/SleepClock.h"
#include "support/TestUtil.h"

namespace {

uint32_t Get32(const uint8_t* pView, uint32_t dwOffset) {
    uint32_t dwValue;
    std::memcpy(&dwValue, pView + dwOffset, sizeof dwValue);
    return dwValue;
}

void Put32(uint8_t* pView, uint32_t dwOffset, uint32_t dwValue) { std::memcpy(pView + dwOffset, &dwValue, 4); }

WebEventRecord MakeRingRecord(int32_t nId, const char* pszName, int32_t nClassLength = 0) {
    WebEventRecord record{};
    record.nEventId = nId;
    std::snprintf(record.szEventName, sizeof record.szEventName, "%s", pszName);
    record.nClassLength = nClassLength;
    return record;
}

class WebSharedMemoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The objects are in the test's own scope, which the modules it
        // starts inherit.
        ASSERT_EQ(0, WebShmAttach(true));
        m_pRing = WebShmEvView();
    }
    void TearDown() override { WebShmDetach(); }

    bool Read(WebEventRecord& record, std::string& strClass) {
        int32_t nLength = 0;
        bool bTaken = WebShmReadEvent(record, m_classBuffer.data(), nLength);
        strClass.assign(m_classBuffer.data(), static_cast<size_t>(nLength));
        return bTaken;
    }

    uint8_t* m_pRing = nullptr;
    std::vector<char> m_classBuffer = std::vector<char>(kWebMaxClassLength);
};

TEST_F(WebSharedMemoryTest, EmptyRingReadClearsOverflowAndConsumesNothing) {
    Put32(m_pRing, kWebEvOverflow, 1);
    WebEventRecord record;
    std::string strClass;
    EXPECT_FALSE(Read(record, strClass));
    EXPECT_EQ(0u, Get32(m_pRing, kWebEvOverflow));
    EXPECT_EQ(kWebEvCapacity, Get32(m_pRing, kWebEvFree));
    EXPECT_EQ(kWebEvDataStart, Get32(m_pRing, kWebEvRead));
}

TEST_F(WebSharedMemoryTest, MessageAcrossTheDataEndIsReadWhole) {
    Put32(m_pRing, kWebEvRead, kWebEvDataEnd - 100);
    Put32(m_pRing, kWebEvWrite, kWebEvDataEnd - 100);
    std::string strText = "a=1,b=2";
    strText.push_back('\0');
    ASSERT_EQ(0, WebShmWriteEvent(MakeRingRecord(7, "Web_Probe", static_cast<int32_t>(strText.size())), strText.data()));
    WebEventRecord record;
    std::string strClass;
    ASSERT_TRUE(Read(record, strClass));
    EXPECT_EQ(7, record.nEventId);
    EXPECT_STREQ("Web_Probe", record.szEventName);
    EXPECT_EQ(strText, strClass);
    EXPECT_EQ(140u + strText.size(), Get32(m_pRing, kWebEvRead));
    EXPECT_EQ(kWebEvCapacity, Get32(m_pRing, kWebEvFree));
}

// Each message that finds no room is dropped by the write itself, which
// raises the flag and counts it; the next read takes the count and clears
// both, and tells its caller.
TEST_F(WebSharedMemoryTest, FullRingDropsTheMessageRaisesOverflowAndCountsEachDrop) {
    int nWritten = 0;
    bool bWritten = false;
    while (Get32(m_pRing, kWebEvFree) >= kWebRecordSize) {
        ASSERT_EQ(0, WebShmWriteEvent(MakeRingRecord(++nWritten, "x"), nullptr, &bWritten));
        ASSERT_TRUE(bWritten);
    }
    EXPECT_EQ(0u, Get32(m_pRing, kWebEvOverflow));
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(0, WebShmWriteEvent(MakeRingRecord(999, "dropped"), nullptr, &bWritten));
        EXPECT_FALSE(bWritten);
    }
    EXPECT_EQ(1u, Get32(m_pRing, kWebEvOverflow));
    EXPECT_EQ(3u, Get32(m_pRing, kWebEvDropped));
    WebEventRecord record;
    std::vector<char> classText(kWebMaxClassLength);
    int32_t nLength = 0;
    bool bReached = false;
    bool bOverflowed = false;
    uint32_t dwDropped = 0;
    ASSERT_TRUE(WebShmReadEvent(record, classText.data(), nLength, &bReached, &bOverflowed, &dwDropped));
    EXPECT_EQ(1, record.nEventId);
    EXPECT_TRUE(bOverflowed);
    EXPECT_EQ(3u, dwDropped);
    EXPECT_EQ(0u, Get32(m_pRing, kWebEvOverflow));
    EXPECT_EQ(0u, Get32(m_pRing, kWebEvDropped));
    std::string strClass;
    for (int i = 2; i <= nWritten; ++i) {
        ASSERT_TRUE(Read(record, strClass));
        EXPECT_EQ(i, record.nEventId);
    }
    EXPECT_FALSE(WebShmReadEvent(record, classText.data(), nLength, &bReached, &bOverflowed, &dwDropped));
    EXPECT_FALSE(bOverflowed);
    EXPECT_EQ(0u, dwDropped);
}

// A module that only raises the flag (one that does not count) is still an
// overflow; a count with the flag down is the module's word all the same.
TEST_F(WebSharedMemoryTest, FlagWithoutACountAndCountWithoutTheFlagAreBothOverflows) {
    WebEventRecord record;
    std::vector<char> classText(kWebMaxClassLength);
    int32_t nLength = 0;
    bool bOverflowed = false;
    uint32_t dwDropped = 7;
    Put32(m_pRing, kWebEvOverflow, 1);
    EXPECT_FALSE(WebShmReadEvent(record, classText.data(), nLength, nullptr, &bOverflowed, &dwDropped));
    EXPECT_TRUE(bOverflowed);
    EXPECT_EQ(0u, dwDropped);
    Put32(m_pRing, kWebEvDropped, 5);
    EXPECT_FALSE(WebShmReadEvent(record, classText.data(), nLength, nullptr, &bOverflowed, &dwDropped));
    EXPECT_TRUE(bOverflowed);
    EXPECT_EQ(5u, dwDropped);
}

// The reader sleeps on the write offset: a write after the read that found
// the ring empty ends the sleep at once (here it came before the sleep
// began, as a module's write may), a sleep without one runs its time, and
// the reader's own process ends it from another thread (a stop).
TEST_F(WebSharedMemoryTest, WriteAfterAnEmptyReadEndsTheReadersSleepAndAStopWakesIt) {
    using Clock = std::chrono::steady_clock;
    WebEventRecord record;
    std::string strClass;
    EXPECT_EQ(plat::SharedWordWait::kFailed, WebShmAwaitWrite(10)) << "no empty ring seen yet";
    ASSERT_FALSE(Read(record, strClass));
    ASSERT_EQ(0, WebShmWriteEvent(MakeRingRecord(1, "written"), nullptr));
    auto start = Clock::now();
    EXPECT_EQ(plat::SharedWordWait::kWoken, WebShmAwaitWrite(30000));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    ASSERT_TRUE(Read(record, strClass));

    ASSERT_FALSE(Read(record, strClass));
    start = Clock::now();
    EXPECT_EQ(plat::SharedWordWait::kTimedOut, WebShmAwaitWrite(50));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));

    ASSERT_FALSE(Read(record, strClass));
    std::atomic<bool> bDone{false};
    std::thread waker([&] {
        // A wake before the sleep began is lost, as it may be at a stop:
        // the stop's wake comes again until the sleep has ended.
        while (!bDone.load())
            WebShmWakeReader();
    });
    start = Clock::now();
    EXPECT_EQ(plat::SharedWordWait::kWoken, WebShmAwaitWrite(30000));
    bDone = true;
    waker.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

// The module's own write, from its own process, wakes a reader asleep on
// the ring.
TEST_F(WebSharedMemoryTest, ModulesWriteWakesTheSleepingReader) {
    WebEventRecord record;
    std::string strClass;
    ASSERT_FALSE(Read(record, strClass));
    hwtest::ChildProcess module;
    hwtest::ScratchDirectory scratch;
    ASSERT_TRUE(module.Start({HW_BINARY_DIR "/bin/hw-webmodule", "write", "--name", "woken", "--id", "3"},
                             scratch.File("module.out")));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(plat::SharedWordWait::kWoken, WebShmAwaitWrite(60000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    int nExit = -1;
    ASSERT_TRUE(module.Wait(60, nExit));
    EXPECT_EQ(0, nExit);
    ASSERT_TRUE(Read(record, strClass));
    EXPECT_STREQ("woken", record.szEventName);
}

// A header or record written wrongly by the other side: the reader takes
// nothing out of bounds, empties the ring, tells the module and the log
// (once however often it recurs within seconds), and goes on.
TEST_F(WebSharedMemoryTest, DamagedRingIsResetAndFlagged) {
    ScopedHostLog log;
    struct Damage {
        const char* pszWhat;
        uint32_t dwOffset;  // into the ring, or of the record at the read offset
        uint32_t dwValue;
        bool bInRecord;
    };
    const Damage damages[] = {
        {"free above capacity", kWebEvFree, kWebEvCapacity + 1, false},
        {"read offset past the end", kWebEvRead, kWebEvDataEnd, false},
        {"read offset in the header", kWebEvRead, 8, false},
        {"moved data start", kWebEvStart, 0, false},
        {"offsets disagree with free", kWebEvWrite, kWebEvDataStart + 4, false},
        {"class length beyond the queued bytes", 76, 1000, true},
        {"negative class length", 76, 0xFFFFFFF0u, true},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.pszWhat);
        ASSERT_EQ(0, WebShmWriteEvent(MakeRingRecord(1, "a"), nullptr));
        if (damage.bInRecord)
            Put32(m_pRing, Get32(m_pRing, kWebEvRead) + damage.dwOffset, damage.dwValue);
        else
            Put32(m_pRing, damage.dwOffset, damage.dwValue);
        WebEventRecord record;
        std::string strClass;
        EXPECT_FALSE(Read(record, strClass));
        EXPECT_EQ(1u, Get32(m_pRing, kWebEvOverflow));
        EXPECT_EQ(kWebEvCapacity, Get32(m_pRing, kWebEvFree));
        ASSERT_EQ(0, WebShmWriteEvent(MakeRingRecord(2, "after"), nullptr));
        ASSERT_TRUE(Read(record, strClass));
        EXPECT_EQ(2, record.nEventId);
    }
    size_t nReported = 0;
    for (const std::string& strLine : log.m_Services.Texts())
        nReported += strLine.find("Event ring damaged: R ") == 0 ? 1 : 0;
    EXPECT_EQ(1u, nReported);
}

TEST_F(WebSharedMemoryTest, UnterminatedTextsEndAtTheirFields) {
    WebEventRecord written = MakeRingRecord(3, "");
    std::memset(written.szEventName, 'n', sizeof written.szEventName);
    std::memset(written.szIntruderMac, 'm', sizeof written.szIntruderMac);
    ASSERT_EQ(0, WebShmWriteEvent(written, nullptr));
    WebEventRecord record;
    std::string strClass;
    ASSERT_TRUE(Read(record, strClass));
    EXPECT_EQ(kWebEventNameSize - 1, std::strlen(record.szEventName));
    EXPECT_EQ(kWebMacTextSize - 1, std::strlen(record.szIntruderMac));
}

TEST_F(WebSharedMemoryTest, WriterKilledHoldingTheLockDoesNotStopTheReader) {
    hwtest::ScratchDirectory scratch;
    hwtest::ChildProcess writer;
    ASSERT_TRUE(writer.Start({HW_BINARY_DIR "/bin/hw-webmodule", "hold-lock"}, scratch.File("out")));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return hwtest::ReadWholeFile(scratch.File("out")) == "holding\n"; }));
    ASSERT_EQ(0, kill(writer.Pid(), SIGKILL));
    int nExit = 0;
    ASSERT_TRUE(writer.Wait(30, nExit));
    ASSERT_EQ(0, WebShmWriteEvent(MakeRingRecord(4, "after the crash"), nullptr));
    WebEventRecord record;
    std::string strClass;
    ASSERT_TRUE(Read(record, strClass));
    EXPECT_STREQ("after the crash", record.szEventName);
}

}  // namespace

// A member of the web-server group that takes the lock word inside the
// ring's mutex and keeps it costs the reader one wait of a second, then a
// short try per turn, until it lets go: never a reader held for good.
TEST_F(WebSharedMemoryTest, LockWordKeptByAnotherProcessCostsOneWaitThenTriesUntilItIsFree) {
    const int fd = shm_open(plat::SharedObjectPath("QGEvMutex").c_str(), O_RDWR, 0);
    ASSERT_LE(0, fd);
    void* pView = mmap(nullptr, sizeof(plat::SemaphoreCore), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(MAP_FAILED, pView);
    std::atomic_ref<uint32_t> word(static_cast<plat::SemaphoreCore*>(pView)->lock);
    // Held by a process that lives as long as the test: the system's first.
    word.store(1);
    WebEventRecord record;
    std::string strClass;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Read(record, strClass));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kWebLockWaitMs));
    // The next read only tries: it sleeps on no lock, which its own sleep
    // tells however long a busy machine keeps it from a processor.
    const hwtest::SleepClock tried;
    EXPECT_FALSE(Read(record, strClass));
    EXPECT_LT(tried.Slept(), std::chrono::milliseconds(kWebLockWaitMs / 2))
        << hwtest::Ms(tried.Slept()) << " ms asleep of " << hwtest::Ms(tried.Wall()) << " ms";

    word.store(0);
    ASSERT_EQ(0, WebShmWriteEvent(MakeRingRecord(5, "after the hold"), nullptr));
    ASSERT_TRUE(Read(record, strClass));
    EXPECT_STREQ("after the hold", record.szEventName);
    munmap(pView, sizeof(plat::SemaphoreCore));
}

// A ring another account cut short is no ring to an opener, which says
// how short it is; its maker makes it whole again, empty.  The objects
// are opened to the process's own group, as to a web server's.
TEST(WebSharedMemoryCutTest, RingCutShortIsRefusedToAnOpenerAndMadeWholeByItsMaker) {
    const struct group* pGroup = ::getgrgid(::getegid());
    ASSERT_NE(nullptr, pGroup);
    hwtest::EnvironmentOverride group(kWebGroupVariable, pGroup->gr_name);
    ASSERT_EQ(0, WebShmAttach(true));
    // Second users, so that the names outlive the detach.
    plat::Semaphore lockUser;
    ASSERT_TRUE(lockUser.OpenExisting("QGEvMutex"));
    plat::SharedMapping ringUser;
    ASSERT_TRUE(ringUser.Open("QGEvShm"));
    const int fd = shm_open(plat::SharedObjectPath("QGEvShm").c_str(), O_RDWR, 0);
    ASSERT_LE(0, fd);
    ASSERT_EQ(0, ftruncate(fd, 4096));
    hwtest::ConsoleCapture console;
    EXPECT_EQ(0, WebShmDetach());
    EXPECT_TRUE(console.Contains("WARNING: The web-server area QGEvShm was cut short by another account: "))
        << console.Text();

    std::string strProblem;
    EXPECT_EQ(1, WebShmAttach(false, nullptr, &strProblem));
    EXPECT_EQ("Error mapping to shared Object (QGEvShm holds 4096 bytes, fewer than the 65536 of its layout)",
              strProblem);
    ASSERT_EQ(0, ftruncate(fd, 0));
    EXPECT_EQ(1, WebShmAttach(false, nullptr, &strProblem));
    EXPECT_EQ("Error mapping to shared Object (QGEvShm holds 0 bytes, fewer than the 65536 of its layout)",
              strProblem);
    ASSERT_EQ(0, WebShmAttach(true, nullptr, &strProblem)) << strProblem;
    ASSERT_EQ(0, WebShmWriteEvent(MakeRingRecord(5, "after the cut"), nullptr));
    WebEventRecord record;
    std::vector<char> classText(kWebMaxClassLength);
    int32_t nLength = 0;
    ASSERT_TRUE(WebShmReadEvent(record, classText.data(), nLength));
    EXPECT_STREQ("after the cut", record.szEventName);
    EXPECT_EQ(0, WebShmDetach());
    close(fd);
    lockUser.Close();
    ringUser.Close();

    // An opener that finds no mutex says so in words.
    EXPECT_EQ(1, WebShmAttach(false, nullptr, &strProblem));
    EXPECT_EQ("Error attaching to mutex : 2 (No such file or directory)", strProblem);
}
