// A shared semaphore against what another process of its share group can
// do to the memory they share: keep the lock that guards the counts, die
// holding it, or write anything at all over it.  The "other process" is
// played by writing its id into the lock word, as its lock would.

#include "platform/Semaphore.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/LastError.h"
#include "platform/NamedObject.h"
#include "platform/Process.h"
#include "platform/SemaphoreCore.h"

namespace {

using Clock = std::chrono::steady_clock;

// The process every system has, alive for as long as the test runs.
constexpr uint32_t kLiveProcess = 1;

std::string UniqueName(const std::string& base) { return "test.semaphore." + base + "." + std::to_string(getpid()); }

// The semaphore's memory as another process of its group maps it.
class ForeignView {
public:
    explicit ForeignView(const std::string& name) {
        const int fd = shm_open(plat::SharedObjectPath(name).c_str(), O_RDWR, 0);
        if (fd >= 0) {
            void* view = mmap(nullptr, sizeof(plat::SemaphoreCore), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            m_pCore = view == MAP_FAILED ? nullptr : static_cast<plat::SemaphoreCore*>(view);
            close(fd);
        }
    }
    ~ForeignView() {
        if (m_pCore != nullptr)
            munmap(m_pCore, sizeof(plat::SemaphoreCore));
    }
    ForeignView(const ForeignView&) = delete;
    ForeignView& operator=(const ForeignView&) = delete;

    plat::SemaphoreCore* operator->() const { return m_pCore; }
    bool IsMapped() const { return m_pCore != nullptr; }
    void SetLockWord(uint32_t dwValue) { std::atomic_ref<uint32_t>(m_pCore->lock).store(dwValue); }
    uint32_t LockWord() const { return std::atomic_ref<uint32_t>(m_pCore->lock).load(); }

private:
    plat::SemaphoreCore* m_pCore = nullptr;
};

// A wait that must end at once is given far longer than any machine takes,
// however busy: one that waited out its time instead is told from a slow
// one by the whole minute, not by a guess at the machine's speed.
constexpr uint32_t kNeverMs = 60000;
constexpr auto kAtOnce = std::chrono::milliseconds(kNeverMs / 2);

// How long `step` took.
template <typename Step>
Clock::duration Timed(Step step) {
    const auto start = Clock::now();
    step();
    return Clock::now() - start;
}

// A process that has ended, reaped (`bReaped`) or left a zombie.
pid_t EndedProcess(bool bReaped) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    if (bReaped) {
        int status = 0;
        waitpid(child, &status, 0);
    } else {
        siginfo_t info{};
        waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT);
    }
    return child;
}

// Short tries at the semaphore, as the web engine makes once a wait ran
// out, until one takes a unit (30 s at most); how long they took.
Clock::duration TriesUntilTaken(plat::Semaphore& semaphore) {
    const auto began = Clock::now();
    plat::WaitResult result = plat::kWaitTimeout;
    while (result != plat::kWaitSignalled && Clock::now() - began < std::chrono::seconds(30)) {
        result = semaphore.Wait(20);
    }
    EXPECT_EQ(plat::kWaitSignalled, result);
    return Clock::now() - began;
}

// The entry of process `pid` with its true start time.
plat::SemaphoreCore::Holder LiveEntry(pid_t pid, uint32_t units) {
    char state = 0;
    uint64_t startTime = 0;
    plat::ReadProcessStart(pid, state, startTime);
    return {static_cast<int32_t>(pid), units, startTime};
}

// A semaphore of the case's own and the view another process has of it.
class SemaphoreTest : public ::testing::Test {
protected:
    void Open(const std::string& base, int32_t nInitial, int32_t nMaximum) {
        m_strName = UniqueName(base);
        ASSERT_TRUE(m_Semaphore.Open(m_strName, nInitial, nMaximum));
        m_pOther = std::make_unique<ForeignView>(m_strName);
        ASSERT_TRUE(m_pOther->IsMapped());
    }

    std::string m_strName;
    plat::Semaphore m_Semaphore;
    std::unique_ptr<ForeignView> m_pOther;
};

}  // namespace

