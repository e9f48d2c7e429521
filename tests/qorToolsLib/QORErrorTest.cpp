#include "qorToolsLib/QORError.h"

#include <gtest/gtest.h>

#include <string>

TEST(QORError, StatusTextIsHexAboveSixteenBitsAndDecimalBelow) {
    EXPECT_STREQ("0xc7210003", QORError(0xC7210003u).StatusText());
    EXPECT_STREQ("65535", QORError(0xFFFF).StatusText());
    EXPECT_STREQ("0x00010000", QORError(0x10000).StatusText());
}

TEST(QORError, MessageIsWrappedToTheWidthAndEndsWithTheStatusId) {
    QORError error(QOR_E_NO_FILE_NAME);
    std::string text = error.GetMessage(20);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        EXPECT_LE(end - start, 20u) << text;
        start = end + 1;
    }
    EXPECT_NE(std::string::npos, text.find("\n[ID=0xc721000c]")) << text;
    EXPECT_EQ(std::string::npos, text.find('\r'));
    // Width 0 keeps the message on its own line ending.
    std::string unwrapped = error.GetMessage(0);
    ASSERT_GE(unwrapped.size(), 2u);
    EXPECT_EQ("\r\n", unwrapped.substr(unwrapped.size() - 2));
}

TEST(QORError, UnknownStatusGivesTheRetrievalFailureTextAtAnyWidthOutsideRange) {
    QORError error(0xC7219999u);
    EXPECT_STREQ("Status 317 retrieving message text. [ID=0xc7219999]", error.GetMessage(255));
    EXPECT_STREQ(error.GetMessage(255), std::string(error.GetMessage(300)).c_str());
    EXPECT_STREQ(error.GetMessage(255), std::string(error.GetMessage(-4)).c_str());
}

TEST(QORError, WinsockErrorsAreWordedThroughTheirLibraryStatus) {
    QORError plain(10061);
    QORError mapped(0xC727274Du);
    std::string a = plain.GetMessage(80);
    std::string b = mapped.GetMessage(80);
    EXPECT_EQ(a.substr(0, a.find("[ID=")), b.substr(0, b.find("[ID=")));
    EXPECT_NE(std::string::npos, a.find("[ID=10061]"));
}

TEST(QORError, NormalizeStatusMapsPlainErrors) {
    const std::pair<StatusCode, StatusCode> cases[] = {{2, QOR_E_FILE_NOT_FOUND},
                                                       {112, QOR_E_DISK_FULL},
                                                       {29, 0xC0000004u},
                                                       {10061, 0xC727274Du},
                                                       {0x80091234u, 0xC72D1234u},
                                                       {0x80090000u, 0},
                                                       {QOR_E_INVALID_DATA, QOR_E_INVALID_DATA},
                                                       {4242, 4242}};
    for (const auto& [plain, normal] : cases) {
        EXPECT_EQ(normal, QORError::NormalizeStatus(plain)) << plain;
    }
}

TEST(qorErrorException, DescriptionNamesFileLineAndCall) {
    std::string message = QORError(QOR_E_WRONG_STATE).GetMessage(80);
    EXPECT_EQ("stream.cpp (12) osStatus = " + message,
              qorErrorException(QOR_E_WRONG_STATE, "osStatus", "stream.cpp", 12).what());
    EXPECT_EQ("stream.cpp osStatus = " + message,
              qorErrorException(QOR_E_WRONG_STATE, "osStatus", "stream.cpp", 0).what());
    EXPECT_EQ(message, qorErrorException(QOR_E_WRONG_STATE).what());
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
