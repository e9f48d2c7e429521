#include "Responses/HostWardenResponseSNMP.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "ResponseTestEvents.h"

using namespace responsetest;

namespace {

std::string Text(const ASN1DisplayString& value) {
    return std::string(value.Bytes().begin(), value.Bytes().end());
}

class HostWardenResponseSNMPTest : public ::testing::Test {
protected:
    SnmpTrapMessage* Format(ICSFAlertEvent* pEvent, bool bPrintableOnly = false) {
        return m_pTrap->FormatTrap("public", pEvent, bPrintableOnly);
    }
    std::string Value(size_t n) const { return Text(m_pTrap->Value(n)); }

    FormatterPtr<CHostWardenResponseSNMP> m_pTrap{new CHostWardenResponseSNMP()};
};

}  // namespace

TEST_F(HostWardenResponseSNMPTest, SpecificTrapFollowsPriority) {
    const std::pair<uint32_t, int32_t> cases[] = {{1, 3}, {2, 4}, {3, 5}, {0, 3}, {9, 3}};
    for (const auto& [dwPriority, nTrap] : cases) {
        auto event = MakeAdfEvent("x", dwPriority, 210);
        ASSERT_NE(nullptr, Format(event.get()));
        EXPECT_EQ(nTrap, m_pTrap->FormatTrap("public", event.get(), false)->SpecificTrap().Value())
            << dwPriority;
    }
}

TEST_F(HostWardenResponseSNMPTest, MissingFieldsGiveDefaultsAndProtocolCarriesOver) {
    auto first = MakeAdfEvent("first", 1, 210);
    first->Add("IANAProtocolId", AlertValue::Uint32(17), 1);
    ASSERT_NE(nullptr, Format(first.get()));
    EXPECT_EQ("UDP (17)", Value(3));

    auto second = MakeAdfEvent("second", 1, 210);
    second->Add("IANAProtocolId", AlertValue::Integer(6), 1);
    ASSERT_NE(nullptr, Format(second.get()));
    EXPECT_EQ("UDP (17)", Value(3));
    EXPECT_EQ("None", Value(4));
    EXPECT_EQ("None", Value(6));
    EXPECT_EQ("0", Value(8));
    EXPECT_EQ("None", Value(10));
    // Left out of the further parameters whatever its kind.
    EXPECT_EQ("None", Value(11));
}

TEST_F(HostWardenResponseSNMPTest, ProtocolTextShowsNumberOnlyWhenNameDoesNotReadAsIt) {
    const std::pair<uint32_t, const char*> cases[] = {
        {6, "TCP (6)"}, {0, "HOPOPT"}, {200, "Unassigned (200)"}, {255, "0"}, {114, "0-hop (114)"}};
    for (const auto& [dwProtocol, pszText] : cases) {
        auto event = MakeAdfEvent("x", 1, 210);
        event->Add("IANAProtocolId", AlertValue::Uint32(dwProtocol), 1);
        ASSERT_NE(nullptr, Format(event.get()));
        EXPECT_EQ(pszText, Value(3));
    }
    FormatterPtr<CHostWardenResponseSNMP> pFresh(new CHostWardenResponseSNMP());
    auto event = MakeAdfEvent("x", 1, 210);
    ASSERT_NE(nullptr, pFresh->FormatTrap("public", event.get(), false));
    EXPECT_EQ("Unassigned (253)", Text(pFresh->Value(3)));
}

TEST_F(HostWardenResponseSNMPTest, PrintableOnlyMasksValuesNotNames) {
    auto event = MakeAdfEvent("x", 1, 210);
    event->Add("SourcePort", AlertValue::Uint32(22), 1);
    event->Add(":Msg\t", AlertValue::String("a\tb\x7f" "c\xc3\xa9"), 2);
    ASSERT_NE(nullptr, Format(event.get(), true));
    EXPECT_EQ("22", Value(8));
    EXPECT_EQ(" :Msg\t:a.b.c..; ", Value(11));
    ASSERT_NE(nullptr, Format(event.get(), false));
    EXPECT_EQ(" :Msg\t:a\tb\x7f" "c\xc3\xa9; ", Value(11));
}

TEST_F(HostWardenResponseSNMPTest, UnsupportedEventGivesNoMessage) {
    ForeignEvent foreign;
    EXPECT_EQ(nullptr, Format(&foreign));
    EXPECT_EQ(nullptr, Format(nullptr));
    std::unique_ptr<UnreadablePriorityEvent, EventDeleter> odd(new UnreadablePriorityEvent());
    ASSERT_NE(nullptr, Format(odd.get()));
    EXPECT_EQ(3, m_pTrap->FormatTrap("public", odd.get(), false)->SpecificTrap().Value());
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
    EXPECT_EQ("Legacy", Value(1));
    EXPECT_EQ("UDP (17)", Value(3));
    EXPECT_EQ("192.0.2.7", Value(4));
    EXPECT_EQ("None", Value(6));
    EXPECT_EQ("sixth", Value(7));
    EXPECT_EQ("-1", Value(9));
    EXPECT_EQ("KILL EMAIL SNMP_TRAP ", Value(10));
    // The printable-only switch is for the first form's values.
    EXPECT_EQ(" User:bob\t; ", Value(11));
}

TEST_F(HostWardenResponseSNMPTest, LegacyMaskWordsAndMissingPairs) {
    EXPECT_EQ("USERACTION1 USERACTION2 ", CHostWardenResponseSNMP::ActionsText(0x3000));
    EXPECT_EQ("None", CHostWardenResponseSNMP::ActionsText(0));
    EXPECT_EQ("None", CHostWardenResponseSNMP::ActionsText(0x80));
    auto event = MakeLegacyEvent("", 0, 1);
    ASSERT_NE(nullptr, Format(event.get()));
    EXPECT_EQ("None", Value(11));
    EXPECT_EQ(kAsn1TagNull, m_pTrap->Value(1).Tag());
}
