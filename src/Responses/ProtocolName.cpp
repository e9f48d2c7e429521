#include "Responses/ProtocolName.h"

#include <iterator>

namespace {

const char* const kProtocolNames[] = {
    "HOPOPT", "ICMP", "IGMP", "GGP", "IP-in-IP", "ST", "TCP", "CBT", "EGP", "IGP",
    "BBN-RCC-MON", "NVP-II", "PUP", "ARGUS", "EMCON", "XNET", "CHAOS", "UDP", "MUX", "DCN-MEAS",
    "HMP", "PRM", "XNS-IDP", "TRUNK-1", "TRUNK-2", "LEAF-1", "LEAF-2", "RDP", "IRTP", "ISO-TP4",
    "NETBLT", "MFE-NSP", "MERIT-INP", "SEP", "3PC", "IDPR", "XTP", "DDP", "IDPR-CMTP", "TP++",
    "IL", "IPv6", "SDRP", "IPv6-Route", "IPv6-Frag", "IDRP", "RSVP", "GRE", "MHRP", "BNA",
    "ESP", "AH", "I-NLSP", "SWIPE", "NARP", "MOBILE", "TLSP", "SKIP", "IPv6-ICMP", "IPv6-NoNxt",
    "IPv6-Opts", "host-internal", "CFTP", "local-network", "SAT-EXPAK", "KRYPTOLAN", "RVD",
    "IPPC", "distributed-file-system", "SAT-MON", "VISA", "IPCV", "CPNX", "CPHB", "WSN", "PVP",
    "BR-SAT-MON", "SUN-ND", "WB-MON", "WB-EXPAK", "ISO-IP", "VMTP", "SECURE-VMTP", "VINES",
    "TTP", "NSFNET-IGP", "DGP", "TCF", "EIGRP", "OSPFIGP", "Sprite-RPC", "LARP", "MTP", "AX.25",
    "IPIP", "MICP", "SCC-SP", "ETHERIP", "ENCAP", "private-encryption", "GMTP", "IFMP", "PNNI",
    "PIM", "ARIS", "SCPS", "QNX", "A/N", "IPPCP", "SNP", "Compaq-Peer", "IPX-in-IP", "VRRP",
    "PGM", "0-hop", "L2TP", "DDX",
};

static_assert(std::size(kProtocolNames) == 117, "one name for each of 0 to 116");

constexpr uint16_t kArpProtocol = 255;
constexpr uint16_t kIpProtocol = 256;

}  // namespace

const char* ProtocolName(uint16_t wProtocol) {
    if (wProtocol < std::size(kProtocolNames)) {
        return kProtocolNames[wProtocol];
    }
    if (wProtocol == kArpProtocol) {
        return "ARP";
    }
    if (wProtocol == kIpProtocol) {
        return "IP";
    }
    return "Unassigned";
}
