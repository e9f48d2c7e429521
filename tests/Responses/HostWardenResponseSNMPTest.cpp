#include "Responses/HostWardenResponseSNMP.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "ResponseTestEvents.h"
#include "qorToolsLib/SnmpTrapSender.h"
#include "support/TrapManager.h"

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

TEST_F(HostWardenResponseSNMPTest, EmptyAlertNameIsEmptyNotNone) {
    auto event = MakeAdfEvent("", 1, 210);
    ASSERT_NE(nullptr, Format(event.get()));
    EXPECT_EQ(kAsn1TagNull, m_pTrap->Value(1).Tag());
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

// The trap as a real manager decodes it.
TEST_F(HostWardenResponseSNMPTest, ManagerReceivesEnterpriseTrapWithElevenBindings) {
    if (!hwtest::TrapManager::Available()) {
        GTEST_SKIP() << "snmptrapd is not installed (scripts/install-deps)";
    }
    hwtest::TrapManager manager;
    ASSERT_TRUE(manager.Start()) << manager.Log();

    auto event = MakeAdfEvent("SSH_Fail", 2, 203);
    event->Add("SourceAddress", AlertValue::String("192.0.2.10"), 1);
    event->Add("DestinationAddress", AlertValue::String("198.51.100.7"), 1);
    event->Add("IANAProtocolId", AlertValue::Uint32(17), 1);
    event->Add("ResponseList", AlertValue::String("SNMP=Managers:0"), 1);
    event->Add(":User", AlertValue::String("root"), 2);
    SnmpTrapMessage* pMessage = m_pTrap->FormatTrap("hwtest", event.get(), true);
    ASSERT_NE(nullptr, pMessage);

    SnmpTrapSender sender("127.0.0.1", manager.Port());
    ASSERT_TRUE(sender.IsOpen()) << sender.ErrorText();
    const std::string last = "." + CHostWardenResponseSNMP::ValueObjectId(11);
    bool bReceived = false;
    for (int attempt = 0; attempt < 10 && !bReceived; ++attempt) {
        ASSERT_TRUE(sender.Send(*pMessage)) << sender.ErrorText();
        bReceived = manager.WaitFor(last, 3.0);
    }
    ASSERT_TRUE(bReceived) << manager.Log();

    const std::string log = manager.Log();
    EXPECT_NE(std::string::npos, log.find("TRAP, SNMP v1, community hwtest")) << log;
    EXPECT_NE(std::string::npos,
              log.find("." + std::string(kSnmpEnterpriseOid) + " Enterprise Specific Trap (4)"))
        << log;
    const char* const expected[CHostWardenResponseSNMP::kValueCount] = {
        "STRING: \"SSH_Fail\"",
        "STRING: \"Tue, 14 Mar 2006 10:15:20 +0000\"",
        "STRING: \"UDP (17)\"",
        "STRING: \"192.0.2.10\"",
        "STRING: \"198.51.100.7\"",
        "STRING: \"None\"",
        "STRING: \"None\"",
        "STRING: \"0\"",
        "STRING: \"0\"",
        "STRING: \"SNMP=Managers:0\"",
        "STRING: \" :User:root; \"",
    };
    for (size_t n = 1; n <= CHostWardenResponseSNMP::kValueCount; ++n) {
        const std::string binding =
            "." + CHostWardenResponseSNMP::ValueObjectId(n) + " = " + expected[n - 1];
        EXPECT_NE(std::string::npos, log.find(binding)) << binding << "\n" << log;
    }
}
