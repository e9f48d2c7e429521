#include "Responses/HostWardenResponseSNMP.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "ResponseTestEvents.h"

using namespace responsetest;

namespace {

class HostWardenResponseSNMPTest : public ::testing::Test {
protected:
    SnmpTrapMessage* Format(ICSFAlertEvent* pEvent, bool bPrintableOnly = false) {
        return m_pTrap->FormatTrap("public", pEvent, bPrintableOnly);
    }
    std::string Value(size_t n) const {
        const auto& bytes = m_pTrap->Value(n).Bytes();
        return std::string(bytes.begin(), bytes.end());
    }

    FormatterPtr<CHostWardenResponseSNMP> m_pTrap{new CHostWardenResponseSNMP()};
};

}  // namespace

TEST_F(HostWardenResponseSNMPTest, SpecificTrapFollowsPriority) {
    const std::pair<uint32_t, int32_t> kCases[] = {{1, 3}, {2, 4}, {3, 5}, {0, 3}, {9, 3}};
    for (const auto& [dwPriority, nTrap] : kCases) {
        auto event = MakeAdfEvent("x", dwPriority, 210);
        SnmpTrapMessage* pMessage = Format(event.get());
        ASSERT_NE(nullptr, pMessage);
        EXPECT_EQ(nTrap, pMessage->SpecificTrap().Value()) << dwPriority;
    }
    // A priority that cannot be read is the first one's trap, not an
    // exception through the host; an event of neither form gives no trap.
    std::unique_ptr<UnreadablePriorityEvent, EventDeleter> odd(new UnreadablePriorityEvent());
    SnmpTrapMessage* pMessage = Format(odd.get());
    ASSERT_NE(nullptr, pMessage);
    EXPECT_EQ(3, pMessage->SpecificTrap().Value());
    ForeignEvent foreign;
    EXPECT_EQ(nullptr, Format(&foreign));
    EXPECT_EQ(nullptr, Format(nullptr));
}

TEST_F(HostWardenResponseSNMPTest, ProtocolTextShowsNumberOnlyWhenNameDoesNotReadAsIt) {
    const std::pair<uint32_t, const char*> kCases[] = {
        // The protocol table's ends and the numbers past it are named too.
        {6, "TCP (6)"}, {0, "HOPOPT"}, {114, "0-hop (114)"}, {116, "DDX (116)"},
        {117, "Unassigned (117)"}, {255, "0"}, {256, "IP (256)"},
        {65542, "TCP (65542)"}};
    for (const auto& [dwProtocol, pszText] : kCases) {
        auto event = MakeAdfEvent("x", 1, 210);
        event->Add("IANAProtocolId", AlertValue::Uint32(dwProtocol), 1);
        ASSERT_NE(nullptr, Format(event.get()));
        EXPECT_EQ(pszText, Value(3));
    }
    // A protocol of a signed kind is not read: the last one carries over,
    // and the field is left out of the further parameters.
    auto second = MakeAdfEvent("second", 1, 210);
    second->Add("IANAProtocolId", AlertValue::Integer(17), 1);
    ASSERT_NE(nullptr, Format(second.get()));
    EXPECT_EQ("TCP (65542)", Value(3));
    EXPECT_EQ("None", Value(11));
}

TEST_F(HostWardenResponseSNMPTest, PrintableOnlyMasksValuesNotNames) {
    auto event = MakeAdfEvent("x", 1, 210);
    event->Add("SourcePort", AlertValue::Uint32(22), 1);
    event->Add(":Msg\t",
               AlertValue::String("a\tb\x7f"
                                  "c\xc3\xa9"),
               2);
    ASSERT_NE(nullptr, Format(event.get(), true));
    EXPECT_EQ("22", Value(8));
    EXPECT_EQ(" :Msg\t:a.b.c..; ", Value(11));
    ASSERT_NE(nullptr, Format(event.get(), false));
    EXPECT_EQ(
        " :Msg\t:a\tb\x7f"
        "c\xc3\xa9; ",
        Value(11));
}

TEST_F(HostWardenResponseSNMPTest, LegacyEventFillsFromItsFixedFields) {
    auto event = MakeLegacyEvent("Legacy", 0x805, 2, {{"User", "bob\t"}});
    event->SetSource(htonl(0xc0000207), "192.0.2.7");
    event->SetDestinationPort(static_cast<uint32_t>(-1));
    event->SetProtocol(17);
    event->SetExtraText(6, "sixth");
    SnmpTrapMessage* pMessage = Format(event.get(), true);
    ASSERT_NE(nullptr, pMessage);
    EXPECT_EQ(4, pMessage->SpecificTrap().Value());
    const std::pair<size_t, const char*> kValues[] = {
        {1, "Legacy"},
        {3, "UDP (17)"},
        {4, "192.0.2.7"},
        {6, "None"},
        {7, "sixth"},
        {9, "-1"},
        {10, "KILL EMAIL SNMP_TRAP "},
        // Printable-only is for the first form's values.
        {11, " User:bob\t; "}};
    for (const auto& [n, pszValue] : kValues) {
        EXPECT_EQ(pszValue, Value(n)) << n;
    }
    EXPECT_EQ("USERACTION1 USERACTION2 ", CHostWardenResponseSNMP::ActionsText(0x3000));
    EXPECT_EQ("None", CHostWardenResponseSNMP::ActionsText(0x80));
    // An empty name is a NULL value, no pairs are "None".
    auto empty = MakeLegacyEvent("", 0, 1);
    ASSERT_NE(nullptr, Format(empty.get()));
    EXPECT_EQ(kAsn1TagNull, m_pTrap->Value(1).Tag());
    EXPECT_EQ("None", Value(11));
}
