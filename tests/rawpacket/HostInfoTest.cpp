#include <gtest/gtest.h>

#include <sstream>

#include "rawpacket/HostInfo.h"
#include "rawpacket/LinuxHostInfo.h"

namespace {

using rp::AdapterDescription;

TEST(HostInfoTest, RepeatedDescriptionsAreNumbered) {
    rp::AdaptersArray adapters;
    for (const char* name : {"a", "b", "c", "d"}) {
        AdapterDescription record(name);
        record.m_strDescription = std::string(name) == "d" ? "Other NIC" : "Same NIC";
        adapters.addUnique(record);
    }
    EXPECT_EQ(adapters.records()[0].m_strDescription, "Same NIC");
    EXPECT_EQ(adapters.records()[1].m_strDescription, "Same NIC #2");
    EXPECT_EQ(adapters.records()[2].m_strDescription, "Same NIC #3");
    EXPECT_EQ(adapters.records()[3].m_strDescription, "Other NIC");
}

TEST(HostInfoTest, SpeedAndNameDecideTheDriverKind) {
    auto kindOf = [](const char* name, uint32_t speed) {
        AdapterDescription record(name);
        record.m_dwLinkSpeed = speed;
        record.m_dwDriverKind = 77;
        record.classifyBySpeed();
        return record.m_dwDriverKind;
    };
    EXPECT_EQ(kindOf("\\Device\\mvel90xt1_2", 100000000), 32u);
    EXPECT_EQ(kindOf("\\Device\\mvel90x1_2", 100000000), 4u);
    EXPECT_EQ(kindOf("\\Device\\eth0", 100000000), 2u);
    EXPECT_EQ(kindOf("\\Device\\eth0", 500000000), 77u);
    EXPECT_EQ(kindOf("\\Device\\mve10001", 1000000000), 5u);
    EXPECT_EQ(kindOf("\\Device\\eth0", 4000000000u), 2u);
}

TEST(HostInfoTest, RankPrefersFreeProbedAdaptersWithoutAStack) {
    AdapterDescription record("\\Device\\mve10001");
    record.m_dwDriverKind = 5;
    record.m_bMacKnown = true;
    record.rank();
    EXPECT_EQ(record.m_nSelectRank, 25);
    record.m_bInUse = true;
    record.rank();
    EXPECT_EQ(record.m_nSelectRank, 5);
    record = AdapterDescription("x");
    record.m_bTcpipKnown = true;
    record.m_bInUse = true;
    record.rank();
    EXPECT_EQ(record.m_nSelectRank, -30);
}

TEST(HostInfoTest, PrintFormsShowOnlyWhatIsKnown) {
    AdapterDescription record("\\Device\\eth0");
    record.m_strDescription = "virtio_net adapter";
    record.rank();
    std::ostringstream text;
    record.print(text, 0);
    EXPECT_EQ(text.str(), "Adapter \\Device\\eth0\n\tdescription: virtio_net adapter\n\tinuse: no\n\tselect-rank: -5\n");
    record.m_bMacKnown = true;
    record.m_strMacAddress = "02-00-00-00-00-01";
    record.m_dwLinkSpeed = 1000;
    record.m_dwMedium = 0;
    record.m_bTcpipKnown = true;
    record.m_strIpAddress = "192.0.2.1";
    std::ostringstream xml;
    record.print(xml, 1);
    EXPECT_EQ(xml.str(),
              "<adapter name=\\Device\\eth0>\n\t<description> virtio_net adapter</description>\n"
              "\t<mac-addr> 02-00-00-00-00-01</mac-addr>\n\t<link-speed> 1000</link-speed>\n"
              "\t<network-medium> Ethernet/IEEE 802.3</network-medium>\n\t<dhcp-enabled> 0</dhcp-enabled>\n"
              "\t<ip-addr> 192.0.2.1</ip-addr>\n\t<subnet-mask> </subnet-mask>\n"
              "\t<default-gateway> </default-gateway>\n\t<inuse> no</inuse>\n\t<select-rank> -5</select-rank>\n"
              "</adapter>\n");
    EXPECT_EQ(rp::mediumName(40), "[Unknown Transport Medium]");
}

TEST(HostInfoTest, AdapterListAgreesWithTheHost) {
    rp::LinuxHostInfo host;
    std::string name;
    host.getMachineName(name);
    EXPECT_FALSE(name.empty());
    host.getOsName(name);
    EXPECT_EQ(name.rfind("Linux ", 0), 0u);
    rp::AdaptersArray adapters;
    host.getAdapterList(adapters);
    for (const AdapterDescription& record : adapters.records()) {
        EXPECT_EQ(record.m_strName.rfind("\\Device\\", 0), 0u);
        EXPECT_NE(record.m_strName, "\\Device\\lo");
        // Probed through the packet shim, which knows the same adapters.
        EXPECT_TRUE(record.m_bMacKnown) << record.m_strName << ": " << record.m_strLastError;
        EXPECT_NE(record.m_nSelectRank, -1);
    }
}

}  // namespace
