#include "IDS/PcdPacketFilters.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "IDS/PolicyFixture.h"

namespace {

using Filter = std::tuple<std::string, int, int, int>;

std::vector<Filter> Filters(const CPcdPacketFilters& filters) {
    std::vector<Filter> result;
    uint32_t dwAddress = 0;
    uint8_t bPrefix = 0;
    uint8_t bProtocol = 0;
    uint8_t bDirection = 0;
    for (uint32_t i = 0; filters.GetFilter(i, dwAddress, bPrefix, bProtocol, bDirection) == kPcdFilterOk; ++i) {
        char szAddress[INET_ADDRSTRLEN];
        in_addr address{dwAddress};
        inet_ntop(AF_INET, &address, szAddress, sizeof szAddress);
        result.emplace_back(szAddress, bPrefix, bProtocol, bDirection);
    }
    return result;
}

std::vector<Filter> Parse(const char* pszText) {
    CPcdPacketFilters filters;
    const uint32_t dwCount = filters.Parse(pszText);
    std::vector<Filter> result = Filters(filters);
    EXPECT_EQ(result.size(), dwCount) << pszText;
    return result;
}

TEST(PcdPacketFiltersTest, EntriesAreParsedWithNamedOrNumberedProtocolsAndDirections) {
    EXPECT_EQ((std::vector<Filter>{{"10.0.0.0", 8, 6, 1}, {"192.168.1.5", 32, 255, 2}}),
              Parse("10.0.0.0/8/TCP/IN,192.168.1.5/32/ALL"));
    EXPECT_EQ((std::vector<Filter>{{"10.1.0.0", 16, 17, 3}, {"10.2.0.0", 16, 0, 2}, {"10.3.0.0", 16, 1, 2}}),
              Parse("10.1.0.0/16/17/OUT,10.2.0.0/16/tcp/out,10.3.0.0/16/ICMP"));
}

TEST(PcdPacketFiltersTest, BadEntriesAreSkippedAndTheRestIsRead) {
    // Unconvertible address, prefix 0, address 0, prefix and protocol past
    // their ranges: each entry is dropped, the next one read.
    EXPECT_EQ((std::vector<Filter>{{"10.0.0.1", 32, 6, 2}}),
              Parse("10.0.0.999/8/TCP,0.0.0.0/8/TCP,10.0.0.0/0/UDP,10.0.0.0/33/UDP,"
                    "10.0.0.0/8/300,10.0.0.1/32/TCP"));
    EXPECT_TRUE(Parse("10.0.0.1/32").empty());
    EXPECT_TRUE(Parse("10.0.0.1/32/").empty());
    EXPECT_TRUE(Parse("nonsense").empty());
    EXPECT_TRUE(Parse("bad/").empty());
}

TEST(PcdPacketFiltersTest, EmptySiteFiltersFallBackToTheTemplate) {
    PolicyFixture fixture;
    CPcdPacketFilters none;
    EXPECT_EQ(0u, none.Load(fixture.m_pPolicy));
    fixture.Set("\\config\\tuning", "pcd.packetfilters", "");
    fixture.Set("\\template\\config\\tuning", "pcd.packetfilters", "10.0.0.0/8/UDP");
    CPcdPacketFilters filters;
    EXPECT_EQ(1u, filters.Load(fixture.m_pPolicy));
    EXPECT_EQ((std::vector<Filter>{{"10.0.0.0", 8, 17, 2}}), Filters(filters));
    uint32_t dwAddress = 0;
    uint8_t b = 0;
    EXPECT_EQ(kPcdFilterNoSuchFilter, filters.GetFilter(1, dwAddress, b, b, b));
}

}  // namespace
