#include "platform/Security.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/LastError.h"
#include "support/TestUtil.h"

namespace {

class SecurityTest : public ::testing::Test {
protected:
    void TearDown() override {
        plat::RegistryFlush();
        plat::DisableSecurityPrivilege();
    }

    hwtest::ScratchDirectory m_dir;
    hwtest::EnvironmentOverride m_root{"QOR_PLATFORM_ROOT", m_dir.Path().c_str()};
};

}  // namespace

TEST_F(SecurityTest, DamagedEntriesOfTheStateFileAreSkipped) {
    std::string path = m_dir.File("object.txt");
    hwtest::WriteWholeFile(path, "x");
    hwtest::WriteWholeFile(m_dir.File("security.txt"),
                           "header\r\n[\\Objects\\1\\];\r\nKind\t=S\tFile;\r\nName\t=S\t" + path +
                               ";\r\nSacl\t=S\t2:0x40:0x1:S-1-1-0,9:zz:1:S-1-1-0,2:0x80:0x2:"
                               "S-1-9,2:0x999:0x4:S-1-5-18,2:0x80:0x8:S-1-5-18;\r\n");
    plat::SecurityDescriptor sd;
    EXPECT_EQ(plat::kErrPrivilegeNotHeld, plat::GetFileSecurity(path, plat::kSecuritySacl, sd));
    ASSERT_EQ(0u, plat::EnableSecurityPrivilege());
    ASSERT_EQ(0u, plat::GetFileSecurity(path, plat::kSecuritySacl, sd));
    ASSERT_EQ(2u, sd.sacl.size());
    EXPECT_EQ(0x1u, sd.sacl[0].mask);
    EXPECT_EQ(0x8u, sd.sacl[1].mask);
    EXPECT_EQ(plat::kErrFileNotFound,
              plat::GetFileSecurity(m_dir.File("absent"), plat::kSecuritySacl, sd));
}

TEST_F(SecurityTest, KeysAreNamedWithoutRegardToCaseAndMustExist) {
    plat::RegistryKey key = 0;
    ASSERT_EQ(0u, plat::RegistryCreateKey(plat::kRegistryLocalMachine, "Software\\App", &key));
    plat::RegistryCloseKey(key);
    ASSERT_EQ(0u, plat::EnableSecurityPrivilege());
    plat::SecurityDescriptor sd;
    sd.sacl.push_back({plat::kAceSystemAudit, 0xC0, 0x2, {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}});
    ASSERT_EQ(0u, plat::SetKeySecurity(plat::kRegistryLocalMachine, "SOFTWARE\\\\app\\",
                                       plat::kSecuritySacl, sd));
    plat::SecurityDescriptor read;
    ASSERT_EQ(0u, plat::GetKeySecurity(plat::kRegistryLocalMachine, "software\\APP",
                                       plat::kSecurityOwner | plat::kSecuritySacl, read));
    EXPECT_EQ(sd.sacl, read.sacl);
    EXPECT_EQ("S-1-5-18", plat::SidToText(read.owner));
    EXPECT_EQ(
        plat::kErrFileNotFound,
        plat::SetKeySecurity(plat::kRegistryCurrentUser, "Software\\App", plat::kSecuritySacl, sd));
}

TEST_F(SecurityTest, RecordsAppendedByOthersAreSeenAndSupersededOnesAreDropped) {
    std::string path = m_dir.File("object.txt");
    hwtest::WriteWholeFile(path, "x");
    ASSERT_EQ(0u, plat::EnableSecurityPrivilege());
    plat::SecurityDescriptor sd;
    sd.sacl.push_back({plat::kAceSystemAudit, 0x40, 0, {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}});
    for (uint32_t mask = 1; mask <= 300; ++mask) {
        sd.sacl[0].mask = mask;
        ASSERT_EQ(0u, plat::SetFileSecurity(path, plat::kSecuritySacl, sd));
    }
    std::string state = hwtest::ReadWholeFile(m_dir.File("security.txt"));
    EXPECT_LT(state.size(), 100u * 200);

    // Another process appends a newer record of the same object.
    std::string real = std::filesystem::canonical(path).string();
    hwtest::WriteWholeFile(m_dir.File("security.txt"),
                           state + "[\\Objects\\999\\];\r\nKind\t=S\tFile;\r\nName\t=S\t" + real +
                               ";\r\nSacl\t=S\t2:0x80:0x7:S-1-5-18;\r\n");
    plat::SecurityDescriptor read;
    ASSERT_EQ(0u, plat::GetFileSecurity(path, plat::kSecuritySacl, read));
    ASSERT_EQ(1u, read.sacl.size());
    EXPECT_EQ(0x7u, read.sacl[0].mask);
}
