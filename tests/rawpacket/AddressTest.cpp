#include <gtest/gtest.h>

#include <sstream>

#include "rawpacket/Address.h"
#include "rawpacket/RpErrors.h"

namespace {

using rp::IpAddress;
using rp::PhysicalAddress;

TEST(AddressTest, HardwareAddressTextRoundTrips) {
    PhysicalAddress address("00-1a-2B-3c-4D-5e", true, 0);
    EXPECT_TRUE(address.valid());
    EXPECT_EQ(address.toString(), "00-1A-2B-3C-4D-5E");
    std::ostringstream raw;
    address.write(raw);
    PhysicalAddress back;
    std::istringstream in(raw.str());
    back.read(in);
    EXPECT_EQ(back.toString(), "00-1A-2B-3C-4D-5E");
    // Only the low eight bits of an overlong part are kept.
    EXPECT_EQ(PhysicalAddress("1FF-2-3-4-5-6", false, 0).toString(), "FF-02-03-04-05-06");
    EXPECT_EQ(PhysicalAddress().toString(), "00-00-00-00-00-00");
}

TEST(AddressTest, MalformedHardwareAddressIsRejected) {
    for (const char* text : {"00:1a:2b:3c:4d:5e", "", "-01-02", "01-02-zz"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(PhysicalAddress(text, false, 0), rp::RuntimeError);
    }
    for (const char* text : {"00-00-00-00-00-00", "ff-FF-ff-ff-ff-ff", "01-02-03-04-05"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(PhysicalAddress(text, true, 0), rp::RuntimeError);
        EXPECT_NO_THROW(PhysicalAddress(text, false, 0));
    }
}

TEST(AddressTest, CopyIsBoundedByTheCallersBuffer) {
    PhysicalAddress address("01-02-03-04-05-06", true, 0);
    uint8_t buffer[4] = {};
    EXPECT_EQ(address.copyTo(buffer, sizeof buffer), 4u);
    EXPECT_EQ(buffer[3], 4);
    const uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_FALSE(PhysicalAddress(bytes, 3).valid());
    EXPECT_EQ(PhysicalAddress(bytes, 1).toString(), "01-02-03-04-05-06");
}

TEST(AddressTest, DottedTextParsesOnlyWholeAddresses) {
    EXPECT_EQ(IpAddress("1.2.3.4").value(), 0x01020304u);
    EXPECT_EQ(IpAddress("01.002.3.4").value(), 0x01020304u);
    EXPECT_TRUE(IpAddress("1.2.3.4.").valid());
    for (const char* text : {"1.2.3", "1.2.3.4.5", "1.2.3.256", "256.1.1.1", "1.2.3.4 5.6.7.8", "1.2.3.4,5.6.7.8",
                             "12345678.1.1.1", "a.b.c.d", ""}) {
        SCOPED_TRACE(text);
        IpAddress address(text);
        EXPECT_FALSE(address.valid());
        EXPECT_EQ(address.value(), 0u);
        EXPECT_EQ(address.toString(), "0.0.0.0");
    }
}

TEST(AddressTest, ByteOrderDecidesTheDottedForm) {
    EXPECT_EQ(IpAddress(0x0100007Fu, false).toString(), "127.0.0.1");
    EXPECT_EQ(IpAddress(0x0100007Fu, true).toString(), "1.0.0.127");
    IpAddress parsed("192.0.2.7");
    EXPECT_EQ(rp::toNetworkOrder(parsed.value(), true), 0x070200C0u);
    EXPECT_EQ(rp::toHostOrder(0x070200C0u, false), parsed.value());
    EXPECT_EQ(rp::SwapBytes32If(0x01020304u, 1), 0x04030201u);
    EXPECT_EQ(rp::SwapBytes32If(0x01020304u, 2), 0x01020304u);
}

}  // namespace