// The counts' lock kept by a live process costs each wait its deadline, a
// release its short wait, and nothing more: the unit the release could not
// give is given at the next turn once the lock is free again, also through
// a close and a later opening.
TEST_F(SemaphoreTest, CountsLockKeptByAnotherProcessTimesWaitsOutAndKeepsNoUnitForGood) {
    ASSERT_NO_FATAL_FAILURE(Open("held", 1, 1));
    plat::Semaphore& semaphore = m_Semaphore;
    ForeignView& other = *m_pOther;
    const std::string& name = m_strName;
    ASSERT_EQ(plat::kWaitSignalled, semaphore.Wait(0));
    // The word is taken over only after the whole minute: a wait or release
    // that outlasted its own deadline holds until then, and is told from a
    // slow machine's by that minute.
    semaphore.SetHoldBound(kNeverMs);

    other.SetLockWord(kLiveProcess);
    auto took = Timed([&] { EXPECT_EQ(plat::kWaitTimeout, semaphore.Wait(200)); });
    EXPECT_GE(took, std::chrono::milliseconds(200));
    EXPECT_LT(took, kAtOnce);
    took = Timed([&] {
        EXPECT_FALSE(semaphore.Release(1));
        EXPECT_EQ(plat::kErrWaitTimeout, plat::GetLastError());
    });
    EXPECT_LT(took, kAtOnce);
    EXPECT_EQ(kLiveProcess, other.LockWord() & ~plat::kCoreLockWaiters) << "taken over, not given up at its deadline";
    EXPECT_EQ(plat::kWaitTimeout, semaphore.Wait(0));

    other.SetLockWord(0);
    EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(0));
    EXPECT_EQ(plat::kWaitTimeout, semaphore.Wait(0));

    // Owed at the close, given by the next opening of the same semaphore.
    other.SetLockWord(kLiveProcess);
    EXPECT_FALSE(semaphore.Release(1));
    plat::Semaphore keeper;
    ASSERT_TRUE(keeper.OpenExisting(name));
    semaphore.Close();
    other.SetLockWord(0);
    ASSERT_TRUE(semaphore.OpenExisting(name));
    EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(0));
    EXPECT_TRUE(semaphore.Release(1));
}

// A holder that died in the counts' lock, reaped or not, is taken over at
// once, as the system's robust locks are.
TEST_F(SemaphoreTest, CountsLockOfADeadHolderIsTakenOver) {
    ASSERT_NO_FATAL_FAILURE(Open("dead", 2, 2));
    plat::Semaphore& semaphore = m_Semaphore;
    ForeignView& other = *m_pOther;
    for (bool bReaped : {true, false}) {
        SCOPED_TRACE(bReaped ? "reaped" : "zombie");
        const pid_t dead = EndedProcess(bReaped);
        other.SetLockWord(static_cast<uint32_t>(dead));
        const auto took = Timed([&] { EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(kNeverMs)); });
        EXPECT_LT(took, kAtOnce);
        EXPECT_EQ(0u, other.LockWord());
        EXPECT_TRUE(semaphore.Release(1));
        if (!bReaped) {
            int status = 0;
            waitpid(dead, &status, 0);
        }
    }
}

