#include <gtest/gtest.h>

#include <string>

#include "platform/LastError.h"
#include "platform/Registry.h"
#include "qorToolsLib/ConfigStore.h"
#include "support/TestUtil.h"

namespace {

class ConfigStoreRegistry : public ::testing::Test {
protected:
    // Whatever a test left pending goes to its own folder, not the next one's.
    void TearDown() override { plat::RegistryFlush(); }

    hwtest::ScratchDirectory m_dir;
    hwtest::EnvironmentOverride m_root{"QOR_PLATFORM_ROOT", m_dir.Path().c_str()};
};

}  // namespace

TEST_F(ConfigStoreRegistry, LongValueLosesNothingAfterItOnTheWayBack) {
    const std::string longText(5000, 'L');
    ConfigStore source;
    source.SetString("Policy\\Engine", "Before", "first");
    source.SetString("Policy\\Engine", "Long", longText);
    source.SetString("Policy\\Engine", "After", "last");
    source.SetLong("Policy\\Engine", "Timeout", -30);
    source.SetBool("Policy\\Engine", "Enabled", true);
    source.SetString("Policy\\Engine\\A sub-key whose name is longer than eighty characters in all, "
                     "which is past the first buffer",
                     "Deep", "yes");
    source.SetString("Policy\\Engine\\Rules", "Name", "r;1");

    plat::RegistryKey software = 0;
    ASSERT_EQ(0u, plat::RegistryCreateKey(plat::kRegistryLocalMachine, "SOFTWARE\\QOR", &software));
    ASSERT_EQ(0, source.ExportToRegistry(software, "Policy", 1));
    plat::RegistryCloseKey(software);
    std::string file = hwtest::ReadWholeFile(m_dir.File("registry.txt"));
    EXPECT_NE(std::string::npos, file.find("Long\t=S\t" + longText + ";\r\n"));

    ConfigStore back;
    ASSERT_EQ(0, back.ImportRegistry(plat::kRegistryLocalMachine, "SOFTWARE\\QOR\\Policy",
                                     "\\Imported"));
    const std::string engine = "Imported\\Engine";
    EXPECT_EQ("first", back.GetString(engine, "Before", ""));
    EXPECT_EQ(longText, back.GetString(engine, "Long", ""));
    EXPECT_EQ("last", back.GetString(engine, "After", ""));
    EXPECT_EQ(-30, back.GetLong(engine, "Timeout", 0));
    // Bools travel as words.
    EXPECT_EQ(1, back.GetLong(engine, "Enabled", 0));
    EXPECT_EQ("r;1", back.GetString(engine + "\\Rules", "Name", ""));
    std::vector<std::string> names;
    ASSERT_TRUE(back.GetSubKeyNames(engine, names));
    ASSERT_EQ(2u, names.size());
    EXPECT_EQ("yes", back.GetString(engine + "\\" + names[0], "Deep", ""));
}

TEST_F(ConfigStoreRegistry, RootValuesGoIntoTheParentKeyItself) {
    ConfigStore source;
    source.SetString("", "Top", "t");
    source.SetLong("Child", "n", 4);
    plat::RegistryKey parent = 0;
    ASSERT_EQ(0u, plat::RegistryCreateKey(plat::kRegistryCurrentUser, "Export", &parent));
    ASSERT_EQ(0, source.ExportToRegistry(parent, "", 0));
    plat::RegistryCloseKey(parent);

    ConfigStore back;
    ASSERT_EQ(0, back.ImportRegistry(plat::kRegistryCurrentUser, "Export", ""));
    EXPECT_EQ("t", back.GetString("", "Top", ""));
    EXPECT_EQ(4, back.GetLong("Child", "n", 0));
}

TEST_F(ConfigStoreRegistry, MissingSubKeyAnswersTheOpenErrorAndChangesNothing) {
    ConfigStore store;
    EXPECT_EQ(static_cast<int32_t>(plat::kErrFileNotFound),
              store.ImportRegistry(plat::kRegistryLocalMachine, "SOFTWARE\\Missing", "x"));
    EXPECT_FALSE(store.KeyExists("x"));
    EXPECT_EQ(-1, store.ExportToRegistry(plat::kRegistryLocalMachine, "missing", 1));
}

TEST_F(ConfigStoreRegistry, ValueTheRegistryRefusesIsReportedAndTheRestStillGoes) {
    ConfigStore source;
    source.SetString("K", "bad;name", "x");
    source.SetString("K", "good", "y");
    EXPECT_EQ(static_cast<int32_t>(plat::kErrInvalidParameter),
              source.ExportToRegistry(plat::kRegistryUsers, "", 0));
    ConfigStore back;
    ASSERT_EQ(0, back.ImportRegistry(plat::kRegistryUsers, "K", ""));
    EXPECT_EQ("y", back.GetString("", "good", ""));
}

TEST(ConfigStoreSystemText, KnownCodeHasTextAndUnknownIsEmpty) {
    ConfigStore store;
    EXPECT_FALSE(store.GetSystemErrorText(2).empty());
    EXPECT_EQ("", store.GetSystemErrorText(0x7FFF1234u));
}
