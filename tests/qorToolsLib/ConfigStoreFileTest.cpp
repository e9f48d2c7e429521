#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "qorToolsLib/ConfigStore.h"
#include "support/TestUtil.h"

namespace {

std::string Golden(const std::string& name) {
    return std::string(HW_SOURCE_DIR) + "/tests/qorToolsLib/data/settings/" + name;
}

std::vector<uint8_t> Bytes(size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    return bytes;
}

// The tree of all_types.golden, with the parts a file never shows.
void FillAllTypes(ConfigStore& store) {
    store.SetHeader("All types");
    store.SetLong("", "Version", 3);
    store.SetString("Engines", "Name", "a;b;;c");
    store.SetLong("Engines", "Lowest", INT32_MIN);
    store.SetBool("Engines", "Enabled", true);
    store.SetBool("Engines", "Disabled", false);
    auto* unset = new ConfigValue();
    unset->SetName("Unset");
    store.FindKey("Engines")->AddValue(unset);
    store.SetString("Engines", "Empty", "");
    auto* pointer = new ConfigValue();
    pointer->SetName("Handle");
    pointer->SetPointer(reinterpret_cast<void*>(0x1234));
    store.FindKey("Engines")->AddValue(pointer);
    store.SetBinary("Engines", "Blob", "abc", 3);
    std::vector<uint8_t> key = Bytes(47);
    store.SetBinary("Engines", "key", key.data(), static_cast<uint32_t>(key.size()));
    store.SetString("Engines", "Multi", "line one\nline two");
    store.SetString("Engines\\volatile", "Secret", "never written");
    store.AddKey("Engines\\volatile\\below");
    store.SetString("Engines\\Decoy", "Ports", "21,23,80");
    store.SetString("Engines\\Decoy", "SMessage", "never written");
    store.AddKey("Engines\\Decoy\\Empty Key");
}

std::string SaveToText(ConfigStore& store, const hwtest::ScratchDirectory& dir, const std::string& keyPath = "") {
    std::string file = dir.File("out.policy");
    EXPECT_EQ(0, store.SaveFile(file, keyPath, 1));
    EXPECT_FALSE(std::filesystem::exists(file + ".newupdate"));
    return hwtest::ReadWholeFile(file);
}

// Mounts a small tmpfs in a mount namespace of this thread's own, so
// nothing of it outlives the test; skips when the system refuses.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::string& where) : m_where(where) {
        std::filesystem::create_directories(where);
        if (::unshare(CLONE_NEWNS) != 0) {
            m_refusal = std::string("unshare: ") + std::strerror(errno);
        } else if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            m_refusal = std::string("private mounts: ") + std::strerror(errno);
        } else if (::mount("tmpfs", where.c_str(), "tmpfs", 0, "size=64k") != 0) {
            m_refusal = std::string("mount: ") + std::strerror(errno);
        }
    }
    ~SmallFileSystem() {
        if (m_refusal.empty()) {
            ::umount2(m_where.c_str(), MNT_DETACH);
        }
    }
    const std::string& Refusal() const { return m_refusal; }

private:
    std::string m_where;
    std::string m_refusal;
};

}  // namespace

TEST(ConfigStoreFile, EveryValueTypeIsWrittenByteForByteWithoutVolatileParts) {
    hwtest::ScratchDirectory dir;
    ConfigStore store;
    FillAllTypes(store);
    EXPECT_EQ(hwtest::ReadWholeFile(Golden("all_types.golden")), SaveToText(store, dir));
}

TEST(ConfigStoreFile, SavingOneKeyWritesPathsRelativeToIt) {
    hwtest::ScratchDirectory dir;
    ConfigStore store;
    EXPECT_EQ("[\\];\r\n", SaveToText(store, dir));
    store.SetLong("Engines\\Decoy", "n", 1);
    store.SetLong("Other", "n", 2);
    EXPECT_EQ("[\\];\r\n[Decoy\\];\r\nn\t=L\t1;\r\n", SaveToText(store, dir, "Engines"));
}

