// Shared objects another account may write, cut short under this process:
// a mapping read by another thread at that moment, a semaphore's core, and
// a mapping no other account can write (whose fault goes on to the fault
// trap as before).  The other account is played by this process's own
// descriptor of the object, which is all ftruncate needs.

#include "platform/HostileMapping.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/FaultTrap.h"
#include "platform/LastError.h"
#include "platform/NamedObject.h"
#include "platform/Semaphore.h"
#include "platform/SharedMapping.h"
#include "support/TestUtil.h"

namespace {

constexpr size_t kSize = 65536;

std::string UniqueName(const std::string& base) { return "test.cut." + base + "." + std::to_string(getpid()); }

// Cuts the object of `name` to `length` bytes, as any writer of it can.
void CutShort(const std::string& name, off_t length) {
    const int fd = shm_open(plat::SharedObjectPath(name).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_EQ(0, ftruncate(fd, length));
    close(fd);
}

// The length of the object of `name` now.
off_t ObjectLength(const std::string& name) {
    const int fd = shm_open(plat::SharedObjectPath(name).c_str(), O_RDONLY, 0);
    struct stat info {};
    const bool bLooked = fd >= 0 && fstat(fd, &info) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return bLooked ? info.st_size : -1;
}

// The process's own group: the objects are opened to it, so they count as
// written by others.
int32_t OwnGroup() { return static_cast<int32_t>(getegid()); }

}  // namespace

// A reader on another thread keeps reading the last page when the object
// is cut to its first page: it neither ends nor ends the process, and
// from the cut on reads zeros, over the whole view; nothing written to the
// view then reaches the object, and the maker maps it again whole.
TEST(HostileMappingTest, MappingCutUnderAReaderReadsZerosIsMarkedAndIsMappedAgain) {
    const std::string name = UniqueName("mapping");
    plat::SharedMapping mapping;
    ASSERT_TRUE(mapping.Create(name, kSize, OwnGroup()));
    auto* pView = static_cast<uint8_t*>(mapping.Map(nullptr));
    ASSERT_NE(nullptr, pView);
    std::memset(pView, 0xAB, kSize);
    EXPECT_FALSE(mapping.CheckCut());

    std::atomic<bool> bStop{false};
    std::atomic<int> nLast{-1};
    std::atomic<uint64_t> qwReads{0};
    std::thread reader([&] {
        while (!bStop.load()) {
            nLast.store(*reinterpret_cast<volatile uint8_t*>(pView + kSize - 1));
            qwReads.fetch_add(1);
        }
    });
    ASSERT_TRUE(hwtest::WaitUntil([&] { return qwReads.load() > 0; }));
    CutShort(name, 4096);
    EXPECT_TRUE(hwtest::WaitUntil([&] { return mapping.Cut(); }));
    const uint64_t qwAtCut = qwReads.load();
    EXPECT_TRUE(hwtest::WaitUntil([&] { return qwReads.load() > qwAtCut + 100; })) << "the reader goes on";
    bStop.store(true);
    reader.join();
    EXPECT_EQ(0, nLast.load());
    EXPECT_EQ(0, pView[0]) << "the part left of the object is mapped over too";
    pView[0] = 0x55;

    plat::SharedMapping other;
    ASSERT_TRUE(other.Open(name));
    auto* pOther = static_cast<const uint8_t*>(other.Map(nullptr));
    ASSERT_NE(nullptr, pOther);
    EXPECT_EQ(4096u, other.Size());
    EXPECT_EQ(0xAB, pOther[0]);

    pView = static_cast<uint8_t*>(mapping.Remap());
    ASSERT_NE(nullptr, pView);
    EXPECT_FALSE(mapping.CheckCut());
    EXPECT_EQ(kSize, mapping.Size());
    EXPECT_EQ(0xAB, pView[4095]);
    EXPECT_EQ(0, pView[4096]);
    pView[0] = 0x11;
    EXPECT_EQ(0x11, pOther[0]);
}

// A semaphore whose core is cut short fails its waits and releases at once,
// says why, and works again once mapped again; its maker, opening it while
// another user keeps the cut object, makes it whole as well.
TEST(HostileMappingTest, SemaphoreCutShortFailsAtOnceUntilMappedAgain) {
    const std::string name = UniqueName("semaphore");
    plat::Semaphore semaphore;
    ASSERT_TRUE(semaphore.Open(name, 1, 1, OwnGroup()));
    CutShort(name, 0);
    const auto start = std::chrono::steady_clock::now();
    // Far longer than any machine takes: a wait that is not failed at once
    // waits the whole minute.
    EXPECT_EQ(plat::kWaitFailed, semaphore.Wait(60000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(plat::kErrHandleEof, plat::GetLastError());
    EXPECT_TRUE(semaphore.Cut());
    EXPECT_FALSE(semaphore.Release(1));

    ASSERT_TRUE(semaphore.Remap());
    EXPECT_FALSE(semaphore.CheckCut());
    EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(0));
    EXPECT_EQ(plat::kWaitTimeout, semaphore.Wait(0));
    EXPECT_TRUE(semaphore.Release(1));

    // Only the maker lays a cut core out again: an opener refuses it.
    CutShort(name, 0);
    EXPECT_TRUE(semaphore.CheckCut());
    plat::Semaphore opener;
    EXPECT_FALSE(opener.OpenExisting(name));
    plat::Semaphore maker;
    ASSERT_TRUE(maker.Open(name, 1, 1, OwnGroup()));
    EXPECT_EQ(plat::kErrAlreadyExists, plat::GetLastError());
    EXPECT_EQ(plat::kWaitSignalled, maker.Wait(0));
    EXPECT_TRUE(maker.Release(1));
}

// The cut may be followed at once by a new length (the core's own, or any
// other) before the maker maps the core again: the cut took its counts all
// the same, and the maker lays out its own object afresh whatever length
// it was given back, rather than finding no semaphore there until a new
// opening.
TEST(HostileMappingTest, SemaphoreCutShortAndGivenALengthAgainIsMappedAgain) {
    const std::string name = UniqueName("regrown");
    plat::Semaphore semaphore;
    ASSERT_TRUE(semaphore.Open(name, 1, 1, OwnGroup()));
    const off_t coreLength = ObjectLength(name);
    for (const off_t length : {coreLength, off_t{4096}, coreLength / 2}) {
        SCOPED_TRACE(length);
        CutShort(name, 0);
        EXPECT_TRUE(semaphore.CheckCut());
        CutShort(name, length);
        ASSERT_TRUE(semaphore.Remap()) << plat::GetLastError();
        EXPECT_FALSE(semaphore.CheckCut());
        EXPECT_EQ(plat::kWaitSignalled, semaphore.Wait(0));
        EXPECT_EQ(plat::kWaitTimeout, semaphore.Wait(0));
        EXPECT_TRUE(semaphore.Release(1));
        EXPECT_EQ(coreLength, ObjectLength(name));
    }
}

// A cut inside the last page of what is mapped raises no fault (that page
// reads zeros past the end), but every other opener finds the object short
// and refuses it: a look at the cut finds it all the same, and the maker
// maps the object again whole, so that the others open it again.
TEST(HostileMappingTest, CutInsideTheLastPageIsFoundAndMappedAgain) {
    const std::string name = UniqueName("last-page");
    plat::SharedMapping mapping;
    ASSERT_TRUE(mapping.Create(name, kSize, OwnGroup()));
    ASSERT_NE(nullptr, mapping.Map(nullptr));
    CutShort(name, kSize - 100);
    EXPECT_TRUE(mapping.CheckCut());
    ASSERT_NE(nullptr, mapping.Remap());
    EXPECT_FALSE(mapping.CheckCut());
    EXPECT_EQ(static_cast<off_t>(kSize), ObjectLength(name));

    const std::string lockName = UniqueName("last-page-lock");
    plat::Semaphore semaphore;
    ASSERT_TRUE(semaphore.Open(lockName, 1, 1, OwnGroup()));
    CutShort(lockName, 64);
    plat::Semaphore opener;
    EXPECT_FALSE(opener.OpenExisting(lockName));
    EXPECT_TRUE(semaphore.CheckCut());
    ASSERT_TRUE(semaphore.Remap());
    EXPECT_FALSE(semaphore.CheckCut());
    ASSERT_TRUE(opener.OpenExisting(lockName));
    EXPECT_EQ(plat::kWaitSignalled, opener.Wait(0));
    EXPECT_EQ(plat::kWaitTimeout, semaphore.Wait(0));
    EXPECT_TRUE(opener.Release(1));
}

// An object only this account can write is not guarded: a fault past its
// end is the fault trap's, reported as before.
TEST(HostileMappingTest, FaultOutsideAGuardedMappingGoesToTheFaultTrap) {
    const std::string name = UniqueName("own");
    plat::SharedMapping mapping;
    ASSERT_TRUE(mapping.Create(name, kSize));
    auto* pView = static_cast<uint8_t*>(mapping.Map(nullptr));
    ASSERT_NE(nullptr, pView);
    CutShort(name, 0);
    const plat::FaultRecord* pFault = plat::RunWithFaultTrap(
        [](void* pArgument) { static_cast<void>(*static_cast<volatile uint8_t*>(pArgument)); }, pView + 100);
    ASSERT_NE(nullptr, pFault);
    EXPECT_EQ(SIGBUS, pFault->signal);
    EXPECT_EQ(plat::kFaultInPageError, pFault->code);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(pView + 100), pFault->dataAddress);
    EXPECT_FALSE(mapping.Cut());
}

// Ranges are let go before they are unmapped, so the table never fills.
TEST(HostileMappingTest, GuardsAreGivenBackForReuse) {
    for (size_t i = 0; i < 2 * plat::HostileMapping::kMaxGuarded; ++i) {
        plat::SharedMapping mapping;
        ASSERT_TRUE(mapping.Create(UniqueName("reuse"), 4096, OwnGroup()));
        ASSERT_NE(nullptr, mapping.Map(nullptr)) << i;
    }
    void* pPage = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, pPage);
    std::vector<plat::HostileMapping> guards(plat::HostileMapping::kMaxGuarded);
    for (auto& guard : guards) {
        ASSERT_TRUE(guard.Guard(pPage, 4096, PROT_READ | PROT_WRITE));
    }
    plat::HostileMapping extra;
    EXPECT_FALSE(extra.Guard(pPage, 4096, PROT_READ | PROT_WRITE));
    EXPECT_EQ(plat::kErrNotEnoughMemory, plat::GetLastError());
    guards.clear();
    EXPECT_TRUE(extra.Guard(pPage, 4096, PROT_READ | PROT_WRITE));
    extra.Release();
    munmap(pPage, 4096);
}