// Units no living process accounts for come back to the next wait that
// finds none free, and the wait says so: those of a process of the group
// that took them without an entry (its id in the lock word, the count
// written to 0) and ended, and those of a child that took one through the
// semaphore its parent opened, which must be recorded under the child's
// own id, not the parent's that the process read before the fork.
TEST_F(SemaphoreTest, UnitsNoLivingProcessHoldsComeBackToTheNextWait) {
    ASSERT_NO_FATAL_FAILURE(Open("unaccounted", 1, 1));
    plat::Semaphore& semaphore = m_Semaphore;
    ForeignView& other = *m_pOther;
    plat::Semaphore::Findings found;
    ASSERT_EQ(plat::kWaitSignalled, semaphore.Wait(0));
    ASSERT_TRUE(semaphore.Release(1));
    EXPECT_FALSE(semaphore.TakeFindings(found));

    const pid_t taker = fork();
    if (taker == 0) {
        ForeignView view(m_strName);
        std::atomic_ref<uint32_t>(view->lock).store(static_cast<uint32_t>(getpid()));
        view->count = 0;
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(taker, waitpid(taker, &status, 0));
    EXPECT_EQ(0, other->count);
    auto took = Timed([&] { EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(kNeverMs)); });
    EXPECT_LT(took, kAtOnce);
    ASSERT_TRUE(semaphore.TakeFindings(found));
    EXPECT_EQ(1, found.unitsGivenBack);
    EXPECT_FALSE(found.overClaimed);
    // Given back once: the semaphore still holds one unit in all.
    EXPECT_EQ(plat::kWaitTimeout, semaphore.Wait(0));
    EXPECT_FALSE(semaphore.TakeFindings(found));
    ASSERT_TRUE(semaphore.Release(1));

    const pid_t child = fork();
    if (child == 0) {
        _exit(semaphore.Wait(1000) == plat::kWaitSignalled ? 0 : 1);
    }
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    took = Timed([&] { EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(kNeverMs)); });
    EXPECT_LT(took, kAtOnce);
    ASSERT_TRUE(semaphore.TakeFindings(found));
    EXPECT_EQ(1, found.unitsGivenBack);
    EXPECT_EQ(1u, found.endedHolders);
    EXPECT_TRUE(semaphore.Release(1));
}

// Counts written past the maximum or below 0 are put back inside and
// said; holders' entries of living processes that claim more than the
// semaphore has (a table full of them, the first process's id with its
// true start time) cost each wait its deadline and are said; an entry
// whose process id now belongs to another process (reused, or written with
// the wrong start time) is an ended holder's, and its unit comes back.
TEST_F(SemaphoreTest, ScribbledCountsAndHoldersAreSaidAndEndInTime) {
    ASSERT_NO_FATAL_FAILURE(Open("scribbled-counts", 1, 1));
    plat::Semaphore& semaphore = m_Semaphore;
    ForeignView& other = *m_pOther;
    plat::Semaphore::Findings found;

    other->count = 7;
    EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(0));
    ASSERT_TRUE(semaphore.TakeFindings(found));
    EXPECT_TRUE(found.countOutOfRange);
    EXPECT_EQ(0, other->count);
    EXPECT_EQ(plat::kWaitTimeout, semaphore.Wait(0));
    EXPECT_TRUE(semaphore.Release(1));

    other->count = -3;
    EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(200));
    ASSERT_TRUE(semaphore.TakeFindings(found));
    EXPECT_TRUE(found.countOutOfRange);
    EXPECT_EQ(1, found.unitsGivenBack);
    EXPECT_TRUE(semaphore.Release(1));

    for (auto& holder : other->holders) {
        holder = LiveEntry(static_cast<pid_t>(kLiveProcess), 1);
    }
    other->count = 0;
    // A wait that did not end by its deadline here does not end at all.
    auto took = Timed([&] { EXPECT_EQ(plat::kWaitTimeout, semaphore.Wait(300)); });
    EXPECT_LT(took, kAtOnce);
    ASSERT_TRUE(semaphore.TakeFindings(found));
    EXPECT_TRUE(found.overClaimed);
    EXPECT_EQ(0, found.unitsGivenBack);
    other->count = 1;
    EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(0));
    ASSERT_TRUE(semaphore.TakeFindings(found));
    EXPECT_TRUE(found.tableFull);
    EXPECT_TRUE(semaphore.Release(1));

    for (auto& holder : other->holders) {
        holder = {};
    }
    other->holders[5] = LiveEntry(static_cast<pid_t>(kLiveProcess), 1);
    ++other->holders[5].startTime;
    other->count = 0;
    took = Timed([&] { EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(kNeverMs)); });
    EXPECT_LT(took, kAtOnce);
    ASSERT_TRUE(semaphore.TakeFindings(found));
    EXPECT_EQ(1u, found.endedHolders);
    EXPECT_EQ(1, found.unitsGivenBack);
    EXPECT_EQ(0, other->holders[5].pid);
    EXPECT_TRUE(semaphore.Release(1));

    // Waits said to sleep on the count (left by one killed asleep, or
    // written over) cost the next release a wake that finds nobody, and
    // no release after it.
    other->sleepers = 5;
    EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(0));
    EXPECT_TRUE(semaphore.Release(1));
    EXPECT_EQ(0u, other->sleepers);
}

