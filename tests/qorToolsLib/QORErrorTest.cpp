#include "qorToolsLib/QORError.h"

#include <gtest/gtest.h>

#include <string>

TEST(QORError, StatusTextIsHexAboveSixteenBitsAndDecimalBelow) {
    EXPECT_STREQ("0xc7210003", QORError(0xC7210003u).StatusText());
    EXPECT_STREQ("87", QORError(87).StatusText());
    EXPECT_STREQ("65535", QORError(0xFFFF).StatusText());
    EXPECT_STREQ("0x00010000", QORError(0x10000).StatusText());
}

TEST(QORError, MessageCarriesTheStatusId) {
    QORError error(QOR_E_INVALID_DATA);
    std::string text = error.GetMessage(80);
    EXPECT_NE(std::string::npos, text.find("[ID=0xc7210003]")) << text;
    EXPECT_EQ(std::string::npos, text.find('\r'));
    // Width 0 keeps the message on its own line ending.
    std::string unwrapped = error.GetMessage(0);
    ASSERT_GE(unwrapped.size(), 2u);
    EXPECT_EQ("\r\n", unwrapped.substr(unwrapped.size() - 2));
}

TEST(QORError, NarrowWidthPutsTheIdOnItsOwnLine) {
    QORError error(QOR_E_NO_FILE_NAME);
    std::string text = error.GetMessage(20);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        EXPECT_LE(end - start, 20u) << text;
        start = end + 1;
    }
    EXPECT_NE(std::string::npos, text.find("\n[ID=0xc721000c]")) << text;
}

TEST(QORError, WinsockErrorsAreWordedThroughTheirLibraryStatus) {
    QORError plain(10061);
    QORError mapped(0xC727274Du);
    std::string a = plain.GetMessage(80);
    std::string b = mapped.GetMessage(80);
    EXPECT_EQ(a.substr(0, a.find("[ID=")), b.substr(0, b.find("[ID=")));
    EXPECT_NE(std::string::npos, a.find("[ID=10061]"));
}

TEST(QORError, UnknownStatusGivesTheRetrievalFailureText) {
    QORError error(0xC7219999u);
    EXPECT_STREQ("Status 317 retrieving message text. [ID=0xc7219999]", error.GetMessage(255));
}

TEST(QORError, WidthOutsideRangeCountsAs255) {
    QORError error(0xC7219999u);
    EXPECT_STREQ(error.GetMessage(255), std::string(error.GetMessage(300)).c_str());
    EXPECT_STREQ(error.GetMessage(255), std::string(error.GetMessage(-4)).c_str());
}

TEST(QORError, CopiesKeepStatusAndMessage) {
    QORError error(QOR_E_WRONG_STATE);
    error.GetMessage(80);
    QORError copy(error);
    EXPECT_EQ(QOR_E_WRONG_STATE, copy.Status());
    QORError assigned;
    assigned = copy;
    EXPECT_STREQ("0xc7210005", assigned.StatusText());
}

TEST(QORError, NormalizeStatusMapsPlainErrors) {
    EXPECT_EQ(QOR_E_FILE_NOT_FOUND, QORError::NormalizeStatus(2));
    EXPECT_EQ(QOR_E_DISK_FULL, QORError::NormalizeStatus(112));
    EXPECT_EQ(0xC0000004u, QORError::NormalizeStatus(29));
    EXPECT_EQ(0xC727274Du, QORError::NormalizeStatus(10061));
    EXPECT_EQ(0xC72D1234u, QORError::NormalizeStatus(0x80091234u));
    EXPECT_EQ(0u, QORError::NormalizeStatus(0x80090000u));
    EXPECT_EQ(QOR_E_INVALID_DATA, QORError::NormalizeStatus(QOR_E_INVALID_DATA));
    EXPECT_EQ(4242u, QORError::NormalizeStatus(4242));
}

TEST(qorErrorException, DescriptionNamesFileLineAndCall) {
    qorErrorException e(QOR_E_WRONG_STATE, "osStatus", "stream.cpp", 12);
    QORError plain(QOR_E_WRONG_STATE);
    std::string expected = std::string("stream.cpp (12) osStatus = ") + plain.GetMessage(80);
    EXPECT_EQ(expected, e.what());
    qorErrorException noLine(QOR_E_WRONG_STATE, "osStatus", "stream.cpp", 0);
    EXPECT_EQ(std::string("stream.cpp osStatus = ") + plain.GetMessage(80), noLine.what());
    qorErrorException bare(QOR_E_WRONG_STATE);
    EXPECT_EQ(std::string(plain.GetMessage(80)), bare.what());
}

TEST(qorErrorException, CopyKeepsEveryPart) {
    qorErrorException e(QOR_E_INVALID_ARG, "call()", "f.cpp", 7);
    qorErrorException copy(e);
    EXPECT_EQ(QOR_E_INVALID_ARG, copy.Status());
    EXPECT_EQ("call()", copy.CallText());
    EXPECT_EQ("f.cpp", copy.SourceFile());
    EXPECT_EQ(7u, copy.Line());
    EXPECT_STREQ(e.what(), copy.what());
}

TEST(RaiseStatus, ThrowsAThreadExceptionNamingTheSite) {
    try {
        RaiseStatus(QOR_E_BUFFER_SHARED, "owner.cpp", 99);
        FAIL() << "no exception";
    } catch (const jsThreadException& e) {
        std::string text = e.what();
        EXPECT_EQ(0u, text.find("Error detected at: owner.cpp:99\n")) << text;
        EXPECT_NE(std::string::npos, text.find("[ID=0xc7210011]"));
    }
}