TEST(ConfigStoreFile, GoldenFileLoadsBackToTheSameBytesWhateverItsLineEnds) {
    hwtest::ScratchDirectory dir;
    const std::string golden = hwtest::ReadWholeFile(Golden("all_types.golden"));
    std::string lf = golden;
    std::erase(lf, '\r');
    hwtest::WriteWholeFile(dir.File("lf.policy"), lf);
    // Pointers mean nothing in another process: they are never loaded.  A
    // value named "key" keeps the tab after its type letter, so it gains one.
    std::string expected = golden;
    size_t handle = expected.find("Handle\t");
    expected.erase(handle, expected.find('\n', handle) + 1 - handle);
    expected.insert(expected.find("key\t=S\t") + 7, "\t");
    for (const std::string& file : {Golden("all_types.golden"), dir.File("lf.policy")}) {
        SCOPED_TRACE(file);
        // Strictly read: every file the writer makes passes, whatever its line ends.
        ConfigStore store;
        store.SetStrictReading(true);
        ASSERT_EQ(0, store.LoadFile(file, "", "", false)) << store.GetReadProblem();
        EXPECT_EQ("", store.GetReadProblem());
        EXPECT_EQ(file, store.GetFileName());
        EXPECT_EQ("line one\nline two", store.GetString("Engines", "Multi", ""));
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(store.GetBinary("Engines", "key", bytes));
        EXPECT_EQ(Bytes(47), bytes);
        EXPECT_EQ(expected, SaveToText(store, dir));
        EXPECT_TRUE(store.UpdateFromFile(file, "", "")) << store.GetReadProblem();
    }
}

TEST(ConfigStoreFile, SectionFirstMeansNoHeaderAndValueFirstBecomesTheHeader) {
    hwtest::ScratchDirectory dir;
    hwtest::WriteWholeFile(dir.File("a"), "[\\a\\];\r\nx\t=L\t1;\r\n");
    ConfigStore store;
    store.SetHeader("stale");
    ASSERT_EQ(0, store.LoadFile(dir.File("a"), "", "", false));
    EXPECT_EQ("", store.GetHeader());
    EXPECT_EQ(1, store.GetLong("a", "x", 0));
    // Save writes back to the file that was loaded.
    store.SetLong("a", "x", 2);
    ASSERT_TRUE(store.Save());
    EXPECT_EQ("[\\];\r\n[\\a\\];\r\nx\t=L\t2;\r\n", hwtest::ReadWholeFile(dir.File("a")));

    hwtest::WriteWholeFile(dir.File("b"), "x\t=L\t1;\r\n[\\b\\];\r\ny\t=L\t2;\r\n");
    ASSERT_EQ(0, store.LoadFile(dir.File("b"), "", "", false));
    EXPECT_EQ("x\t=L\t1;", store.GetHeader());
    EXPECT_FALSE(store.Exists("", "x"));
    EXPECT_EQ(2, store.GetLong("b", "y", 0));
}

TEST(ConfigStoreFile, MalformedValueLinesAreSkippedAndNumbersFollowTheirBase) {
    hwtest::ScratchDirectory dir;
    hwtest::WriteWholeFile(dir.File("f"),
               "[\\k\\];\r\nempty\t=L\t;\r\nhex\t=L\t0x1F;\r\nword\t=B\ttrue;\r\n"
               "odd\t=X\t1;\r\nnoequals;\r\n\t=S\tnameless;\r\nptr\t=P\t0x1;\r\n");
    ConfigStore store;
    ASSERT_EQ(0, store.LoadFile(dir.File("f"), "", "", false));
    EXPECT_FALSE(store.Exists("k", "empty"));
    EXPECT_EQ(31, store.GetLong("k", "hex", 0));
    EXPECT_TRUE(store.Exists("k", "word"));
    EXPECT_FALSE(store.GetBool("k", "word", true));
    std::vector<std::string> names, texts;
    store.GetValueTexts("k", names, texts);
    EXPECT_EQ((std::vector<std::string>{"hex", "word"}), names);
}

TEST(ConfigStoreFile, SectionFilterAndBasePathChooseWhereSectionsGo) {
    hwtest::ScratchDirectory dir;
    hwtest::WriteWholeFile(dir.File("f"),
               "[\\a\\];\r\nv\t=L\t1;\r\n[\\b\\];\r\nv\t=L\t2;\r\n[\\c\\];\r\nv\t=L\t3;\r\n"
               "[\\b\\];\r\nw\t=L\t4;\r\n");
    ConfigStore exact;
    ASSERT_EQ(0, exact.LoadFile(dir.File("f"), "\\b\\", "", false));
    EXPECT_EQ(2, exact.GetLong("b", "v", 0));
    EXPECT_FALSE(exact.Exists("b", "w"));
    EXPECT_FALSE(exact.KeyExists("a"));
    EXPECT_FALSE(exact.KeyExists("c"));

    ConfigStore prefix;
    ASSERT_EQ(0, prefix.LoadFile(dir.File("f"), "\\b", "", true));
    EXPECT_EQ(2, prefix.GetLong("b", "v", 0));
    EXPECT_EQ(4, prefix.GetLong("b", "w", 0));
    EXPECT_FALSE(prefix.KeyExists("c"));

    // A base path prefixes every section and takes the values before any.
    hwtest::WriteWholeFile(dir.File("g"), "Header\r\nlead\t=S\tx;\r\n");
    ConfigStore based;
    ASSERT_EQ(0, based.LoadFile(dir.File("f"), "", "\\Imported", false));
    EXPECT_EQ(4, based.GetLong("Imported\\b", "w", 0));
    ASSERT_EQ(0, based.LoadFile(dir.File("g"), "", "\\Lead", false));
    EXPECT_EQ("x", based.GetString("Lead", "lead", ""));
}