// Three processes and two threads in each take turns on one lock as fast
// as they can: no two are ever inside at once, and every turn is had.
TEST_F(SemaphoreTest, ExcludesAcrossProcessesAndThreadsUnderContention) {
    ASSERT_NO_FATAL_FAILURE(Open("contended", 1, 1));
    plat::Semaphore& semaphore = m_Semaphore;
    constexpr int kTurns = 4000;
    struct Shared {
        uint64_t counter;
        uint32_t inside;
        uint32_t overlaps;
        uint32_t failed;
    };
    void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, memory);
    auto* shared = static_cast<Shared*>(memory);
    *shared = {};
    auto turns = [&] {
        for (int turn = 0; turn < kTurns; ++turn) {
            if (semaphore.Wait(10000) != plat::kWaitSignalled) {
                std::atomic_ref<uint32_t>(shared->failed).fetch_add(1);
                continue;
            }
            if (std::atomic_ref<uint32_t>(shared->inside).fetch_add(1) != 0)
                std::atomic_ref<uint32_t>(shared->overlaps).fetch_add(1);
            const uint64_t value = std::atomic_ref<uint64_t>(shared->counter).load(std::memory_order_relaxed);
            std::atomic_ref<uint64_t>(shared->counter).store(value + 1, std::memory_order_relaxed);
            std::atomic_ref<uint32_t>(shared->inside).fetch_sub(1);
            semaphore.Release(1);
        }
    };
    auto twoThreads = [&] {
        std::thread second(turns);
        turns();
        second.join();
    };
    std::vector<pid_t> children;
    for (int i = 0; i < 2; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            twoThreads();
            _exit(0);
        }
        children.push_back(child);
    }
    twoThreads();
    for (const pid_t child : children) {
        int status = 0;
        EXPECT_EQ(child, waitpid(child, &status, 0));
    }
    EXPECT_EQ(0u, shared->overlaps);
    EXPECT_EQ(0u, shared->failed);
    EXPECT_EQ(uint64_t{6} * kTurns, shared->counter);
    plat::Semaphore::Findings found;
    EXPECT_FALSE(semaphore.TakeFindings(found));
    munmap(memory, sizeof(Shared));
}

// Whatever another process writes over the semaphore, every call returns
// by its deadline and none reads or writes out of bounds or overflows; an
// opener refuses a core that is no semaphore.  Seeds that ever failed stay.
TEST_F(SemaphoreTest, ScribbledCoreFailsCleanly) {
    ASSERT_NO_FATAL_FAILURE(Open("scribbled", 1, 1));
    plat::Semaphore& semaphore = m_Semaphore;
    ForeignView& other = *m_pOther;
    const std::string& name = m_strName;
    // A word scribbled with a living process's id is taken over only after
    // the whole minute: a call that outlasts its deadline on it holds until
    // then, and is told from a slow machine's by that minute.
    semaphore.SetHoldBound(kNeverMs);
    auto* pBytes = reinterpret_cast<unsigned char*>(&other->lock);
    const size_t nBytes = sizeof(plat::SemaphoreCore) - offsetof(plat::SemaphoreCore, lock);
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        for (size_t i = 0; i < nBytes; ++i) {
            pBytes[i] = static_cast<unsigned char>(random());
        }
        // Extremes of the counts every few seeds.
        if (seed % 4 == 0) {
            other->count = seed % 8 == 0 ? INT32_MIN : INT32_MAX;
            other->maximum = seed % 8 == 0 ? INT32_MAX : INT32_MIN;
        }
        const auto took = Timed([&] {
            const plat::WaitResult result = semaphore.Wait(20);
            EXPECT_TRUE(result == plat::kWaitSignalled || result == plat::kWaitTimeout) << result;
            semaphore.Release(1);
            semaphore.Release(INT32_MAX);
        });
        EXPECT_LT(took, kAtOnce);
    }
    other->magic = 0;
    plat::Semaphore opener;
    EXPECT_FALSE(opener.OpenExisting(name));
    EXPECT_EQ(plat::kErrInvalidHandle, plat::GetLastError());
    EXPECT_FALSE(opener.Open(name, 1, 1));
}

