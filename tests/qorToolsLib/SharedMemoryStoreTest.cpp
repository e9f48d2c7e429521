#include "qorToolsLib/SharedMemoryStore.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/NamedObject.h"
#include "qorToolsLib/jsSharedMemory.h"
#include "NamedObjectPeer.h"
#include "support/TestUtil.h"

namespace {

constexpr uint32_t kStoreSize = 0x100040;
using Strings = std::vector<std::string>;

std::string UniqueSegmentName() {
    static int counter = 0;
    return "hwtest.store." + std::to_string(::getpid()) + "." + std::to_string(++counter);
}

// A second, independent view of the segment, as another process sees it.
class SegmentImage {
public:
    explicit SegmentImage(const std::string& name) : m_mapping(name.c_str()) {
        m_pBase = static_cast<uint8_t*>(m_mapping.Attach(0));
    }
    bool IsMapped() const { return m_pBase != nullptr; }
    uint32_t Word(uint32_t offset) const {
        uint32_t value = 0;
        std::memcpy(&value, m_pBase + offset, 4);
        return value;
    }
    void SetWord(uint32_t offset, uint32_t value) { std::memcpy(m_pBase + offset, &value, 4); }
    const char* Text(uint32_t offset) const {
        return reinterpret_cast<const char*>(m_pBase + offset);
    }

    std::vector<uint32_t> SectionIds() const {
        std::vector<uint32_t> ids;
        for (uint32_t node = Word(8); node != 0 && ids.size() < 100; node = Word(node)) {
            ids.push_back(Word(node + 8));
        }
        return ids;
    }
    uint32_t Section(uint32_t id) const {
        for (uint32_t node = Word(8); node != 0; node = Word(node)) {
            if (Word(node + 8) == id) {
                return node;
            }
        }
        return 0;
    }
    uint64_t FreeBytes() const {
        uint64_t total = 0;
        for (uint32_t block = Word(12); block != 0; block = Word(block)) {
            total += Word(block + 8);
        }
        return total;
    }

private:
    jsSharedMemory m_mapping;
    uint8_t* m_pBase = nullptr;
};

class SharedMemoryStoreTest : public ::testing::Test {
protected:
    SharedMemoryStoreTest() : m_name(UniqueSegmentName()), m_store(m_name.c_str()) {}

    void SetUp() override {
        ASSERT_TRUE(m_store.Open(true, kStoreSize));
        m_image = std::make_unique<SegmentImage>(m_name);
        ASSERT_TRUE(m_image->IsMapped());
    }

    std::string m_name;
    SharedMemoryStore m_store;
    std::unique_ptr<SegmentImage> m_image;
};

}  // namespace

TEST_F(SharedMemoryStoreTest, FreshSegmentHasTheExactLayout) {
    std::vector<uint32_t> words;
    for (uint32_t offset = 0; offset < 48; offset += 4) {
        words.push_back(m_image->Word(offset));
    }
    // Size, last id, section list (the id-0 section took the first unit),
    // free list, area start and size, the id-0 section, the free block.
    EXPECT_EQ((std::vector<uint32_t>{0x110000, 0, 24, 36, 24, 0x10FFEC, 0, 0, 0, 0, 0,
                                     1114068 - 12}),
              words);
}

TEST_F(SharedMemoryStoreTest, SectionIdsStaySortedAndUniqueAndNextIdWraps) {
    EXPECT_FALSE(m_store.InsertId(0));
    EXPECT_FALSE(m_store.RemoveId(0));
    EXPECT_TRUE(m_store.InsertId(7));
    EXPECT_TRUE(m_store.InsertId(3));
    EXPECT_TRUE(m_store.InsertId(5));
    EXPECT_FALSE(m_store.InsertId(5));
    EXPECT_EQ((std::vector<uint32_t>{0, 3, 5, 7}), m_image->SectionIds());
    EXPECT_TRUE(m_store.RemoveId(5));
    EXPECT_FALSE(m_store.RemoveId(5));
    EXPECT_EQ((std::vector<uint32_t>{0, 3, 7}), m_image->SectionIds());
    EXPECT_TRUE(m_store.Clear());
    EXPECT_EQ((std::vector<uint32_t>{0}), m_image->SectionIds());

    EXPECT_EQ(1u, m_store.NextId());
    m_image->SetWord(4, 0x7FFFFFFE);
    EXPECT_EQ(0x7FFFFFFFu, m_store.NextId());
    EXPECT_EQ(1u, m_store.NextId());
}