TEST(ConfigStoreFile, UpdateAddsOnlyMissingValuesAndNeverRetypes) {
    ConfigStore store;
    ASSERT_EQ(0, store.LoadFile(Golden("policy_base.txt"), "", "", false));
    ASSERT_TRUE(store.UpdateFromFile(Golden("policy_update.txt"), "", ""));
    EXPECT_EQ("Base policy", store.GetHeader());
    EXPECT_EQ(Golden("policy_base.txt"), store.GetFileName());
    EXPECT_EQ(60, store.GetLong("config", "Timeout", 0));
    EXPECT_EQ(250, store.GetLong("config", "Max Connections", 0));
    EXPECT_TRUE(store.GetBool("config", "ScriptEnabled", false));
    EXPECT_EQ(ConfigValue::kBool, store.GetValueType("config", "ScriptEnabled"));
    const std::string rule = "Advanced\\Rules\\SysLog Rules\\Failed su";
    EXPECT_EQ(2, store.GetLong(rule, "Priority", 0));
    EXPECT_EQ("LoginEvent", store.GetString(rule, "Alert Type", ""));
    EXPECT_TRUE(store.GetBool("Advanced\\Rules\\SysLog Rules\\New rule", "Enabled", false));

    // The section filter of an update matches by prefix.
    ConfigStore filtered;
    ASSERT_TRUE(filtered.UpdateFromFile(Golden("policy_update.txt"), "\\Advanced\\Rules", ""));
    EXPECT_FALSE(filtered.KeyExists("config"));
    EXPECT_TRUE(filtered.KeyExists("Advanced\\Rules\\SysLog Rules\\New rule"));
    EXPECT_EQ("", filtered.GetFileName());
}

TEST(ConfigStoreFile, BinaryTextBreaksAfterSixtyTwoCharactersAndRejectsForeignText) {
    ConfigStore store;
    std::vector<uint8_t> bytes = Bytes(47);
    store.SetBinary("k", "b", bytes.data(), 47);
    std::string text = store.GetString("k", "b", "");
    ASSERT_EQ(65u, text.size());
    EXPECT_EQ("\n\t", text.substr(62, 2));
    std::vector<uint8_t> many = Bytes(200);
    store.SetBinary("k", "many", many.data(), 200);
    std::vector<uint8_t> back;
    ASSERT_TRUE(store.GetBinary("k", "many", back));
    EXPECT_EQ(many, back);

    EXPECT_EQ(1, store.SetBinary("k", "none", nullptr, 0));
    EXPECT_TRUE(store.Exists("k", "none"));
    EXPECT_FALSE(store.GetBinary("k", "none", back));
    store.SetString("k", "text", "V7q-");
    EXPECT_FALSE(store.GetBinary("k", "text", back));
    EXPECT_TRUE(back.empty());
}

TEST(ConfigStoreFile, UnreadableMissingOrUnnamedFilesAreReported) {
    ConfigStore store;
    EXPECT_FALSE(store.Save());
    EXPECT_EQ(ConfigStore::kWriteError, store.GetErrorClass());
    EXPECT_EQ(QOR_E_NO_FILE_NAME, store.GetStatus());
    EXPECT_EQ(1, store.LoadFile("", "", "", false));
    EXPECT_EQ(QOR_E_NO_FILE_NAME, store.GetStatus());
    EXPECT_FALSE(store.UpdateFromFile("", "", ""));
    EXPECT_EQ(QOR_E_SETTINGS_FILE, store.GetStatus());
    EXPECT_EQ(1, store.LoadFile("/nonexistent/x.policy", "", "", false));
    EXPECT_EQ(ConfigStore::kReadError, store.GetErrorClass());
    EXPECT_EQ(QOR_E_SETTINGS_FILE, store.GetStatus());
    EXPECT_EQ("", store.GetFileName());
    EXPECT_EQ(1, store.LoadFile("/", "", "", false));
    EXPECT_EQ(QOR_E_SETTINGS_FILE, store.GetStatus());
    EXPECT_EQ(1, store.SaveFile("/nonexistent/x.policy", "", 1));
    EXPECT_EQ(ConfigStore::kWriteError, store.GetErrorClass());
    EXPECT_EQ(QOR_E_SETTINGS_FILE, store.GetStatus());

    // Opens, and fails on the first read (its first page is unmapped).
    EXPECT_EQ(1, store.LoadFile("/proc/self/mem", "", "", false));
    EXPECT_EQ(ConfigStore::kReadError, store.GetErrorClass());
    EXPECT_EQ(0xC7210001u, store.GetStatus());
    EXPECT_FALSE(store.UpdateFromFile("/proc/self/mem", "", ""));
    EXPECT_EQ(0xC7210001u, store.GetStatus());
}

