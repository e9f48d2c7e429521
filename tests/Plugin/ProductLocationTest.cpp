#include "Plugin/ProductLocation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Console.h"
#include "platform/Environment.h"
#include "platform/Registry.h"
#include "support/TestUtil.h"

namespace {

class ProductLocationTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_previousSink = plat::SetConsoleSink(
            [this](std::string_view text) { m_console.append(text.data(), text.size()); });
    }
    void TearDown() override {
        plat::SetConsoleSink(m_previousSink);
        plat::RegistryFlush();
    }

    static void SetRegistryValue(const char* keyPath, const char* name, uint32_t type, const void* data,
                                 uint32_t size) {
        plat::RegistryKey key = 0;
        ASSERT_EQ(0u, plat::RegistryCreateKey(plat::kRegistryLocalMachine, keyPath, &key));
        ASSERT_EQ(0u, plat::RegistrySetValue(key, name, type, static_cast<const uint8_t*>(data), size));
        plat::RegistryCloseKey(key);
    }
    static void SetRegistryText(const char* keyPath, const char* name, const std::string& text) {
        SetRegistryValue(keyPath, name, plat::kRegistryString, text.c_str(), static_cast<uint32_t>(text.size() + 1));
    }

    std::string Folder(const std::string& name) const {
        std::string path = m_dir.File(name);
        std::filesystem::create_directories(path);
        return path;
    }

    static std::string Environment(const char* name) {
        std::string value;
        return plat::GetEnvironmentText(name, value) ? value : "<unset>";
    }

    hwtest::ScratchDirectory m_dir;
    hwtest::EnvironmentOverride m_root{"QOR_PLATFORM_ROOT", m_dir.Path().c_str()};
    // Locations are exported; every test starts without them and leaves
    // nothing behind.
    hwtest::EnvironmentOverride m_sensorRoot{"HostWardenRoot", nullptr};
    hwtest::EnvironmentOverride m_daemonRoot{"DaemonRoot", nullptr};
    hwtest::EnvironmentOverride m_extra{"ExtraRoot", nullptr};
    plat::ConsoleSink m_previousSink;
    std::string m_console;
};

}  // namespace

TEST_F(ProductLocationTest, MissingPathKeyFallsBackToTheProgramFolder) {
    std::string daemon = Folder("daemon");
    SetRegistryText("SOFTWARE\\QOR\\qorDaemon\\config", "daemonpath", daemon);

    ProductLocation locations("ignored");

    std::string program = plat::ExecutableDirectory();
    ASSERT_NE(nullptr, locations.GetSensorDirectory());
    EXPECT_EQ(program, locations.GetSensorDirectory());
    EXPECT_EQ(daemon + "/", locations.Lookup("DaemonRoot"));
    EXPECT_EQ(program.substr(0, program.size() - 1), Environment("HostWardenRoot"));
    EXPECT_EQ(daemon, Environment("DaemonRoot"));
    EXPECT_NE(std::string::npos,
              m_console.find("ERROR: Unable to get product locations from the registry because "
                             "could not open key \"HKEY_LOCAL_MACHINE SOFTWARE\\QOR\\Path\"\n"));
}

TEST_F(ProductLocationTest, MissingDaemonPathUsesTheSensorParent) {
    std::string sensor = Folder("install/sensor");
    std::string daemon = Folder("install/qorDaemon");
    SetRegistryText("SOFTWARE\\QOR\\Path", "HostWardenRoot", sensor);
    SetRegistryText("SOFTWARE\\QOR\\qorDaemon\\config", "other", "x");

    ProductLocation locations(nullptr);

    EXPECT_EQ(sensor + "/", locations.GetSensorDirectory());
    EXPECT_EQ(daemon + "/", locations.Lookup("DaemonRoot"));
    EXPECT_NE(std::string::npos,
              m_console.find("ERROR: Could not open the Daemon path registry key "
                             "(HKEY_LOCAL_MACHINE\\SOFTWARE\\QOR\\qorDaemon\\config\\daemonpath)"));
}