TEST_F(SharedMemoryStoreTest, NewPairsGoFirstAndAReplacedValueKeepsItsPlace) {
    ASSERT_TRUE(m_store.InsertId(4));
    ASSERT_TRUE(m_store.SetSection(4, "A", "1"));
    ASSERT_TRUE(m_store.SetSection(4, "B", "2"));
    ASSERT_TRUE(m_store.SetSection(4, "A", "3"));
    Strings labels, values;
    ASSERT_TRUE(m_store.GetSection(4, labels, values));
    EXPECT_EQ((Strings{"B", "A"}), labels);
    EXPECT_EQ((Strings{"2", "3"}), values);
    std::string value;
    EXPECT_TRUE(m_store.GetValue(4, "A", value));
    EXPECT_EQ("3", value);
    EXPECT_FALSE(m_store.GetValue(4, "a", value));
    EXPECT_TRUE(m_store.RemoveValue(4, "B"));
    EXPECT_FALSE(m_store.RemoveValue(4, "B"));
    ASSERT_TRUE(m_store.GetSection(4, labels, values));
    EXPECT_EQ((Strings{"A"}), labels);
    EXPECT_TRUE(m_store.ClearSection(4));
    EXPECT_TRUE(m_store.GetSection(4, labels, values));
    EXPECT_TRUE(labels.empty());
    EXPECT_FALSE(m_store.GetValue(4, "A", value));
    EXPECT_FALSE(m_store.GetSection(9, labels, values));
    EXPECT_FALSE(m_store.SetSection(9, "A", "1"));
    EXPECT_FALSE(m_store.ClearSection(9));
}

// What the script road does in one hold each: a new section with all its
// pairs, more pairs set at once, and the section read and removed.  Each
// reads as the single operations would have left it, and the section comes
// and goes without leaving the free list longer.
TEST_F(SharedMemoryStoreTest, SectionsMadeSetAndTakenInOneHoldReadAsOneByOne) {
    const uint64_t before = m_image->FreeBytes();
    bool inserted = false;
    const uint32_t id = m_store.InsertNextSection({{"A", "1"}, {"B", "2"}, {"A", "3"}}, inserted);
    ASSERT_TRUE(inserted);
    EXPECT_EQ(1u, id);
    EXPECT_TRUE(m_store.SetPairs(id, {{"C", "4"}, {"B", "5"}}));
    EXPECT_FALSE(m_store.SetPairs(9, {{"C", "4"}}));
    Strings labels, values;
    ASSERT_TRUE(m_store.TakeSection(id, labels, values));
    EXPECT_EQ((Strings{"C", "B", "A"}), labels);
    EXPECT_EQ((Strings{"4", "5", "3"}), values);
    EXPECT_FALSE(m_store.GetSection(id, labels, values));
    EXPECT_FALSE(m_store.TakeSection(id, labels, values));
    EXPECT_EQ(before, m_image->FreeBytes());
    EXPECT_EQ(1u, m_store.FreeBlockCount());

    // An id already taken makes no section, but the id is handed out.
    ASSERT_TRUE(m_store.InsertId(2));
    EXPECT_EQ(2u, m_store.InsertNextSection({{"A", "1"}}, inserted));
    EXPECT_FALSE(inserted);
}

TEST_F(SharedMemoryStoreTest, EmptyTextsTakeOneUnitAndReadBackEmpty) {
    ASSERT_TRUE(m_store.InsertId(1));
    uint64_t before = m_image->FreeBytes();
    ASSERT_TRUE(m_store.SetSection(1, "", ""));
    EXPECT_EQ(before - 36, m_image->FreeBytes());  // pair node and two text blocks
    uint32_t pair = m_image->Word(m_image->Section(1) + 4);
    uint32_t label = m_image->Word(pair + 4);
    EXPECT_EQ(8u, m_image->Word(label - 4));
    EXPECT_STREQ("", m_image->Text(label));
    std::string value = "stale";
    EXPECT_TRUE(m_store.GetValue(1, "", value));
    EXPECT_EQ("", value);
}

TEST_F(SharedMemoryStoreTest, FreedSectionsGiveEveryByteBack) {
    uint64_t before = m_image->FreeBytes();
    for (uint32_t id = 1; id <= 20; ++id) {
        ASSERT_TRUE(m_store.InsertId(id));
        ASSERT_TRUE(m_store.SetSection(id, "label", std::string(id * 10, 'v').c_str()));
        ASSERT_TRUE(m_store.SetSection(id, "other", "x"));
    }
    for (uint32_t id = 1; id <= 20; id += 2) {
        ASSERT_TRUE(m_store.RemoveId(id));
    }
    EXPECT_TRUE(m_store.Clear());
    EXPECT_EQ(before, m_image->FreeBytes());
}

