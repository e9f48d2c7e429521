#include "qorToolsLib/ModuleVersion.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "platform/DynamicLoader.h"
#include "platform/LastError.h"
#include "support/TestUtil.h"

using hwtest::ScratchDirectory;

namespace {

const std::string kElf(
    "\x7F"
    "ELF\x02\x01\x01",
    7);

struct Version {
    StatusCode m_status;
    std::string m_name, m_version, m_special;
};

Version ReadVersion(const std::string& path) {
    Version v;
    v.m_name = v.m_version = v.m_special = "stale";
    v.m_status = GetModuleVersion(path.c_str(), v.m_name, v.m_version, v.m_special);
    return v;
}

}  // namespace

class ModuleVersionFile : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& bytes) {
        std::string path = m_dir.File(name);
        hwtest::WriteWholeFile(path, bytes);
        return path;
    }
    ScratchDirectory m_dir;
};

TEST_F(ModuleVersionFile, MarkersGiveNameVersionAndSpecialBuild) {
    std::string path = Write("prog", kElf + std::string(100, '\0') +
                                         "@(#)!QORNAME!Warden Sensor!QORNAME! junk @(#)plain "
                                         "@(#)!QORVER!4.0.2.17!QORVER!@(#)!QORSPECIAL!hotfix 3"
                                         "!QORSPECIAL!");
    Version v = ReadVersion(path);
    EXPECT_EQ(QOR_S_OK, v.m_status);
    EXPECT_EQ("Warden Sensor", v.m_name);
    EXPECT_EQ("4.0.2.17", v.m_version);
    EXPECT_EQ("hotfix 3", v.m_special);
}

TEST_F(ModuleVersionFile, WindowsProgramWithoutMarkersIsNamedAfterItsPath) {
    std::string path = Write("Sensor.exe", "MZ\x90" + std::string(500, 'x'));
    Version v = ReadVersion(path);
    EXPECT_EQ(QOR_E_OPEN_FAILED, v.m_status);
    EXPECT_EQ(m_dir.File("Sensor"), v.m_name);
    EXPECT_EQ("", v.m_version);
    EXPECT_EQ("", v.m_special);
    // Only the file name's extension goes, never part of a folder name.
    ScratchDirectory other;
    std::string dotted = other.File("dir.d");
    ASSERT_EQ(0, ::mkdir(dotted.c_str(), 0755));
    hwtest::WriteWholeFile(dotted + "/prog", "MZ");
    EXPECT_EQ(dotted + "/prog", ReadVersion(dotted + "/prog").m_name);
}

TEST_F(ModuleVersionFile, MissingCutOrOverlongMarkersAreRejected) {
    const std::string name = "@(#)!QORNAME!x!QORNAME!";
    const std::pair<std::string, StatusCode> cases[] = {
        {kElf + "@(#)!QORVER!1.0.0.0!QORVER!" + name, QOR_S_OK},  // no special build
        {kElf + "@(#)nothing", QOR_E_OPEN_FAILED},
        {"", QOR_E_OPEN_FAILED},
        {"\x7F", QOR_E_OPEN_FAILED},
        {kElf + "@(#)!QORVER!" + std::string(40, '9') + "!QORVER!" + name, QOR_E_VERSION_TOO_LONG},
        {kElf + "@(#)!QORVER!" + std::string(32, '9') + "!QORVER!@(#)!QORNAME!" +
             std::string(256, 'n') + "!QORNAME!",
         QOR_S_OK},
        {kElf + name + "@(#)!QORVER!1.2", QOR_E_VERSION_TOO_LONG},
        {kElf + "@(#)!QORVE", QOR_E_OPEN_FAILED},
        {kElf + name, QOR_E_VERSION_TOO_LONG},
        {kElf + "@(#)!QORVER!1!QORVER!", QOR_E_VERSION_TOO_LONG},
    };
    for (const auto& [bytes, status] : cases) {
        Version v = ReadVersion(Write("prog", bytes));
        EXPECT_EQ(status, v.m_status) << bytes;
        if (status != QOR_S_OK) {
            EXPECT_EQ("", v.m_version) << bytes;
        } else {
            EXPECT_EQ("", v.m_special) << bytes;
        }
    }
}

TEST_F(ModuleVersionFile, MissingFileGivesItsOpenError) {
    Version v = ReadVersion(m_dir.File("absent"));
    EXPECT_EQ(plat::kErrFileNotFound, v.m_status);
    EXPECT_EQ("", v.m_name);
}

TEST(ModuleVersion, BuiltLibraryCarriesItsMarkers) {
    std::string name, version, special;
    std::string path = plat::ThisModuleDirectory() + "/libhwdyntest.so";
    ASSERT_EQ(QOR_S_OK, GetModuleVersion(path.c_str(), name, version, special));
    EXPECT_EQ("Dynamic Test Library", name);
    EXPECT_EQ("1.2.3.4", version);
    EXPECT_EQ("test build", special);
}
