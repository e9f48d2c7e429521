#include "qorToolsLib/SnmpTrapSender.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "qorToolsLib/ErrorWords.h"
#include "support/NetworkNamespace.h"
#include "support/TestUtil.h"
#include "support/TrapManager.h"

TEST(SnmpTrapSender, MissingDestinationDisablesTraps) {
    SnmpTrapSender sender("");
    EXPECT_FALSE(sender.IsOpen());
    EXPECT_STREQ("No destination set, Snmp traps are disabled.", sender.ErrorText());
    SnmpTrapMessage message("public");
    EXPECT_FALSE(sender.Send(message));
    EXPECT_FALSE(sender.Open(nullptr));
}

// The resolver's number is kept, and what it means said after the text.
// The name is looked up in a network of its own, which has no name server
// to wait for.
TEST(SnmpTrapSender, ManagerThatDoesNotResolveIsSaidWithTheReasonAfterTheNumber) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root for a network namespace";
    }
    hwtest::NetworkNamespace network;
    ASSERT_TRUE(network.IsReady()) << network.Error();
    std::string text;
    std::thread inside([&] {
        if (hwtest::JoinNamespaceOf(network.HolderPid())) {
            SnmpTrapSender sender("no-such-manager.invalid");
            text = sender.IsOpen() ? "open" : sender.ErrorText();
        }
    });
    inside.join();
    const std::string head = "gethostbyname() Failed, error = ";
    ASSERT_EQ(0u, text.rfind(head, 0)) << text;
    const auto number = static_cast<uint32_t>(std::strtoul(text.c_str() + head.size(), nullptr, 10));
    EXPECT_EQ(text, head + std::to_string(number) + "\nSnmp traps are disabled. (" +
                        ErrorWords(number) + ")");
}

TEST(SnmpTrapSender, MessageAboveTheMaximumSizeIsRefused) {
    SnmpTrapSender sender("127.0.0.1", hwtest::FreeLoopbackPort(true));
    ASSERT_TRUE(sender.IsOpen());
    SnmpTrapMessage message("public");
    ASN1DisplayString big(std::string(2000, 'x'));
    message.AddVarBind("1.3.6.1.4.1.32473.1.1", &big);
    EXPECT_FALSE(sender.Send(message));
    const std::string expected = "snmp encode() failed.  Cannot send a message of " +
                                 std::to_string(message.EncodedLength()) +
                                 " bytes. Max mesasge size = 1500";
    EXPECT_EQ(expected, std::string(sender.ErrorText()).substr(0, expected.size()));
}

// A real manager decodes what the sender puts on the wire.
class SnmpTrapReceiver : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hwtest::TrapManager::Available()) {
            GTEST_SKIP() << "snmptrapd is not installed (scripts/install-deps)";
        }
        ASSERT_TRUE(m_manager.Start()) << m_manager.Log();
        m_port = m_manager.Port();
    }

    // UDP may drop a datagram: send again until the trap shows or time runs out.
    bool SendUntilReceived(SnmpTrapSender& sender, SnmpTrapMessage& message,
                           const std::string& marker) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            if (!sender.Send(message)) {
                return false;
            }
            if (m_manager.WaitFor(marker, 3.0)) {
                return true;
            }
        }
        return false;
    }

    hwtest::TrapManager m_manager;
    unsigned short m_port = 0;
};

TEST_F(SnmpTrapReceiver, ManagerSeesEnterpriseTrapNumbersAndEveryBinding) {
    SnmpTrapSender sender("127.0.0.1", m_port);
    ASSERT_TRUE(sender.IsOpen()) << sender.ErrorText();
    SnmpTrapMessage message("ravine");
    message.SpecificTrap().SetValue(4711);
    ASN1DisplayString text("Port scan from 192.0.2.7");
    ASN1Integer priority(-2);
    ASN1IpAddress address(inet_addr("198.51.100.9"));
    ASN1TimeTicks ticks(123456);
    ASN1DisplayString empty("");
    message.AddVarBind("1.3.6.1.4.1.32473.2.1", &text);
    message.AddVarBind("1.3.6.1.4.1.32473.2.2", &priority);
    message.AddVarBind("1.3.6.1.4.1.32473.2.3", &address);
    message.AddVarBind("1.3.6.1.4.1.32473.2.4", &ticks);
    message.AddVarBind("1.3.6.1.4.1.32473.2.5", &empty);
    ASSERT_TRUE(SendUntilReceived(sender, message, ".1.3.6.1.4.1.32473.2.5"))
        << sender.ErrorText() << "\n"
        << m_manager.Log();

    const std::string log = m_manager.Log();
    EXPECT_NE(std::string::npos, log.find("TRAP, SNMP v1, community ravine")) << log;
    EXPECT_NE(std::string::npos, log.find(".1.3.6.1.4.1.32473 Enterprise Specific Trap (4711)"))
        << log;
    EXPECT_NE(std::string::npos,
              log.find(".1.3.6.1.4.1.32473.2.1 = STRING: \"Port scan from 192.0.2.7\""))
        << log;
    EXPECT_NE(std::string::npos, log.find(".1.3.6.1.4.1.32473.2.2 = INTEGER: -2")) << log;
    EXPECT_NE(std::string::npos, log.find(".1.3.6.1.4.1.32473.2.3 = IpAddress: 198.51.100.9"))
        << log;
    EXPECT_NE(std::string::npos, log.find(".1.3.6.1.4.1.32473.2.4 = Timeticks: (123456)")) << log;
    EXPECT_NE(std::string::npos, log.find(".1.3.6.1.4.1.32473.2.5 = NULL")) << log;
}

TEST_F(SnmpTrapReceiver, TrapWithEmptyCommunityIsStillAccepted) {
    SnmpTrapSender sender("localhost", m_port);
    ASSERT_TRUE(sender.IsOpen()) << sender.ErrorText();
    SnmpTrapMessage message("");
    message.SpecificTrap().SetValue(7);
    ASSERT_TRUE(SendUntilReceived(sender, message, "Enterprise Specific Trap (7)"))
        << m_manager.Log();
    EXPECT_NE(std::string::npos, m_manager.Log().find("SNMP v1, community "));
}