TEST(SharedMemoryStore, ExhaustedAreaFailsWithNothingHalfLinked) {
    std::string name = UniqueSegmentName();
    SharedMemoryStore store(name.c_str());
    ASSERT_TRUE(store.Open(true, 100));  // one granule
    SegmentImage image(name);
    ASSERT_TRUE(store.InsertId(1));
    ASSERT_TRUE(store.SetSection(1, "keep", "old value"));
    const std::string big(6000, 'b');
    int stored = 0;
    while (store.SetSection(1, ("k" + std::to_string(stored)).c_str(), big.c_str())) {
        ++stored;
    }
    EXPECT_GT(stored, 5);
    uint64_t freeBefore = image.FreeBytes();
    // The new value cannot be had: the old one stays, and so does every byte.
    EXPECT_FALSE(store.SetSection(1, "keep", big.c_str()));
    EXPECT_FALSE(store.InsertId(2) && store.SetSection(2, "x", big.c_str()));
    store.RemoveId(2);
    EXPECT_EQ(freeBefore, image.FreeBytes());
    std::string value;
    ASSERT_TRUE(store.GetValue(1, "keep", value));
    EXPECT_EQ("old value", value);
    Strings labels, values;
    ASSERT_TRUE(store.GetSection(1, labels, values));
    EXPECT_EQ(static_cast<size_t>(stored) + 1, labels.size());
}

TEST(SharedMemoryStore, OperationsOnAnUnopenedStoreFail) {
    SharedMemoryStore store("hwtest.never.opened");
    Strings labels{"stale"}, values;
    std::string value;
    EXPECT_FALSE(store.InsertId(1));
    EXPECT_FALSE(store.SetSection(0, "a", "b"));
    EXPECT_FALSE(store.GetSection(0, labels, values));
    EXPECT_TRUE(labels.empty());
    EXPECT_FALSE(store.GetValue(0, "a", value));
    EXPECT_FALSE(store.Clear());
    EXPECT_EQ(0u, store.NextId());
}

// Runs in a child process with a private, empty shared-memory directory in
// which the store's semaphore name is taken by a directory that is a mount
// point, which no one can move or remove: the semaphore cannot be made
// while the mapping could be, and the store must refuse to work unguarded.
[[noreturn]] void OpenWithoutItsSemaphore() {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=16m") != 0 ||
        ::mkdir(("/dev/shm" + plat::SharedObjectPath("_ShMem_sem_")).c_str(), 0700) != 0 ||
        // A mount point: the name cannot be taken back from it.
        ::mount("tmpfs", ("/dev/shm" + plat::SharedObjectPath("_ShMem_sem_")).c_str(), "tmpfs", 0,
                "size=1m") != 0) {
        std::_Exit(2);
    }
    std::string name = UniqueSegmentName();
    SharedMemoryStore store(name.c_str());
    std::_Exit(store.Open(true, kStoreSize) || store.IsMapped() ? 1 : 0);
}

TEST(SharedMemoryStore, StoreWithoutItsSemaphoreDoesNotOpen) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root for a private mount namespace";
    }
    EXPECT_EXIT(OpenWithoutItsSemaphore(), ::testing::ExitedWithCode(0), "");
}

class SharedMemoryStorePeer : public SharedMemoryStoreTest {
protected:
    int RunPeer(uint32_t section, uint32_t reply) {
        hwtest::ChildProcess peer;
        m_output = m_scratch.File("peer.out");
        std::remove(m_output.c_str());
        if (!hwtest::StartPeer(peer, {"store-echo", m_name, std::to_string(section),
                                      std::to_string(reply)}, m_output)) {
            return -1;
        }
        int code = -1;
        return peer.Wait(60.0, code) ? code : -1;
    }

    hwtest::ScratchDirectory m_scratch;
    std::string m_output;
};

TEST_F(SharedMemoryStorePeer, AnotherProcessReadsTheSectionAndReplies) {
    uint32_t request = m_store.NextId();
    uint32_t reply = m_store.NextId();
    ASSERT_TRUE(m_store.InsertId(request));
    ASSERT_TRUE(m_store.SetSection(request, "__qor_rulename", "Port scan"));
    ASSERT_TRUE(m_store.SetSection(request, "__qor_sourceip", "192.0.2.7"));
    ASSERT_TRUE(m_store.SetSection(request, "empty", ""));
    ASSERT_EQ(0, RunPeer(request, reply)) << hwtest::ReadWholeFile(m_output);
    EXPECT_EQ("empty=\n__qor_sourceip=192.0.2.7\n__qor_rulename=Port scan\n",
              hwtest::ReadWholeFile(m_output));
    Strings labels, values;
    ASSERT_TRUE(m_store.GetSection(reply, labels, values));
    ASSERT_EQ(4u, labels.size());
    EXPECT_EQ("pid", labels[0]);
    EXPECT_NE(std::to_string(::getpid()), values[0]);
    EXPECT_EQ((Strings{"echo:__qor_rulename", "echo:__qor_sourceip", "echo:empty"}),
              Strings(labels.begin() + 1, labels.end()));
    EXPECT_EQ((Strings{"Port scan", "192.0.2.7", ""}), Strings(values.begin() + 1, values.end()));
    EXPECT_TRUE(m_store.RemoveId(request));
    EXPECT_TRUE(m_store.RemoveId(reply));
}

