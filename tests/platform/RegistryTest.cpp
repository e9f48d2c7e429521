#include "platform/Registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/LastError.h"
#include "support/TestUtil.h"

namespace {

class RegistryTest : public ::testing::Test {
protected:
    // Whatever a test left pending goes to its own folder, not the next one's.
    void TearDown() override { plat::RegistryFlush(); }

    plat::RegistryKey Create(const char* path) {
        plat::RegistryKey key = 0;
        EXPECT_EQ(0u, plat::RegistryCreateKey(plat::kRegistryLocalMachine, path, &key));
        return key;
    }

    static uint32_t SetText(plat::RegistryKey key, const char* name, const std::string& text) {
        return plat::RegistrySetValue(key, name, plat::kRegistryString,
                                      reinterpret_cast<const uint8_t*>(text.c_str()),
                                      static_cast<uint32_t>(text.size() + 1));
    }

    static uint32_t SetWord(plat::RegistryKey key, const char* name, uint32_t word) {
        return plat::RegistrySetValue(key, name, plat::kRegistryWord,
                                      reinterpret_cast<const uint8_t*>(&word), 4);
    }

    static std::string QueryText(plat::RegistryKey key, const char* name) {
        char data[256] = {};
        uint32_t size = sizeof data;
        uint32_t type = 0;
        if (plat::RegistryQueryValue(key, name, &type, reinterpret_cast<uint8_t*>(data), &size) !=
                0 ||
            type != plat::kRegistryString) {
            return "<none>";
        }
        return std::string(data, size - 1);
    }

    std::string RegistryFile() const { return m_dir.File("registry.txt"); }

    hwtest::ScratchDirectory m_dir;
    hwtest::EnvironmentOverride m_root{"QOR_PLATFORM_ROOT", m_dir.Path().c_str()};
};

}  // namespace

TEST_F(RegistryTest, MissingKeyAnswersFileNotFound) {
    plat::RegistryKey key = 0;
    EXPECT_EQ(plat::kErrFileNotFound,
              plat::RegistryOpenKey(plat::kRegistryLocalMachine, "SOFTWARE\\QOR\\Path", &key));
    EXPECT_EQ(plat::kErrFileNotFound, plat::GetLastError());
    ASSERT_EQ(0u, plat::RegistryOpenKey(plat::kRegistryLocalMachine, "", &key));
    EXPECT_EQ(0u, plat::RegistryCloseKey(key));
    EXPECT_EQ(plat::kErrInvalidHandle, plat::RegistryCloseKey(key));
    EXPECT_EQ(plat::kErrInvalidHandle, plat::RegistryOpenKey(99, "x", &key));
    char name[8];
    uint32_t size = sizeof name;
    EXPECT_EQ(plat::kErrInvalidHandle, plat::RegistryEnumKey(0x7777, 0, name, &size));
}

TEST_F(RegistryTest, ShortBuffersAnswerMoreDataWithTheSizesNeeded) {
    plat::RegistryKey key = Create("SOFTWARE\\Walk");
    std::string longText(2000, 'x');
    ASSERT_EQ(0u, SetText(key, "Short", "s"));
    ASSERT_EQ(0u, SetText(key, "Long", longText));
    ASSERT_EQ(0u, SetWord(key, "Word", 0xFFFFFFFEu));
    plat::RegistryKey child = 0;
    ASSERT_EQ(0u, plat::RegistryCreateKey(key, "A rather long sub-key name", &child));
    plat::RegistryCloseKey(child);

    char name[100];
    uint8_t data[1024];
    uint32_t nameSize = sizeof name, dataSize = sizeof data, type = 0;
    ASSERT_EQ(0u, plat::RegistryEnumValue(key, 0, name, &nameSize, &type, data, &dataSize));
    EXPECT_EQ("Short", std::string(name, nameSize));
    EXPECT_EQ(2u, dataSize);

    nameSize = sizeof name;
    dataSize = sizeof data;
    ASSERT_EQ(plat::kErrMoreData,
              plat::RegistryEnumValue(key, 1, name, &nameSize, &type, data, &dataSize));
    EXPECT_EQ(2001u, dataSize);
    EXPECT_EQ(5u, nameSize);
    std::string big(dataSize, '\0');
    ASSERT_EQ(0u, plat::RegistryEnumValue(key, 1, name, &nameSize, &type,
                                          reinterpret_cast<uint8_t*>(big.data()), &dataSize));
    EXPECT_EQ(longText + '\0', big);

    nameSize = sizeof name;
    dataSize = sizeof data;
    ASSERT_EQ(0u, plat::RegistryEnumValue(key, 2, name, &nameSize, &type, data, &dataSize));
    uint32_t word = 0;
    std::memcpy(&word, data, 4);
    EXPECT_EQ(plat::kRegistryWord, type);
    EXPECT_EQ(0xFFFFFFFEu, word);
    nameSize = sizeof name;
    dataSize = sizeof data;
    EXPECT_EQ(plat::kErrNoMoreItems,
              plat::RegistryEnumValue(key, 3, name, &nameSize, &type, data, &dataSize));

    char small[8];
    uint32_t smallSize = sizeof small;
    ASSERT_EQ(plat::kErrMoreData, plat::RegistryEnumKey(key, 0, small, &smallSize));
    EXPECT_EQ(27u, smallSize);
    nameSize = sizeof name;
    EXPECT_EQ(0u, plat::RegistryEnumKey(key, 0, name, &nameSize));
    nameSize = sizeof name;
    EXPECT_EQ(plat::kErrNoMoreItems, plat::RegistryEnumKey(key, 1, name, &nameSize));
    plat::RegistryCloseKey(key);
}