// The word that guards the counts, written with the id of a process that
// lives and never lets it go (the first process, or this very process, as
// though another of its threads held it), costs the waits no more than
// kCoreLockKeptMs, or the hold bound where one is set: it guards a few
// instructions, so a word kept that long is taken over, and said.  A word
// that is let go and taken again in between is never taken over.
TEST_F(SemaphoreTest, CountsLockWordKeptForGoodIsTakenOverInTime) {
    ASSERT_NO_FATAL_FAILURE(Open("kept-word", 1, 1));
    plat::Semaphore& semaphore = m_Semaphore;
    ForeignView& other = *m_pOther;
    plat::Semaphore::Findings found;
    constexpr uint32_t kBoundMs = 500;
    for (const uint32_t holder : {kLiveProcess, static_cast<uint32_t>(getpid())}) {
        SCOPED_TRACE(holder);
        const uint32_t bound = holder == kLiveProcess ? plat::Semaphore::kCoreLockKeptMs : kBoundMs;
        semaphore.SetHoldBound(holder == kLiveProcess ? 0 : kBoundMs);
        other.SetLockWord(holder);
        EXPECT_GE(TriesUntilTaken(semaphore), std::chrono::milliseconds(bound));
        ASSERT_TRUE(semaphore.TakeFindings(found));
        EXPECT_TRUE(found.keptTooLong);
        EXPECT_EQ(0, found.unitsGivenBack);
        EXPECT_TRUE(semaphore.Release(1));
        EXPECT_EQ(0u, other.LockWord());
    }

    // Kept again and again, but let go between: never taken over.
    const auto began = Clock::now();
    while (Clock::now() - began < std::chrono::milliseconds(3 * kBoundMs)) {
        other.SetLockWord(kLiveProcess);
        EXPECT_EQ(plat::kWaitTimeout, semaphore.Wait(kBoundMs / 3));
        other.SetLockWord(0);
        EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(0));
        EXPECT_TRUE(semaphore.Release(1));
    }
    EXPECT_FALSE(semaphore.TakeFindings(found));
}

