#pragma once
// The SNMP response: fills a version 1 trap message from one alert event.
// The message carries eleven display-string values bound once at
// construction; each call assigns them again, so the message always shows
// the last event formatted.  The host encodes and sends the message.
//
// Between calls the object keeps its community, its printable-only flag
// and the protocol number: an event without a usable protocol shows the
// previous event's.

#include <cstdint>
#include <string>
#include <vector>

#include "hostwarden/ICSFCommonResponseSNMP.h"
#include "qorToolsLib/SnmpTrapMessage.h"

class ADFGenericEvent;
class QgGenericEvent;

class CHostWardenResponseSNMP : public ICSFCommonResponseSNMP {
public:
    static constexpr size_t kValueCount = 11;
    // The community a message carries until the host names one.
    static constexpr char kDefaultCommunity[] = "ravine";

    CHostWardenResponseSNMP();
    ~CHostWardenResponseSNMP() override;
    CHostWardenResponseSNMP(const CHostWardenResponseSNMP&) = delete;
    CHostWardenResponseSNMP& operator=(const CHostWardenResponseSNMP&) = delete;

    SnmpTrapMessage* FormatTrap(const char* pszCommunity, ICSFAlertEvent* pEvent,
                                bool bPrintableOnly) override;
    int32_t Release() override;

    // The object identifier of value n (1 to 11).
    static std::string ValueObjectId(size_t n);
    // Value n (1 to 11) as the message carries it.
    const ASN1DisplayString& Value(size_t n) const { return m_Values[n - 1]; }

    static void SetCommunity(SnmpTrapMessage& message, const char* pszCommunity);

    // The words of a legacy response mask ("KILL EMAIL ..."), "None" when
    // no bit has a word.
    static std::string ActionsText(uint32_t dwMask);

private:
    void FillFromADFEvent(ADFGenericEvent& event);
    void FillFromQgEvent(QgGenericEvent& event);
    void SetPriorityAndProtocol();
    ASN1DisplayString& ValueAt(size_t n) { return m_Values[n - 1]; }

    SnmpTrapMessage m_Message;
    int32_t m_nPriority = 0;
    uint32_t m_dwProtocol = 253;
    bool m_bPrintableOnly = false;
    // Reserved once and never resized: the message refers to each value by
    // address.
    std::vector<ASN1DisplayString> m_Values;
};