TEST_F(RegistryTest, ClosingTheLastKeyWritesTheSettingsFile) {
    plat::RegistryKey key = Create("SOFTWARE\\QOR\\qorDaemon\\config");
    ASSERT_EQ(0u, SetText(key, "daemonpath", "/opt/qor;daemon"));
    ASSERT_EQ(0u, SetWord(key, "Port", static_cast<uint32_t>(-5)));
    EXPECT_FALSE(std::filesystem::exists(RegistryFile()));
    ASSERT_EQ(0u, plat::RegistryCloseKey(key));
    EXPECT_EQ(
        "[\\LocalMachine\\];\r\n[\\LocalMachine\\SOFTWARE\\];\r\n"
        "[\\LocalMachine\\SOFTWARE\\QOR\\];\r\n[\\LocalMachine\\SOFTWARE\\QOR\\qorDaemon\\];\r\n"
        "[\\LocalMachine\\SOFTWARE\\QOR\\qorDaemon\\config\\];\r\n"
        "daemonpath\t=S\t/opt/qor;;daemon;\r\nPort\t=L\t-5;\r\n",
        hwtest::ReadWholeFile(RegistryFile()));
}

TEST_F(RegistryTest, AnotherWritersFileIsSeenAndMergedWithPendingChanges) {
    hwtest::WriteWholeFile(RegistryFile(), "[\\LocalMachine\\SOFTWARE\\QOR\\Path\\];\r\nDaemonRoot\t=S\t/a;\r\n");
    plat::RegistryKey path = 0;
    ASSERT_EQ(0u, plat::RegistryOpenKey(plat::kRegistryLocalMachine, "software\\qor\\PATH", &path));
    EXPECT_EQ("/a", QueryText(path, "daemonroot"));

    ASSERT_EQ(0u, SetText(path, "HostWardenRoot", "/sensor"));
    // Another process replaces the file while this one holds a change.
    hwtest::WriteWholeFile(RegistryFile(),
               "[\\LocalMachine\\SOFTWARE\\QOR\\Path\\];\r\nDaemonRoot\t=S\t/b;\r\n"
               "[\\CurrentUser\\Other\\];\r\nx\t=L\t1;\r\n");
    ASSERT_EQ(0u, plat::RegistryCloseKey(path));

    std::string file = hwtest::ReadWholeFile(RegistryFile());
    EXPECT_NE(std::string::npos, file.find("DaemonRoot\t=S\t/b;")) << file;
    EXPECT_NE(std::string::npos, file.find("HostWardenRoot\t=S\t/sensor;")) << file;
    EXPECT_NE(std::string::npos, file.find("[\\CurrentUser\\Other\\];")) << file;
}

TEST_F(RegistryTest, NamesTheFileCannotHoldAreRefused) {
    plat::RegistryKey key = Create("SOFTWARE\\Names");
    EXPECT_EQ(plat::kErrInvalidParameter, SetText(key, "a;b", "x"));
    EXPECT_EQ(plat::kErrInvalidParameter, SetText(key, " lead", "x"));
    EXPECT_EQ(plat::kErrInvalidParameter, SetText(key, "", "x"));
    EXPECT_EQ(plat::kErrInvalidParameter, SetText(key, "[x", "x"));
    uint16_t half = 1;
    EXPECT_EQ(plat::kErrInvalidParameter,
              plat::RegistrySetValue(key, "w", plat::kRegistryWord,
                                     reinterpret_cast<const uint8_t*>(&half), 2));
    EXPECT_EQ(plat::kErrInvalidParameter,
              plat::RegistrySetValue(key, "b", 3, reinterpret_cast<const uint8_t*>("x"), 1));
    plat::RegistryKey bad = 0;
    EXPECT_EQ(plat::kErrInvalidParameter, plat::RegistryCreateKey(key, "a;b", &bad));
    plat::RegistryCloseKey(key);
}

TEST_F(RegistryTest, StringsAreStoredUpToTheirFirstNulAndTrimmed) {
    plat::RegistryKey key = Create("SOFTWARE\\Text");
    ASSERT_EQ(0u, plat::RegistrySetValue(key, "v", plat::kRegistryString,
                                         reinterpret_cast<const uint8_t*>(" ab\0cd"), 6));
    EXPECT_EQ("ab", QueryText(key, "v"));
    plat::RegistryCloseKey(key);
}
