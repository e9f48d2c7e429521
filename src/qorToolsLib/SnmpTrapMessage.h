#pragma once
// An SNMP version 1 trap: message {version, community, Trap-PDU {enterprise,
// agent address, generic trap, specific trap, time stamp, bindings}}.
// The response formatter fills one and the host encodes and sends it.

#include <memory>
#include <string>
#include <vector>

#include "qorToolsLib/ASN1Object.h"

// The enterprise under which this sensor's traps are sent: the private
// enterprise number set aside for examples and documentation, until a
// deployment registers its own.
inline constexpr const char kSnmpEnterpriseOid[] = "1.3.6.1.4.1.32473";

constexpr int32_t kSnmpGenericEnterpriseSpecific = 6;

// One binding: a name and a value object that the caller owns and keeps
// alive while the message is in use.  A display string bound as one that
// the caller may have changed is text the message may cut (CutToFit).
class SnmpVarBind : public ASN1Object {
public:
    SnmpVarBind(const ASN1ObjectId& name, const ASN1Object* value);
    SnmpVarBind(const ASN1ObjectId& name, ASN1DisplayString* text);

    uint32_t EncodeContents(uint8_t* buffer, uint32_t room) const override;
    uint32_t ContentLength() const override;

    const ASN1ObjectId& Name() const { return m_name; }
    const ASN1Object* Value() const { return m_pValue; }
    // The value when it is text that may be cut; null otherwise.
    ASN1DisplayString* Text() const { return m_pText; }

private:
    ASN1ObjectId m_name;
    const ASN1Object* m_pValue;
    ASN1DisplayString* m_pText = nullptr;
};

class SnmpVarBindList : public ASN1Object {
public:
    SnmpVarBindList() : ASN1Object(kAsn1TagSequence) {}

    uint32_t EncodeContents(uint8_t* buffer, uint32_t room) const override;
    uint32_t ContentLength() const override;

    void Append(std::unique_ptr<SnmpVarBind> binding) { m_vBindings.push_back(std::move(binding)); }
    size_t Count() const { return m_vBindings.size(); }
    const SnmpVarBind& At(size_t index) const { return *m_vBindings[index]; }

private:
    std::vector<std::unique_ptr<SnmpVarBind>> m_vBindings;
};

class SnmpTrapPdu : public ASN1Object {
public:
    // The agent address is this host's own IPv4 address (0 when it has none).
    SnmpTrapPdu();

    uint32_t EncodeContents(uint8_t* buffer, uint32_t room) const override;
    uint32_t ContentLength() const override;

    ASN1ObjectId m_enterprise;
    ASN1IpAddress m_agentAddress;
    ASN1Integer m_genericTrap;
    ASN1Integer m_specificTrap;
    ASN1TimeTicks m_timeStamp;
    SnmpVarBindList m_varBinds;
};

// The community of a message.  Unlike a plain octet string it never turns
// into a NULL when empty: a trap whose community is not an OCTET STRING is
// not a valid message and managers drop it.
class SnmpCommunity : public ASN1OctetString {
public:
    explicit SnmpCommunity(const std::string& text);
    SnmpCommunity& operator=(const std::string& text);
    SnmpCommunity& operator=(const char* text);
    SnmpCommunity& operator=(const ASN1OctetString& other);
};

// What CutToFit cut off a message's text values.
struct SnmpTrapCut {
    size_t m_nValues = 0;
    uint64_t m_qwBytes = 0;
};

class SnmpTrapMessage : public ASN1Object {
public:
    explicit SnmpTrapMessage(const std::string& community);
    SnmpTrapMessage(const SnmpTrapMessage&) = delete;
    SnmpTrapMessage& operator=(const SnmpTrapMessage&) = delete;

    uint32_t EncodeContents(uint8_t* buffer, uint32_t room) const override;
    uint32_t ContentLength() const override;

    // Appends a binding; `value` stays the caller's and must outlive the
    // message's use.  A display string passed as one the message may
    // change is text CutToFit may cut.
    void AddVarBind(const char* dottedName, const ASN1Object* value);
    void AddVarBind(const char* dottedName, ASN1DisplayString* text);

    // Makes the message fit in `dwMaxLength` octets whatever time stamp the
    // sender gives it, by cutting its text values, the longest first, each
    // before a UTF-8 character rather than inside one: whoever writes what
    // an alert's values are read from chooses their length, which must not
    // keep the trap from being sent.  Answers what was cut (nothing when
    // the message fits as it is).  A message that does not fit even with
    // its texts emptied is left so, and its sender refuses it.
    SnmpTrapCut CutToFit(uint32_t dwMaxLength);

    SnmpCommunity& Community() { return m_community; }
    ASN1Integer& SpecificTrap() { return m_pdu.m_specificTrap; }
    ASN1TimeTicks& TimeStamp() { return m_pdu.m_timeStamp; }
    SnmpTrapPdu& Pdu() { return m_pdu; }
    const SnmpTrapPdu& Pdu() const { return m_pdu; }

private:
    SnmpTrapPdu m_pdu;
    ASN1Integer m_version;
    SnmpCommunity m_community;
};