// An entry that names this process for a unit it never took gives that
// unit back to the next wait that finds none free, and is said.  Units
// that living processes keep (the first process named with its true start
// time, as any process of the group may write) come back once the hold
// bound has passed with none free and none released, and are said; a
// holder that releases meanwhile keeps its turn, and without a bound they
// are taken at their word.
TEST_F(SemaphoreTest, UnitsOfFalseOrStaleHoldersComeBack) {
    ASSERT_NO_FATAL_FAILURE(Open("false-holders", 1, 1));
    plat::Semaphore& semaphore = m_Semaphore;
    ForeignView& other = *m_pOther;
    plat::Semaphore::Findings found;
    other->holders[9] = LiveEntry(getpid(), 1);
    other->count = 0;
    auto took = Timed([&] { EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(kNeverMs)); });
    EXPECT_LT(took, kAtOnce);
    ASSERT_TRUE(semaphore.TakeFindings(found));
    EXPECT_EQ(1u, found.falseHolders);
    EXPECT_EQ(1, found.unitsGivenBack);
    EXPECT_FALSE(found.keptTooLong);
    // Its own unit, held for real, stays its own.
    EXPECT_EQ(plat::kWaitTimeout, semaphore.Wait(300));
    EXPECT_TRUE(semaphore.Release(1));

    constexpr uint32_t kBoundMs = 500;
    other->holders[3] = LiveEntry(static_cast<pid_t>(kLiveProcess), 1);
    other->count = 0;
    EXPECT_EQ(plat::kWaitTimeout, semaphore.Wait(2 * kBoundMs));
    EXPECT_FALSE(semaphore.TakeFindings(found));

    semaphore.SetHoldBound(kBoundMs);
    // Released and taken again at every turn: never past the bound.
    const auto began = Clock::now();
    while (Clock::now() - began < std::chrono::milliseconds(3 * kBoundMs)) {
        EXPECT_EQ(plat::kWaitTimeout, semaphore.Wait(kBoundMs / 4));
        std::atomic_ref<uint32_t>(other->sequence).fetch_add(1);
    }
    EXPECT_FALSE(semaphore.TakeFindings(found));

    EXPECT_GE(TriesUntilTaken(semaphore), std::chrono::milliseconds(kBoundMs));
    ASSERT_TRUE(semaphore.TakeFindings(found));
    EXPECT_TRUE(found.keptTooLong);
    EXPECT_EQ(1, found.unitsGivenBack);
    EXPECT_EQ(0, other->holders[3].pid);
    EXPECT_EQ(plat::kWaitTimeout, semaphore.Wait(0));
    EXPECT_TRUE(semaphore.Release(1));

    // A holder whose unit was taken back gives it later into a full count:
    // refused, and it holds nothing since, so a unit then taken without an
    // entry and left comes back to it.
    ASSERT_EQ(plat::kWaitSignalled, semaphore.Wait(0));
    other->count = 1;
    EXPECT_FALSE(semaphore.Release(1));
    EXPECT_EQ(plat::kErrTooManyPosts, plat::GetLastError());
    other->count = 0;
    took = Timed([&] { EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(kNeverMs)); });
    EXPECT_LT(took, kAtOnce);
    EXPECT_TRUE(semaphore.Release(1));
}

// A layout written over (its magic, size, maximum or units in all) keeps
// every later opener out: the process that made the semaphore puts it back
// at its next turn and says so, and an object grown past its core still
// opens.
TEST_F(SemaphoreTest, LayoutWrittenOverIsPutBackByItsMaker) {
    ASSERT_NO_FATAL_FAILURE(Open("layout", 1, 1));
    plat::Semaphore& semaphore = m_Semaphore;
    ForeignView& other = *m_pOther;
    plat::Semaphore::Findings found;
    const auto scribbles = {+[](plat::SemaphoreCore& core) { core.magic = 0; },
                            +[](plat::SemaphoreCore& core) { core.size = 4096; },
                            +[](plat::SemaphoreCore& core) { core.maximum = 0; },
                            +[](plat::SemaphoreCore& core) { core.maximum = 1000; },
                            +[](plat::SemaphoreCore& core) { core.total = 7; }};
    int n = 0;
    for (auto scribble : scribbles) {
        SCOPED_TRACE(n++);
        scribble(*other.operator->());
        ASSERT_EQ(plat::kWaitSignalled, semaphore.Wait(0));
        EXPECT_TRUE(semaphore.Release(1));
        ASSERT_TRUE(semaphore.TakeFindings(found));
        EXPECT_TRUE(found.layoutRestored);
        plat::Semaphore opener;
        ASSERT_TRUE(opener.OpenExisting(m_strName));
        EXPECT_EQ(plat::kWaitSignalled, opener.Wait(0));
        EXPECT_EQ(plat::kWaitTimeout, semaphore.Wait(0));
        EXPECT_TRUE(opener.Release(1));
    }

    const int fd = shm_open(plat::SharedObjectPath(m_strName).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, 65536));
    close(fd);
    plat::Semaphore opener;
    ASSERT_TRUE(opener.OpenExisting(m_strName));
    EXPECT_EQ(plat::kWaitSignalled, opener.Wait(0));
    EXPECT_TRUE(opener.Release(1));
    EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(0));
    EXPECT_TRUE(semaphore.Release(1));
}
