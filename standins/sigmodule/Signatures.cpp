#include "Signatures.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>

namespace sigmod {

namespace {

constexpr uint32_t kMaxDatagram = 65535;
// The last fragment offset that still fits a datagram (65,520 bytes).
constexpr uint32_t kLastFragmentOffset = 8190;

bool FindPattern(const uint8_t* data, uint32_t length, const char* pattern, uint32_t patternLength) {
    if (patternLength == 0 || length < patternLength) {
        return false;
    }
    return memmem(data, length, pattern, patternLength) != nullptr;
}

Match MatchOn(const ParsedFrame& frame, uint32_t issueId, const char* params) {
    return Match{issueId,
                 0,
                 frame.m_dwDestination,
                 frame.m_dwSource,
                 frame.m_wDestinationPort,
                 frame.m_wSourcePort,
                 PacketFlagsOf(frame),
                 params};
}

}  // namespace

uint32_t PacketFlagsOf(const ParsedFrame& frame) {
    if (frame.m_Kind == FrameKind::kArp) {
        return 1u << 24;
    }
    uint32_t flags = static_cast<uint32_t>(frame.m_byProtocol) << 16;
    if (frame.m_Kind == FrameKind::kTcp) {
        flags |= frame.m_byTcpFlags;
    } else if (frame.m_Kind == FrameKind::kIcmp) {
        flags |= (static_cast<uint32_t>(frame.m_byIcmpType) << 8) | frame.m_byIcmpCode;
    }
    return flags;
}

SignatureSet::SignatureSet() {
    EnableAll(true);
    std::memset(m_Trackers, 0, sizeof(m_Trackers));
}

void SignatureSet::EnableAll(bool enable) {
    for (bool& flag : m_bEnabled) {
        flag = enable;
    }
}

bool SignatureSet::Enable(uint32_t dwIssueId, bool enable) {
    if (dwIssueId < kFirstIssue || dwIssueId >= kFirstIssue + kIssueCount) {
        return false;
    }
    m_bEnabled[dwIssueId - kFirstIssue] = enable;
    return true;
}

bool SignatureSet::IsEnabled(uint32_t dwIssueId) const {
    return dwIssueId >= kFirstIssue && dwIssueId < kFirstIssue + kIssueCount &&
           m_bEnabled[dwIssueId - kFirstIssue];
}

bool SignatureSet::SetParameter(const char* pszName, const char* pszValue) {
    if (strcasecmp(pszName, "zam.portscan.ports") == 0) {
        unsigned long ports = std::strtoul(pszValue, nullptr, 10);
        m_dwScanPorts = ports < 2 ? 2 : ports > kMaxScanPorts ? kMaxScanPorts : ports;
        return true;
    }
    if (strcasecmp(pszName, "zam.portscan.window") == 0) {
        unsigned long window = std::strtoul(pszValue, nullptr, 10);
        m_dwScanWindow = window == 0 ? 1 : static_cast<uint32_t>(window);
        return true;
    }
    if (strcasecmp(pszName, "zam.payload.pattern") == 0) {
        size_t length = std::strlen(pszValue);
        m_dwPatternLength = static_cast<uint32_t>(length > kMaxPattern ? kMaxPattern : length);
        std::memcpy(m_szPattern, pszValue, m_dwPatternLength);
        m_szPattern[m_dwPatternLength] = '\0';
        return true;
    }
    return false;
}

uint32_t SignatureSet::Inspect(const ParsedFrame& frame, uint32_t dwSeconds, Report report,
                               void* target) {
    if (!frame.IsIpv4()) {
        return 0;
    }
    uint32_t matches = 0;
    auto raise = [&](const Match& match) {
        if (IsEnabled(match.m_dwIssueId)) {
            report(target, match);
            ++matches;
        }
    };
    if (frame.IsFragment() && (frame.m_byProtocol == 1 || frame.m_byProtocol == 17)) {
        uint32_t end = frame.m_wFragmentOffset * 8u + frame.m_dwIpPayloadLength +
                       frame.m_dwIpHeaderLength;
        std::snprintf(m_szParams, sizeof(m_szParams), "fragment-offset=%u,datagram-end=%u",
                      frame.m_wFragmentOffset * 8u, end);
        if (frame.m_wFragmentOffset >= kLastFragmentOffset) {
            raise(MatchOn(frame, kIssuePingOfDeathJolt2, m_szParams));
        } else if (end > kMaxDatagram && frame.m_byProtocol == 1) {
            raise(MatchOn(frame, kIssuePingOfDeathJolt, m_szParams));
        }
    }
    if (frame.m_Kind == FrameKind::kTcp) {
        if (frame.m_dwSource == frame.m_dwDestination &&
            frame.m_wSourcePort == frame.m_wDestinationPort) {
            raise(MatchOn(frame, kIssueLandAttack, nullptr));
        }
        if ((frame.m_byTcpFlags & (kTcpSyn | kTcpFin)) == (kTcpSyn | kTcpFin)) {
            raise(MatchOn(frame, kIssueSynFin, nullptr));
        }
        if (IsEnabled(kIssuePortScan) && CheckPortScan(frame, dwSeconds)) {
            std::snprintf(m_szParams, sizeof(m_szParams), "ports=%u,window=%u", m_dwScanPorts,
                          m_dwScanWindow);
            Match match = MatchOn(frame, kIssuePortScan, m_szParams);
            match.m_dwFlags = 0x1000;
            match.m_dwVictimPort = 0;
            raise(match);
        }
    }
    if ((frame.m_Kind == FrameKind::kTcp || frame.m_Kind == FrameKind::kUdp) &&
        FindPattern(frame.Payload(), frame.m_dwPayloadLength, m_szPattern, m_dwPatternLength)) {
        std::snprintf(m_szParams, sizeof(m_szParams), "pattern=%s", m_szPattern);
        raise(MatchOn(frame, kIssuePayloadCmdExe, m_szParams));
    }
    return matches;
}

SignatureSet::ScanTracker& SignatureSet::TrackerFor(uint32_t dwIntruder, uint32_t dwVictim,
                                                    uint32_t dwSeconds) {
    uint32_t hash = (dwIntruder * 2654435761u) ^ (dwVictim * 40503u);
    ScanTracker* oldest = nullptr;
    for (uint32_t probe = 0; probe < kTrackerProbes; ++probe) {
        ScanTracker& tracker = m_Trackers[(hash + probe) % kTrackerSlots];
        if (tracker.m_bInUse && tracker.m_dwIntruder == dwIntruder &&
            tracker.m_dwVictim == dwVictim) {
            return tracker;
        }
        if (!tracker.m_bInUse) {
            oldest = &tracker;
            break;
        }
        if (oldest == nullptr || tracker.m_dwFirstSeen < oldest->m_dwFirstSeen) {
            oldest = &tracker;
        }
    }
    oldest->m_bInUse = true;
    oldest->m_bReported = false;
    oldest->m_dwIntruder = dwIntruder;
    oldest->m_dwVictim = dwVictim;
    oldest->m_dwFirstSeen = dwSeconds;
    oldest->m_dwPortCount = 0;
    return *oldest;
}

// A connection attempt (SYN without ACK) to a new port of the same victim;
// true once, when the intruder has tried enough ports inside the window.
bool SignatureSet::CheckPortScan(const ParsedFrame& frame, uint32_t dwSeconds) {
    if ((frame.m_byTcpFlags & (kTcpSyn | kTcpAck)) != kTcpSyn) {
        return false;
    }
    ScanTracker& tracker = TrackerFor(frame.m_dwSource, frame.m_dwDestination, dwSeconds);
    if (dwSeconds - tracker.m_dwFirstSeen > m_dwScanWindow) {
        tracker.m_dwFirstSeen = dwSeconds;
        tracker.m_dwPortCount = 0;
        tracker.m_bReported = false;
    }
    for (uint32_t i = 0; i < tracker.m_dwPortCount; ++i) {
        if (tracker.m_wPorts[i] == frame.m_wDestinationPort) {
            return false;
        }
    }
    if (tracker.m_dwPortCount < kMaxScanPorts) {
        tracker.m_wPorts[tracker.m_dwPortCount++] = frame.m_wDestinationPort;
    }
    if (tracker.m_bReported || tracker.m_dwPortCount < m_dwScanPorts) {
        return false;
    }
    tracker.m_bReported = true;
    return true;
}

void SignatureSet::Housekeeping(uint32_t dwNow) {
    for (ScanTracker& tracker : m_Trackers) {
        if (tracker.m_bInUse && dwNow - tracker.m_dwFirstSeen > m_dwScanWindow) {
            tracker.m_bInUse = false;
        }
    }
}

}  // namespace sigmod
