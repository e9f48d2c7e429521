#include "qorToolsLib/SnmpTrapMessage.h"

#include <cstdint>

#include "platform/Sockets.h"
#include "qorToolsLib/SafeText.h"

namespace {

// Encodes children one after another once the parent has checked its room;
// 0 when any of them fails.
uint32_t EncodeChildren(uint8_t* buffer, uint32_t room,
                        std::initializer_list<const ASN1Object*> children) {
    uint32_t used = 0;
    for (const ASN1Object* child : children) {
        uint32_t written = child->Encode(buffer + used, room - used);
        if (written == 0) {
            return 0;
        }
        used += written;
    }
    return used;
}

uint32_t SumEncodedLengths(std::initializer_list<const ASN1Object*> children) {
    uint32_t total = 0;
    for (const ASN1Object* child : children) {
        total += child->EncodedLength();
    }
    return total;
}

}  // namespace

SnmpVarBind::SnmpVarBind(const ASN1ObjectId& name, const ASN1Object* value)
    : ASN1Object(kAsn1TagSequence), m_name(name), m_pValue(value) {}

SnmpVarBind::SnmpVarBind(const ASN1ObjectId& name, ASN1DisplayString* text)
    : ASN1Object(kAsn1TagSequence), m_name(name), m_pValue(text), m_pText(text) {}

uint32_t SnmpVarBind::ContentLength() const {
    return m_pValue == nullptr ? 0 : SumEncodedLengths({&m_name, m_pValue});
}

uint32_t SnmpVarBind::EncodeContents(uint8_t* buffer, uint32_t room) const {
    uint32_t length = ContentLength();
    if (length == 0 || length > room) {
        return 0;
    }
    return EncodeChildren(buffer, room, {&m_name, m_pValue});
}

uint32_t SnmpVarBindList::ContentLength() const {
    uint32_t total = 0;
    for (const auto& binding : m_vBindings) {
        total += binding->EncodedLength();
    }
    return total;
}

uint32_t SnmpVarBindList::EncodeContents(uint8_t* buffer, uint32_t room) const {
    uint32_t length = ContentLength();
    if (length > room) {
        return 0;
    }
    uint32_t used = 0;
    for (const auto& binding : m_vBindings) {
        uint32_t written = binding->Encode(buffer + used, room - used);
        if (written == 0) {
            return 0;
        }
        used += written;
    }
    return used;
}

SnmpTrapPdu::SnmpTrapPdu()
    : ASN1Object(kAsn1TagTrapPdu),
      m_enterprise(kSnmpEnterpriseOid),
      m_agentAddress(plat::LocalHostIpv4Address()),
      m_genericTrap(kSnmpGenericEnterpriseSpecific),
      m_specificTrap(0),
      m_timeStamp(0) {}

uint32_t SnmpTrapPdu::ContentLength() const {
    return SumEncodedLengths({&m_enterprise, &m_agentAddress, &m_genericTrap, &m_specificTrap,
                              &m_timeStamp, &m_varBinds});
}

uint32_t SnmpTrapPdu::EncodeContents(uint8_t* buffer, uint32_t room) const {
    if (ContentLength() > room) {
        return 0;
    }
    return EncodeChildren(buffer, room,
                          {&m_enterprise, &m_agentAddress, &m_genericTrap, &m_specificTrap,
                           &m_timeStamp, &m_varBinds});
}

SnmpCommunity::SnmpCommunity(const std::string& text) : ASN1OctetString(kAsn1TagOctetString) {
    *this = text;
}

SnmpCommunity& SnmpCommunity::operator=(const std::string& text) {
    Assign(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    m_bTag = kAsn1TagOctetString;
    return *this;
}

SnmpCommunity& SnmpCommunity::operator=(const char* text) {
    return *this = std::string(text == nullptr ? "" : text);
}

SnmpCommunity& SnmpCommunity::operator=(const ASN1OctetString& other) {
    m_vBytes = other.Bytes();
    m_bTag = kAsn1TagOctetString;
    return *this;
}

SnmpTrapMessage::SnmpTrapMessage(const std::string& community)
    : ASN1Object(kAsn1TagSequence), m_version(0), m_community(community) {}

uint32_t SnmpTrapMessage::ContentLength() const {
    return SumEncodedLengths({&m_version, &m_community, &m_pdu});
}

uint32_t SnmpTrapMessage::EncodeContents(uint8_t* buffer, uint32_t room) const {
    if (ContentLength() > room) {
        return 0;
    }
    return EncodeChildren(buffer, room, {&m_version, &m_community, &m_pdu});
}

void SnmpTrapMessage::AddVarBind(const char* dottedName, const ASN1Object* value) {
    m_pdu.m_varBinds.Append(std::make_unique<SnmpVarBind>(ASN1ObjectId(dottedName), value));
}

void SnmpTrapMessage::AddVarBind(const char* dottedName, ASN1DisplayString* text) {
    m_pdu.m_varBinds.Append(std::make_unique<SnmpVarBind>(ASN1ObjectId(dottedName), text));
}

SnmpTrapCut SnmpTrapMessage::CutToFit(uint32_t dwMaxLength) {
    std::vector<ASN1DisplayString*> values;
    std::vector<std::string> texts;
    const SnmpVarBindList& bindings = m_pdu.m_varBinds;
    for (size_t i = 0; i < bindings.Count(); ++i) {
        if (ASN1DisplayString* pText = bindings.At(i).Text()) {
            values.push_back(pText);
            texts.emplace_back(pText->Bytes().begin(), pText->Bytes().end());
        }
    }
    const auto Assign = [&](const std::vector<std::string>& chosen) {
        for (size_t i = 0; i < values.size(); ++i) {
            *values[i] = chosen[i];
        }
    };
    // Measured with the widest stamp: what fits now fits whenever it is
    // sent.
    const uint32_t dwTicks = m_pdu.m_timeStamp.Ticks();
    m_pdu.m_timeStamp.SetTicks(UINT32_MAX);
    std::vector<size_t> before;
    for (const std::string& text : texts) {
        before.push_back(text.size());
    }
    const uint64_t qwCut = CutLongestToFit(texts, [&](const std::vector<std::string>& tried) {
        Assign(tried);
        return EncodedLength() <= dwMaxLength;
    });
    Assign(texts);
    m_pdu.m_timeStamp.SetTicks(dwTicks);
    SnmpTrapCut cut;
    cut.m_qwBytes = qwCut;
    for (size_t i = 0; i < texts.size(); ++i) {
        cut.m_nValues += texts[i].size() < before[i] ? 1 : 0;
    }
    return cut;
}
