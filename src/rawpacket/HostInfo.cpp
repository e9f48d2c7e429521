#include "rawpacket/HostInfo.h"

#include <array>

namespace rp {
namespace {

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

void Line(std::ostream& out, const char* label, const std::string& value) {
    out << label << value << std::endl;
}

void XmlLine(std::ostream& out, const char* tag, const std::string& value) {
    out << "\t<" << tag << "> " << value << "</" << tag << ">" << std::endl;
}

}  // namespace

const std::string& mediumName(uint32_t medium) {
    static const std::array<std::string, 13> names = {
        "Ethernet/IEEE 802.3", "Token Ring/IEEE 802.5", "FDDI",         "WAN/Dialup",
        "Apple LocalTalk",     "Xerox DIX",             "ARCNET Raw",   "ARCNET 878.2",
        "ATM",                 "Wireless WAN",          "Infrared Data", "Loopback",
        "[Unknown Transport Medium]"};
    return names[medium < 12 ? medium : 12];
}

void AdapterDescription::classifyBySpeed() {
    if (m_dwLinkSpeed <= 65535) {
        m_dwDriverKind = kDriverKindSlow;
    } else if (m_dwLinkSpeed <= 100000000) {
        if (!Contains(m_strName, "mvel90x")) {
            m_dwDriverKind = kDriverKindStandard;
        } else if (Contains(m_strName, "t1_2")) {
            m_dwDriverKind = kDriverKindEl90xGateway;
        } else if (Contains(m_strName, "1_2")) {
            m_dwDriverKind = kDriverKindEl90xFullDuplex;
        } else {
            m_dwDriverKind = kDriverKindEl90x;
        }
    } else if (m_dwLinkSpeed >= 1000000000) {
        bool gigabit = Contains(m_strName, "\\Device\\mve1000") || Contains(m_strName, "\\Device\\mvsk98");
        m_dwDriverKind = gigabit ? kDriverKindGigabit : kDriverKindStandard;
    }
}

void AdapterDescription::rank() {
    m_nSelectRank = (m_bTcpipKnown ? 0 : 5) + (m_dwDriverKind >= 3 ? 5 : 0) + (m_bMacKnown ? 5 : -20) +
                    (m_bInUse ? -10 : 10);
}

std::ostream& AdapterDescription::print(std::ostream& out, int format) const {
    const std::string inUse = m_bInUse ? "yes" : "no";
    if (format == 0) {
        Line(out, "Adapter ", m_strName);
        Line(out, "\tdescription: ", m_strDescription);
        if (m_bMacKnown) {
            Line(out, "\tmac-addr: ", m_strMacAddress);
            Line(out, "\tlink-speed: ", std::to_string(m_dwLinkSpeed));
            Line(out, "\tnetwork-medium: ", mediumName(m_dwMedium));
            if (!m_strManufacturer.empty()) {
                Line(out, "\tmanufacturer: ", m_strManufacturer);
            }
        }
        if (m_bTcpipKnown) {
            Line(out, "\tdhcp-enabled: ", m_bDhcpEnabled ? "1" : "0");
            Line(out, "\tip-addr: ", m_strIpAddress);
            Line(out, "\tsubnet-mask: ", m_strSubnetMask);
            Line(out, "\tdefault-gateway: ", m_strDefaultGateway);
        }
        Line(out, "\tinuse: ", inUse);
        Line(out, "\tselect-rank: ", std::to_string(m_nSelectRank));
        return out;
    }
    Line(out, "<adapter name=", m_strName + ">");
    XmlLine(out, "description", m_strDescription);
    if (m_bMacKnown) {
        XmlLine(out, "mac-addr", m_strMacAddress);
        XmlLine(out, "link-speed", std::to_string(m_dwLinkSpeed));
        XmlLine(out, "network-medium", mediumName(m_dwMedium));
    }
    if (m_bTcpipKnown) {
        XmlLine(out, "dhcp-enabled", m_bDhcpEnabled ? "1" : "0");
        XmlLine(out, "ip-addr", m_strIpAddress);
        XmlLine(out, "subnet-mask", m_strSubnetMask);
        XmlLine(out, "default-gateway", m_strDefaultGateway);
    }
    XmlLine(out, "inuse", inUse);
    XmlLine(out, "select-rank", std::to_string(m_nSelectRank));
    Line(out, "</adapter>", "");
    return out;
}

std::ostream& AdaptersArray::print(std::ostream& out, int format) const {
    for (const AdapterDescription& record : m_Records) {
        record.print(out, format);
        out << "\n";
    }
    return out;
}

void AdaptersArray::addUnique(AdapterDescription record) {
    size_t same = 0;
    for (const AdapterDescription& held : m_Records) {
        const std::string& other = held.m_strDescription;
        if (other == record.m_strDescription || other.rfind(record.m_strDescription + " #", 0) == 0) {
            ++same;
        }
    }
    if (same > 0) {
        record.m_strDescription += " #" + std::to_string(same + 1);
    }
    m_Records.push_back(std::move(record));
}

}  // namespace rp
