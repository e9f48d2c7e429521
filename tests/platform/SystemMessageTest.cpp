#include "platform/SystemMessage.h"

#include <gtest/gtest.h>

#include "platform/LastError.h"

TEST(SystemMessage, InsertIsSubstitutedAndUnknownCodeAnswersMessageNotFound) {
    std::string text;
    EXPECT_EQ(plat::kErrMessageNotFound, plat::LookupSystemMessage(0x12345678u, nullptr, 0, text));
    std::string insert = "42";
    ASSERT_EQ(0u, plat::LookupSystemMessage(0xC721002Du, &insert, 0, text));
    EXPECT_NE(std::string::npos, text.find("42"));
    EXPECT_EQ(std::string::npos, text.find("%1"));
}

TEST(WrapText, BreaksAtSpacesExpandsTabsAndSplitsAtControls) {
    EXPECT_EQ("aaa bbb\nccc", plat::WrapText("aaa bbb ccc", 8));
    EXPECT_EQ("a       b", plat::WrapText("a\tb", 20));
    EXPECT_EQ("one\ntwo", plat::WrapText("one\x01two", 20));
    EXPECT_EQ("unchanged text", plat::WrapText("unchanged text", 0));
}

TEST(LastError, MapsErrno) {
    EXPECT_EQ(plat::kErrDiskFull, plat::MapErrno(ENOSPC));
    EXPECT_EQ(10061u, plat::MapSocketErrno(ECONNREFUSED));
    EXPECT_EQ(plat::kErrFileNotFound, plat::SetLastErrorFromErrno(ENOENT));
    EXPECT_EQ(plat::kErrFileNotFound, plat::GetLastError());
}