TEST_F(ProductLocationTest, EnvironmentOverridesTheRegistryAndIsNotRewritten) {
    std::string sensor = Folder("sensor");
    std::string chosen = Folder("chosen");
    SetRegistryText("SOFTWARE\\QOR\\Path", "HostWardenRoot", sensor + "/");
    SetRegistryText("SOFTWARE\\QOR\\Path", "DaemonRoot", sensor);
    hwtest::EnvironmentOverride daemon("DaemonRoot", chosen.c_str());

    ProductLocation locations(nullptr);

    EXPECT_EQ(sensor + "/", locations.Lookup("HostWardenRoot"));
    EXPECT_EQ(sensor, Environment("HostWardenRoot"));
    EXPECT_EQ(chosen + "/", locations.Lookup("DaemonRoot"));
    EXPECT_EQ(chosen, Environment("DaemonRoot"));
}

TEST_F(ProductLocationTest, MissingFolderIsDroppedAfterItWasExported) {
    std::string missing = m_dir.File("missing");
    SetRegistryText("SOFTWARE\\QOR\\Path", "HostWardenRoot", missing);
    SetRegistryText("SOFTWARE\\QOR\\Path", "ExtraRoot", Folder("extra"));

    ProductLocation locations(nullptr);

    EXPECT_EQ(nullptr, locations.GetSensorDirectory());
    EXPECT_EQ(nullptr, locations.Lookup("HostWardenRoot"));
    EXPECT_EQ(missing, Environment("HostWardenRoot"));
    // The walk goes on with the location that took the dropped one's place.
    EXPECT_EQ(m_dir.File("extra") + "/", locations.Lookup("ExtraRoot"));
    EXPECT_NE(std::string::npos,
              m_console.find("ERROR: Ignoring setting product location \"HostWardenRoot\" = \"" +
                             missing + "/\" because it does not exist\n"));
}

TEST_F(ProductLocationTest, NonStringAndEmptyValuesAreSkipped) {
    const uint32_t word = 7;
    SetRegistryValue("SOFTWARE\\QOR\\Path", "ExtraRoot", plat::kRegistryWord, &word, sizeof word);
    SetRegistryText("SOFTWARE\\QOR\\Path", "DaemonRoot", "");

    ProductLocation locations(nullptr);

    EXPECT_EQ(nullptr, locations.Lookup("ExtraRoot"));
    EXPECT_NE(std::string::npos,
              m_console.find("WARNING: \"ExtraRoot\" is an unexpected non-string value under "
                             "\"HKEY_LOCAL_MACHINE\\SOFTWARE\\QOR\\Path\"\n"));
    EXPECT_NE(std::string::npos,
              m_console.find("WARNING: Ignoring setting product location "
                             "\"HKEY_LOCAL_MACHINE\\SOFTWARE\\QOR\\Path\\DaemonRoot\" because it "
                             "has no value\n"));
}

TEST(ProductLocationExpandTest, UnsetReferencesAndLonePercentStayAndTheExpansionIsCutToTheBuffer) {
    hwtest::EnvironmentOverride set("HW_EXPAND_SET", "/opt/sensor");
    hwtest::EnvironmentOverride unset("HW_EXPAND_UNSET", nullptr);
    char output[128];
    size_t length = ProductLocation::ExpandPath("%HW_EXPAND_SET%/logs/%HW_EXPAND_UNSET%/100%", output, sizeof output);
    EXPECT_STREQ("/opt/sensor/logs/%HW_EXPAND_UNSET%/100%", output);
    EXPECT_EQ(std::strlen(output) + 1, length);

    length = ProductLocation::ExpandPath("%HW_EXPAND_SET%/x", output, 8);
    EXPECT_STREQ("/opt/se", output);
    EXPECT_EQ(std::string("/opt/sensor/x").size() + 1, length);
}
