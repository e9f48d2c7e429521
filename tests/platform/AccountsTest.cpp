#include "platform/Accounts.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/LastError.h"
#include "support/TestUtil.h"

namespace {

class AccountsTest : public ::testing::Test {
protected:
    struct Found {
        uint32_t result = 0;
        std::string domain;
        std::string name;
        uint32_t use = 0;
    };

    static Found BySid(const std::string& text) {
        plat::Sid sid;
        EXPECT_TRUE(plat::SidFromText(text, sid)) << text;
        Found found;
        char name[64] = {};
        char domain[64] = {};
        uint32_t nameSize = sizeof name;
        uint32_t domainSize = sizeof domain;
        found.result = plat::LookupAccountSid(sid.data(), sid.size(), name, &nameSize, domain,
                                              &domainSize, &found.use);
        found.name = name;
        found.domain = domain;
        return found;
    }

    static std::string SidOfName(const char* account) {
        uint8_t sid[plat::kSidMaxSize] = {};
        char domain[64] = {};
        uint32_t sidSize = sizeof sid;
        uint32_t domainSize = sizeof domain;
        if (plat::LookupAccountName(account, sid, &sidSize, domain, &domainSize, nullptr) != 0) {
            return "<none>";
        }
        return plat::SidToText(sid, sidSize);
    }

    hwtest::ScratchDirectory m_dir;
    hwtest::EnvironmentOverride m_root{"QOR_PLATFORM_ROOT", m_dir.Path().c_str()};
};

}  // namespace

TEST_F(AccountsTest, MalformedSidTextIsRejected) {
    plat::Sid sid;
    for (const char* bad : {"", "S-1", "S-1-5", "S-1-5-", "S-2-5-18", "S-1-x-18", "S-1-5-18-",
                            "S-1-5--18", "S-1-5-18x", "S-1-5-4294967296", "X-1-5-18",
                            "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"}) {
        EXPECT_FALSE(plat::SidFromText(bad, sid)) << bad;
    }
    ASSERT_TRUE(plat::SidFromText("S-1-5-21-1-2-4294967295", sid));
    EXPECT_EQ(8u + 4 * 4, sid.size());
    EXPECT_EQ(5, sid[7]);
    EXPECT_EQ("S-1-5-21-1-2-4294967295", plat::SidToText(sid));
    ASSERT_TRUE(plat::SidFromText("S-1-0x123456789ABC-7", sid));
    EXPECT_EQ("S-1-0x123456789ABC-7", plat::SidToText(sid));
}

TEST_F(AccountsTest, TruncatedOrForeignSidBytesAreRejected) {
    const uint8_t authority[6] = {0, 0, 0, 0, 0, 5};
    const uint32_t subs[2] = {32, 544};
    plat::Sid sid;
    ASSERT_EQ(0u, plat::AllocateAndInitializeSid(authority, 2, subs, sid));
    EXPECT_EQ("S-1-5-32-544", plat::SidToText(sid));
    EXPECT_EQ(16u, plat::SidLength(sid.data(), sid.size() + 8));
    EXPECT_EQ(0u, plat::SidLength(sid.data(), sid.size() - 1));
    EXPECT_EQ(plat::kErrInvalidParameter, plat::AllocateAndInitializeSid(authority, 9, subs, sid));

    uint8_t foreign[16] = {2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    EXPECT_FALSE(plat::IsValidSid(foreign, sizeof foreign));
    char name[8];
    char domain[8];
    uint32_t nameSize = sizeof name;
    uint32_t domainSize = sizeof domain;
    EXPECT_EQ(plat::kErrInvalidSid, plat::LookupAccountSid(foreign, sizeof foreign, name, &nameSize,
                                                           domain, &domainSize, nullptr));
}

TEST_F(AccountsTest, WellKnownAccountsResolveBothWays) {
    Found everyone = BySid("S-1-1-0");
    EXPECT_EQ(0u, everyone.result);
    EXPECT_EQ("Everyone", everyone.name);
    EXPECT_EQ("", everyone.domain);
    EXPECT_EQ(plat::kSidUseWellKnownGroup, everyone.use);
    EXPECT_EQ("SYSTEM", BySid("S-1-5-18").name);
    EXPECT_EQ("NT AUTHORITY", BySid("S-1-5-18").domain);
    EXPECT_EQ("S-1-1-0", SidOfName("everyone"));
    EXPECT_EQ("S-1-5-18", SidOfName("SYSTEM"));
    EXPECT_EQ("S-1-5-32-544", SidOfName("builtin\\administrators"));
    EXPECT_EQ("<none>", SidOfName("OTHERDOMAIN\\SYSTEM"));
    EXPECT_EQ("<none>", SidOfName("no such account here"));
    EXPECT_EQ(plat::kErrNoneMapped, BySid("S-1-5-21-9-9-9-9").result);
    EXPECT_EQ("S-1-22-1-0", SidOfName("root"));
    EXPECT_EQ("root", BySid("S-1-22-1-0").name);
}

TEST_F(AccountsTest, SmallBuffersAnswerTheSizesNeeded) {
    plat::Sid sid;
    ASSERT_TRUE(plat::SidFromText("S-1-5-18", sid));
    uint32_t nameSize = 0;
    uint32_t domainSize = 0;
    EXPECT_EQ(plat::kErrInsufficientBuffer,
              plat::LookupAccountSid(sid.data(), sid.size(), nullptr, &nameSize, nullptr,
                                     &domainSize, nullptr));
    EXPECT_EQ(7u, nameSize);
    EXPECT_EQ(13u, domainSize);
    char name[7];
    char domain[12];
    domainSize = sizeof domain;
    EXPECT_EQ(plat::kErrInsufficientBuffer,
              plat::LookupAccountSid(sid.data(), sid.size(), name, &nameSize, domain, &domainSize,
                                     nullptr));
    EXPECT_EQ(plat::kErrInsufficientBuffer, plat::GetLastError());

    uint32_t sidSize = 4;
    uint8_t small[4];
    domainSize = sizeof domain;
    EXPECT_EQ(plat::kErrInsufficientBuffer,
              plat::LookupAccountName("SYSTEM", small, &sidSize, domain, &domainSize, nullptr));
    EXPECT_EQ(12u, sidSize);
}

TEST_F(AccountsTest, AccountsFileRenamesAndAddsAccounts) {
    hwtest::WriteWholeFile(
        m_dir.File("accounts.txt"),
        "# local names\r\nS-1-1-0\tJeder\t5\r\nS-1-5-21-7-7-7-1001\tHOST\\alice\n"
        "not a sid\tbroken\nS-1-5-21-7-7-7-1002\n");
    EXPECT_EQ("Jeder", BySid("S-1-1-0").name);
    Found alice = BySid("S-1-5-21-7-7-7-1001");
    EXPECT_EQ("HOST", alice.domain);
    EXPECT_EQ("alice", alice.name);
    EXPECT_EQ(plat::kSidUseUser, alice.use);
    EXPECT_EQ("S-1-5-21-7-7-7-1001", SidOfName("host\\ALICE"));
    EXPECT_EQ("S-1-1-0", SidOfName("Jeder"));
    EXPECT_EQ(plat::kErrNoneMapped, BySid("S-1-5-21-7-7-7-1002").result);
}