TEST(ConfigStoreFile, FailedMoveKeepsTheTargetAndReportsAWriteError) {
    hwtest::ScratchDirectory dir;
    std::string target = dir.File("policy");
    std::filesystem::create_directories(target + "/occupied");
    ConfigStore store;
    store.SetLong("a", "v", 1);
    EXPECT_EQ(1, store.SaveFile(target, "", 1));
    EXPECT_EQ(ConfigStore::kWriteError, store.GetErrorClass());
    EXPECT_NE(QOR_S_OK, store.GetStatus());
    EXPECT_TRUE(std::filesystem::is_directory(target + "/occupied"));
}

TEST(ConfigStoreFile, SaveOntoAFullFileSystemKeepsTheOldFile) {
    hwtest::ScratchDirectory dir;
    std::string mountPoint = dir.File("small");
    SmallFileSystem small(mountPoint);
    if (!small.Refusal().empty()) {
        GTEST_SKIP() << "no small file system to fill (" << small.Refusal()
                     << "); this test needs root";
    }
    std::string file = mountPoint + "/current.policy";
    ConfigStore store;
    store.SetString("config", "Version", "good");
    ASSERT_EQ(0, store.SaveFile(file, "", 1));
    std::string good = hwtest::ReadWholeFile(file);

    for (int i = 0; i < 4000; ++i) {
        store.SetString("bulk\\k" + std::to_string(i), "filler", std::string(40, 'x'));
    }
    EXPECT_EQ(1, store.SaveFile(file, "", 1));
    EXPECT_EQ(ConfigStore::kWriteError, store.GetErrorClass());
    EXPECT_EQ(QOR_E_DISK_FULL, store.GetStatus());
    EXPECT_EQ(good, hwtest::ReadWholeFile(file));
    EXPECT_FALSE(std::filesystem::exists(file + ".newupdate"));
}

// A file cut in the middle of a line, or missing one ";", loses the rest of
// a section or a whole section to a lenient read.  Strictly read, it is
// refused and the store stays as it was.
TEST(ConfigStoreFile, StrictReadRefusesADamagedFileAndChangesNothing) {
    hwtest::ScratchDirectory dir;
    const std::string golden = hwtest::ReadWholeFile(Golden("all_types.golden"));
    std::string lostSemicolon = golden;
    lostSemicolon.erase(lostSemicolon.find(";\r\n[\\Engines\\Decoy\\]"), 1);
    const struct {
        std::string bytes;
        const char* problem;
    } cases[] = {
        {golden.substr(0, golden.find("Decoy") + 2), "line 16: the last line is not ended"},
        {golden.substr(0, golden.find("21,23") + 3), "line 17: the last line is not ended"},
        {lostSemicolon, "line 14: the value of \"Multi\" runs on into the next line"},
        {"", "is empty"},
        {std::string("\x7f" "ELF\x02\x01\x01\0\0\0", 10), "line 1: holds a NUL byte"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.problem);
        hwtest::WriteWholeFile(dir.File("damaged.policy"), c.bytes);
        ConfigStore store;
        store.SetHeader("Before");
        store.SetLong("Engines", "Kept", 7);
        store.SetStrictReading(true);

        EXPECT_EQ(1, store.LoadFile(dir.File("damaged.policy"), "", "", false));
        EXPECT_EQ(ConfigStore::kReadError, store.GetErrorClass());
        EXPECT_EQ(QOR_E_INVALID_DATA, store.GetStatus());
        EXPECT_EQ(0u, store.GetReadProblem().find(c.problem)) << store.GetReadProblem();
        EXPECT_FALSE(store.UpdateFromFile(dir.File("damaged.policy"), "", ""));
        EXPECT_EQ(QOR_E_INVALID_DATA, store.GetStatus());

        EXPECT_EQ("Before", store.GetHeader());
        EXPECT_EQ("", store.GetFileName());
        EXPECT_EQ("[\\];\r\n[\\Engines\\];\r\nKept\t=L\t7;\r\n", SaveToText(store, dir).substr(8));
        // Other readers keep reading what they can.
        ConfigStore lenient;
        EXPECT_EQ(0, lenient.LoadFile(dir.File("damaged.policy"), "", "", false));
    }
}
