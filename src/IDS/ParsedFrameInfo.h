#pragma once
// What the signature module told the slave about the frame it is reading,
// the record a match hands to the coalescer, and the name/value block that
// carries a match's parameters into its alert.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The headers of the frame being analysed, as the module's parsed-header
// callbacks report them.  Reset before every frame; matches take copies.
struct ParsedFrameInfo {
    static constexpr size_t kMacTextSize = 18;

    uint32_t protocol = 0;  // 0 IP only, 1 ICMP, 6 TCP, 17 UDP, 255 ARP
    uint32_t srcAddress = 0;
    uint32_t dstAddress = 0;
    uint32_t srcPort = 0;  // or the ICMP type
    uint32_t dstPort = 0;  // or the ICMP code
    uint32_t value3 = 0;
    uint32_t value4 = 0;
    uint32_t rpc2 = 0;
    uint32_t rpc3 = 0;
    uint32_t rpc4 = 0;
    uint32_t rpcSeen = 0;
    uint32_t reassembled2 = 0;
    uint32_t reassembled1 = 0;
    bool bMacSeen = false;
    char szSrcMac[kMacTextSize] = {};
    char szDstMac[kMacTextSize] = {};

    void Reset() { *this = ParsedFrameInfo(); }
};

// The module's reading of a match: what kind of packet it was and who sent
// it to whom.
struct MatchInterpretation {
    enum : uint32_t { kEthertypeIPv4 = 0x800, kEthertypeARP = 0x806 };
    uint32_t ethertype = 0;
    uint32_t protocol = 0;
    uint32_t srcAddress = 0;
    uint32_t dstAddress = 0;
    uint32_t srcPort = 0;
    uint32_t dstPort = 0;
    uint32_t icmpType = 0;
    uint32_t icmpCode = 0;

    uint32_t* Words() { return &ethertype; }
};
static_assert(sizeof(MatchInterpretation) == 8 * sizeof(uint32_t));

// Handed with a match to the coalescer, which gives it back with the
// consolidated event.
class CoalescerEventData {
public:
    CoalescerEventData(uint32_t dwIssueId, const char* pszEventName,
                       std::unique_ptr<ParsedFrameInfo> pFrame)
        : m_dwIssueId(dwIssueId),
          m_strEventName(pszEventName != nullptr ? pszEventName : ""),
          m_pFrame(std::move(pFrame)) {}
    virtual ~CoalescerEventData() = default;

    uint32_t m_dwIssueId;
    std::string m_strEventName;
    std::unique_ptr<ParsedFrameInfo> m_pFrame;
};

// One name/value pair of a match's parameters; a block of them ends with an
// entry whose name and value are both empty.
struct EventParameter {
    static constexpr size_t kNameSize = 32;
    static constexpr size_t kValueSize = 1024;
    char name[kNameSize];
    char value[kValueSize];
};
static_assert(sizeof(EventParameter) == 1056);
