#pragma once
// The module's signatures and the per-instance state they keep.  Each
// match is reported through a callback with the issue id and the words the
// match callback carries; the ids are those of the sensor's issue table.

#include <cstdint>
#include <cstring>

#include "FrameParser.h"

namespace sigmod {

enum IssueId : uint32_t {
    kIssueLandAttack = 1001,
    kIssueSynFin = 1002,
    kIssuePingOfDeathJolt = 1003,
    kIssuePingOfDeathJolt2 = 1004,
    kIssuePortScan = 1005,
    kIssuePayloadCmdExe = 1006,
};

constexpr uint32_t kFirstIssue = kIssueLandAttack;
constexpr uint32_t kIssueCount = 6;

// Packet-flag word of a match (and of the interpretation call): bits 0-7
// the TCP flags or ICMP code, 8-15 the ICMP type, 16-23 the IP protocol,
// bit 24 an ARP frame.
uint32_t PacketFlagsOf(const ParsedFrame& frame);

struct Match {
    uint32_t m_dwIssueId;
    uint32_t m_dwFlags;
    uint32_t m_dwVictim;
    uint32_t m_dwIntruder;
    uint32_t m_dwVictimPort;
    uint32_t m_dwIntruderPort;
    uint32_t m_dwPacketFlags;
    const char* m_pszParams;
};

class SignatureSet {
public:
    using Report = void (*)(void* target, const Match& match);

    SignatureSet();

    void EnableAll(bool enable);
    // False for an id the module does not know.
    bool Enable(uint32_t dwIssueId, bool enable);
    bool IsEnabled(uint32_t dwIssueId) const;

    // Parameters the signatures take ("zam.portscan.ports",
    // "zam.portscan.window", "zam.payload.pattern"); false for other names.
    bool SetParameter(const char* pszName, const char* pszValue);

    // Runs every enabled signature over the frame; answers the matches.
    uint32_t Inspect(const ParsedFrame& frame, uint32_t dwSeconds, Report report, void* target);
    // Forgets scan trackers that are older than the window.
    void Housekeeping(uint32_t dwNow);

private:
    static constexpr uint32_t kTrackerSlots = 512;
    static constexpr uint32_t kTrackerProbes = 8;
    static constexpr uint32_t kMaxScanPorts = 64;
    static constexpr uint32_t kMaxPattern = 64;

    struct ScanTracker {
        uint32_t m_dwIntruder;
        uint32_t m_dwVictim;
        uint32_t m_dwFirstSeen;
        uint32_t m_dwPortCount;
        bool m_bInUse;
        bool m_bReported;
        uint16_t m_wPorts[kMaxScanPorts];
    };

    bool CheckPortScan(const ParsedFrame& frame, uint32_t dwSeconds);
    ScanTracker& TrackerFor(uint32_t dwIntruder, uint32_t dwVictim, uint32_t dwSeconds);

    bool m_bEnabled[kIssueCount];
    uint32_t m_dwScanPorts = 10;
    uint32_t m_dwScanWindow = 5;
    char m_szPattern[kMaxPattern + 1] = "cmd.exe";
    uint32_t m_dwPatternLength = 7;
    char m_szParams[96] = {};
    ScanTracker m_Trackers[kTrackerSlots];
};

}  // namespace sigmod
