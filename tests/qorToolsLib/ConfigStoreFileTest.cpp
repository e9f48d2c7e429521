#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/SettingsText.h"
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
    // A "volatile" key saved alone leaves an empty store's file, not its
    // title alone, which would read as a file cut short.
    store.SetHeader("Title");
    store.SetLong("Engines\\volatile", "n", 3);
    EXPECT_EQ("Title\r\n[\\];\r\n", SaveToText(store, dir, "Engines\\volatile"));
    ConfigStore strict;
    strict.SetStrictReading(true);
    EXPECT_EQ(0, strict.LoadFile(dir.File("out.policy"), "", "", false)) << strict.GetReadProblem();
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

// A section given twice is read into one key, later values replacing the
// earlier ones of a load (and kept by an update); each repeat is kept with
// the lines of both section lines, up to a bound.
TEST(ConfigStoreFile, SectionGivenTwiceIsNotedWithBothLinesAndItsValuesMeet) {
    hwtest::ScratchDirectory dir;
    hwtest::WriteWholeFile(dir.File("f"),
                           "Title\r\n[\\];\r\n[\\a\\];\r\nx\t=S\tfirst;\r\ny\t=L\t1;\r\n"
                           "[\\b\\];\r\nt\t=S\tmulti\r\nline;\r\n[\\a];\r\nx\t=S\tsecond;\r\n"
                           "z\t=B\t1;\r\n  [\\b\\];\r\n");
    ConfigStore store;
    ASSERT_EQ(0, store.LoadFile(dir.File("f"), "", "\\", false));
    EXPECT_EQ("second", store.GetString("a", "x", ""));
    EXPECT_EQ(1, store.GetLong("a", "y", 0));
    EXPECT_TRUE(store.GetBool("a", "z", false));
    using Repeat = ConfigStore::RepeatedSection;
    EXPECT_EQ((std::vector<Repeat>{{"\\a\\", 3, 9}, {"\\b\\", 6, 12}}), store.GetRepeatedSections());

    ConfigStore updated;
    ASSERT_TRUE(updated.UpdateFromFile(dir.File("f"), "", ""));
    EXPECT_EQ("first", updated.GetString("a", "x", ""));
    EXPECT_EQ((std::vector<Repeat>{{"\\a\\", 3, 9}, {"\\b\\", 6, 12}}), updated.GetRepeatedSections());

    // The next read starts afresh; a flood of repeats keeps a bounded list.
    std::string flood = "[\\c\\];\r\n";
    for (size_t i = 0; i < ConfigStore::kMaxRepeatedSections + 5; ++i) {
        flood += "[\\c\\];\r\n";
    }
    hwtest::WriteWholeFile(dir.File("g"), flood);
    ASSERT_EQ(0, store.LoadFile(dir.File("g"), "", "", false));
    EXPECT_EQ(ConfigStore::kMaxRepeatedSections, store.GetRepeatedSections().size());
    EXPECT_EQ((Repeat{"\\c\\", 1, 2}), store.GetRepeatedSections().front());
    EXPECT_EQ(5u, store.GetRepeatedSectionsLeftOut());
    ASSERT_EQ(0, store.LoadFile(dir.File("f"), "", "", false));
    EXPECT_EQ(2u, store.GetRepeatedSections().size());
    EXPECT_EQ(0u, store.GetRepeatedSectionsLeftOut());
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

// A file cut in the middle of a line or at a line end loses the rest of a
// section or whole sections to a lenient read.  Strictly read, it is
// refused and the store stays as it was; so is a file past the size cap.
TEST(ConfigStoreFile, StrictReadRefusesADamagedFileAndChangesNothing) {
    hwtest::ScratchDirectory dir;
    const std::string golden = hwtest::ReadWholeFile(Golden("all_types.golden"));
    const size_t lineEnd = golden.find(";\r\n[\\Engines\\Decoy\\]");
    const struct {
        std::string bytes;
        const char* problem;
    } cases[] = {
        {golden.substr(0, golden.find("Decoy") + 2), "line 16: the last line is not ended"},
        {golden.substr(0, golden.find("21,23") + 3), "line 17: the last line is not ended"},
        {golden.substr(0, lineEnd + 1), "line 15: the file ends right after a \";\""},
        {golden.substr(0, lineEnd + 2), "line 15: the file ends right after a \";\""},
        {"", "is empty"},
        {std::string("\x7f" "ELF\x02\x01\x01\0\0\0", 10), "line 1: holds a NUL byte"},
        {golden + std::string(ConfigStore::kStrictFileCap - golden.size() + 1, '\n'),
         "is larger than the 4 MiB a policy file may hold"},
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

namespace {

// Random stores within what the format can carry: names without "=", "[",
// ";", a line feed or outer white space (and without the "*" and "?" that
// value look-ups read as wildcards), unique among their siblings; texts of
// any bytes but NUL, their lines often reading like section or value lines.
class RandomStore {
public:
    explicit RandomStore(uint32_t seed) : m_random(seed) {}

    void Fill(ConfigStore& store) {
        const char* titles[] = {"", "", "Format=2;", "Host Warden policy", " spaced\ttitle\r"};
        store.SetHeader(OneOf(titles));
        if (Chance(8)) {
            return;  // an empty store
        }
        FillKey(store, "", 0);
    }

private:
    void FillKey(ConfigStore& store, const std::string& path, int depth) {
        std::vector<std::string> names;
        const int values = Below(5);
        for (int i = 0; i < values; ++i) {
            std::string name = UniqueName(names, {"key", "SMessage", "Name"});
            switch (Below(7)) {
                case 0:
                    store.SetLong(path, name, static_cast<long>(static_cast<int32_t>(m_random())));
                    break;
                case 1:
                    store.SetBool(path, name, Chance(2));
                    break;
                case 2: {
                    std::string bytes = Text();
                    store.SetBinary(path, name, bytes.data(), static_cast<uint32_t>(bytes.size()));
                    break;
                }
                case 3: {
                    // Pointers and values never set are not carried.
                    auto* value = new ConfigValue();
                    value->SetName(name);
                    if (Chance(2)) {
                        value->SetPointer(reinterpret_cast<void*>(uintptr_t{m_random()}));
                    }
                    store.CreateKey(path)->AddValue(value);
                    break;
                }
                default:
                    store.SetString(path, name, Text());
                    break;
            }
        }
        if (values == 0 && path.empty() == false && Chance(2)) {
            store.AddKey(path);
        }
        const int keys = depth < 3 ? Below(4) : 0;
        std::vector<std::string> keyNames;
        for (int i = 0; i < keys; ++i) {
            std::string name = UniqueName(keyNames, {"volatile", "Advanced", "a]b"});
            store.AddKey(path + "\\" + name);
            FillKey(store, path + "\\" + name, depth + 1);
        }
    }

    std::string UniqueName(std::vector<std::string>& taken, std::initializer_list<const char*> special) {
        for (;;) {
            std::string name = Chance(5) ? std::string(special.begin()[Below(static_cast<int>(special.size()))])
                                         : Name();
            if (std::find(taken.begin(), taken.end(), name) == taken.end()) {
                taken.push_back(name);
                return name;
            }
        }
    }

    std::string Name() {
        static const std::string inner = "abcXYZ019 \t]{}$#@!.,'\"-_/:\r\xE9\xFF";
        std::string name(1, "AbZ9]_\xC3"[Below(7)]);
        const int more = Below(8);
        for (int i = 0; i < more; ++i) {
            name += inner[Below(static_cast<int>(inner.size()))];
        }
        name += "zQ7"[Below(3)];
        return name;
    }

    // Lines such as a script's: brackets first, lines that read as values
    // or sections, ";" and ";;", carriage returns of its own, and any byte.
    std::string Text() {
        const char* pieces[] = {"[string trim $x]", "[\\a\\b\\]", "Name\t=S\tvalue", "n =S v",
                                ";",    ";;",     "\r\n",    "\n",      "\r",     "\t", " ", "=",
                                "[",    "]",      "\\",      "x"};
        std::string text;
        const int count = Below(12);
        for (int i = 0; i < count; ++i) {
            if (Chance(4)) {
                text += static_cast<char>(1 + Below(255));
            } else {
                text += OneOf(pieces);
            }
        }
        return text;
    }

    template <size_t N>
    const char* OneOf(const char* (&choices)[N]) {
        return choices[Below(static_cast<int>(N))];
    }
    int Below(int n) { return static_cast<int>(m_random() % static_cast<uint32_t>(n)); }
    bool Chance(int oneIn) { return Below(oneIn) == 0; }

    std::mt19937 m_random;
};

// The store as lines a comparison can show: each key's path, each value
// with its type and datum.  `asRead` gives what a save and a load leave of
// it: no "volatile" key (nor what lies below it), no "SMessage" value, no
// pointer or unset value, texts trimmed but "key", which gains the tab
// after its type letter.  `valuesOnly` leaves the keys out, as a merge
// makes a key only for a value.
void Describe(const ConfigNode* key, const std::string& path, bool asRead, bool valuesOnly,
              std::vector<std::string>& lines) {
    if (!valuesOnly) {
        lines.push_back("key " + path);
    }
    for (const ConfigNode* node : key->GetValues()) {
        const auto& value = static_cast<const ConfigValue&>(*node);
        const std::string& name = value.GetName();
        std::string datum;
        switch (value.GetType()) {
            case ConfigValue::kText:
                datum = value.Text();
                if (asRead && name == "key") {
                    datum.insert(0, "\t");
                } else if (asRead) {
                    plat::TrimSettings(datum);
                }
                break;
            case ConfigValue::kLong:
                datum = std::to_string(value.Long());
                break;
            case ConfigValue::kBool:
                datum = value.Bool() ? "true" : "false";
                break;
            default:
                if (asRead) {
                    continue;
                }
                break;
        }
        if (asRead && name == "SMessage") {
            continue;
        }
        lines.push_back(path + " | " + name + " | " + std::to_string(value.GetType()) + " | " + datum);
    }
    for (const ConfigNode* child : key->GetChildren()) {
        if (!asRead || child->GetName() != "volatile") {
            Describe(child, path + child->GetName() + "\\", asRead, valuesOnly, lines);
        }
    }
}

std::vector<std::string> Described(const ConfigNode* key, bool asRead, bool valuesOnly) {
    std::vector<std::string> lines;
    if (asRead && key->GetName() == "volatile") {
        // Saved alone, it leaves the file of an empty store.
        return valuesOnly ? lines : std::vector<std::string>{"key \\"};
    }
    Describe(key, "\\", asRead, valuesOnly, lines);
    return lines;
}

// Any path of the store's keys, for a save of one key.
void KeyPaths(const ConfigNode* key, const std::string& path, std::vector<std::string>& paths) {
    for (const ConfigNode* child : key->GetChildren()) {
        std::string childPath = path + "\\" + child->GetName();
        paths.push_back(childPath);
        KeyPaths(child, childPath, paths);
    }
}

}  // namespace

// Whatever the writer makes of a store, the strict reader takes whole, as a
// load and as a merge, and reads back what the writer was given.
TEST(ConfigStoreFile, StrictReaderTakesEveryFileTheWriterMakes) {
    hwtest::ScratchDirectory dir;
    const std::string file = dir.File("written.policy");
    for (uint32_t seed = 1; seed <= 200; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        ConfigStore written;
        RandomStore(seed).Fill(written);
        // Now and then one key is saved, its paths relative to it.
        std::vector<std::string> paths;
        KeyPaths(written.GetRoot(), "", paths);
        std::string keyPath = !paths.empty() && seed % 5 == 0 ? paths[seed % paths.size()] : "";
        ASSERT_EQ(0, written.SaveFile(file, keyPath, 1));
        const ConfigNode* top = keyPath.empty() ? written.GetRoot() : written.FindKey(keyPath);

        ConfigStore loaded;
        loaded.SetStrictReading(true);
        ASSERT_EQ(0, loaded.LoadFile(file, "", "", false))
            << loaded.GetReadProblem() << "\n" << hwtest::ReadWholeFile(file);
        EXPECT_EQ(written.GetHeader(), loaded.GetHeader());
        EXPECT_EQ(Described(top, true, false), Described(loaded.GetRoot(), false, false))
            << hwtest::ReadWholeFile(file);

        ConfigStore merged;
        merged.SetStrictReading(true);
        ASSERT_TRUE(merged.UpdateFromFile(file, "", ""))
            << merged.GetReadProblem() << "\n" << hwtest::ReadWholeFile(file);
        EXPECT_EQ(Described(top, true, true), Described(merged.GetRoot(), false, true))
            << hwtest::ReadWholeFile(file);
    }
}
