#include "Common/HelperFunc.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

TEST(HelperFunc, AllOnesAddressIsResolvedByItsText) {
    uint32_t dwAddress = 0;
    EXPECT_EQ(1, ResolveAddressText("255.255.255.255", dwAddress));
    EXPECT_EQ(0xFFFFFFFFu, dwAddress);
}

TEST(HelperFunc, DottedTextNeedsNoLookup) {
    uint32_t dwAddress = 0;
    EXPECT_EQ(1, ResolveAddressText("192.0.2.17", dwAddress));
    EXPECT_EQ(htonl(0xC0000211u), dwAddress);
    EXPECT_EQ(1, ResolveAddress(std::string("localhost"), dwAddress));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), dwAddress);
}

TEST(HelperFunc, UnresolvableTextLeavesTheAddress) {
    uint32_t dwAddress = 12345;
    EXPECT_EQ(-1, ResolveAddressText("", dwAddress));
    EXPECT_EQ(-1, ResolveAddressText(nullptr, dwAddress));
    EXPECT_EQ(12345u, dwAddress);
}

