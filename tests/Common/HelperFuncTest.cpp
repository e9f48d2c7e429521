#include "Common/HelperFunc.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

TEST(HelperFunc, AllOnesAddressResolvesAndUnresolvableTextLeavesTheAddress) {
    uint32_t dwAddress = 0;
    EXPECT_EQ(1, ResolveAddressText("255.255.255.255", dwAddress));
    EXPECT_EQ(0xFFFFFFFFu, dwAddress);
    EXPECT_EQ(1, ResolveAddressText("192.0.2.17", dwAddress));
    EXPECT_EQ(htonl(0xC0000211u), dwAddress);
    EXPECT_EQ(-1, ResolveAddressText("", dwAddress));
    EXPECT_EQ(-1, ResolveAddressText(nullptr, dwAddress));
    EXPECT_EQ(htonl(0xC0000211u), dwAddress);
}