TEST_F(SharedMemoryStorePeer, DamagedSegmentMakesThePeerFailCleanly) {
    ASSERT_TRUE(m_store.InsertId(1));
    ASSERT_TRUE(m_store.SetSection(1, "label", "value"));
    uint32_t pair = m_image->Word(m_image->Section(1) + 4);
    m_image->SetWord(pair + 4, 0x7FFFFFF0);  // label far outside the segment
    EXPECT_EQ(4, RunPeer(1, 2)) << hwtest::ReadWholeFile(m_output);
}

// Each case damages a populated segment the way a faulty or hostile peer
// could; every operation must then fail or carry on without touching
// memory outside the segment (the sanitizers watch the rest).
struct Damage {
    const char* m_name;
    std::function<void(SegmentImage&)> m_apply;
    bool m_sectionReadable;
    bool m_firstPairReadable;
};

TEST_F(SharedMemoryStoreTest, DamagedSegmentMakesOperationsFailCleanly) {
    const Damage damages[] = {
        {"section head outside the area", [](SegmentImage& s) { s.SetWord(8, 0x7FFFFFF0); }, false,
         false},
        {"section head off a unit boundary", [](SegmentImage& s) { s.SetWord(8, 26); }, false,
         false},
        {"section list loops", [](SegmentImage& s) { s.SetWord(s.Word(8), s.Word(8)); }, false,
         false},
        {"area end beyond the mapping", [](SegmentImage& s) { s.SetWord(20, 0x7FFFFFF0); }, false,
         false},
        {"area start moved", [](SegmentImage& s) { s.SetWord(16, 12); }, false, false},
        {"pair list loops",
         [](SegmentImage& s) {
             uint32_t first = s.Word(s.Section(1) + 4);
             s.SetWord(s.Word(first), first);
         },
         false, true},
        {"label outside the area",
         [](SegmentImage& s) { s.SetWord(s.Word(s.Section(1) + 4) + 4, 0xFFFFFFF0); }, false,
         false},
        {"value without its terminator",
         [](SegmentImage& s) {
             uint32_t value = s.Word(s.Word(s.Section(1) + 4) + 8);
             s.SetWord(value - 4, 9);  // claims a shorter block than the text
             std::memset(const_cast<char*>(s.Text(value)), 'x', 5);
         },
         false, false},
        {"text size beyond the area",
         [](SegmentImage& s) { s.SetWord(s.Word(s.Word(s.Section(1) + 4) + 4) - 4, 0xFFFFFFF0); },
         false, false},
        {"free list head outside the area", [](SegmentImage& s) { s.SetWord(12, 0x7FFFFFF0); },
         true, true},
        {"free block size beyond the area",
         [](SegmentImage& s) { s.SetWord(s.Word(12) + 8, 0xFFFFFFF0); }, true, true},
        {"free list loops", [](SegmentImage& s) { s.SetWord(s.Word(12), s.Word(12)); }, true, true},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.m_name);
        std::string name = UniqueSegmentName();
        SharedMemoryStore store(name.c_str());
        ASSERT_TRUE(store.Open(true, 100));
        SegmentImage image(name);
        ASSERT_TRUE(store.InsertId(1));
        ASSERT_TRUE(store.InsertId(2));
        ASSERT_TRUE(store.SetSection(1, "label", "value"));
        ASSERT_TRUE(store.SetSection(1, "second", "pair"));
        damage.m_apply(image);

        Strings labels, values;
        std::string value;
        EXPECT_EQ(damage.m_sectionReadable, store.GetSection(1, labels, values));
        EXPECT_EQ(damage.m_firstPairReadable, store.GetValue(1, "second", value));
        EXPECT_FALSE(store.GetValue(1, "missing", value));
        store.SetSection(1, "new", "pair");
        store.InsertId(3);
        store.SetSection(2, "a", "b");
        store.RemoveValue(1, "second");
        store.ClearSection(1);
        store.RemoveId(2);
        store.NextId();
        store.Clear();
        EXPECT_GT(store.DamageCount(), 0u);
    }
}
