#include "Responses/ProtocolName.h"

#include <gtest/gtest.h>

TEST(ProtocolName, TableEndsAndSpecialNumbers) {
    EXPECT_STREQ("HOPOPT", ProtocolName(0));
    EXPECT_STREQ("TCP", ProtocolName(6));
    EXPECT_STREQ("UDP", ProtocolName(17));
    EXPECT_STREQ("distributed-file-system", ProtocolName(68));
    EXPECT_STREQ("DDX", ProtocolName(116));
    EXPECT_STREQ("Unassigned", ProtocolName(117));
    EXPECT_STREQ("Unassigned", ProtocolName(254));
    EXPECT_STREQ("ARP", ProtocolName(255));
    EXPECT_STREQ("IP", ProtocolName(256));
    EXPECT_STREQ("Unassigned", ProtocolName(257));
    EXPECT_STREQ("Unassigned", ProtocolName(65535));
}

TEST(ProtocolName, WideNumberIsReadByItsLowBits) {
    const uint32_t dwWide = 65542;
    EXPECT_STREQ("TCP", ProtocolName(static_cast<uint16_t>(dwWide)));
}
