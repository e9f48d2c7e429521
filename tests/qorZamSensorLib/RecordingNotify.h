#pragma once
// A notify object that keeps what the module reported, and answers the
// parsed-header callbacks with a chosen verdict.

#include <cstdint>
#include <string>
#include <vector>

#include "qorZamSensorLib/IZamEventMatchNotify.h"

namespace zamtest {

struct SeenMatch {
    uint32_t m_dwIssueId;
    std::string m_strName;
    uint32_t m_dwFlags;
    uint32_t m_dwVictim;
    uint32_t m_dwIntruder;
    uint32_t m_dwVictimPort;
    uint32_t m_dwIntruderPort;
    uint32_t m_dwPacketFlags;
    std::string m_strParams;
};

struct SeenConsolidated {
    uint32_t m_dwIssueId;
    uint32_t m_dwCount;
    std::vector<void*> m_Records;
};

class RecordingNotify : public IZamEventMatchNotify {
public:
    bool IsCoalescerEnabled() override { return false; }
    void OnMatch(uint32_t id, const char* name, uint32_t, uint32_t flags, uint32_t victim,
                 uint32_t intruder, uint32_t victimPort, uint32_t intruderPort,
                 uint32_t packetFlags, const char* params, void*, uint32_t) override {
        m_Matches.push_back({id, name, flags, victim, intruder, victimPort, intruderPort,
                             packetFlags, params != nullptr ? params : ""});
    }
    void OnCoalescerCallback(uint32_t, uint32_t, uint32_t id, uint32_t count, uint32_t, uint32_t,
                             uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                             const char*, uint32_t recordCount, void** records) override {
        m_Consolidated.push_back({id, count, std::vector<void*>(records, records + recordCount)});
    }
    int32_t OnParsedIp(uint32_t, uint32_t, uint32_t, uint32_t) override {
        m_Parsed.push_back("ip");
        return m_nIpAnswer;
    }
    int32_t OnParsedIcmp(uint32_t type, uint32_t code, uint32_t, uint32_t) override {
        m_Parsed.push_back("icmp " + std::to_string(type) + "/" + std::to_string(code));
        return 1;
    }
    int32_t OnParsedTcp(uint32_t source, uint32_t destination, uint32_t, uint32_t) override {
        m_Parsed.push_back("tcp " + std::to_string(source) + ">" + std::to_string(destination));
        return m_nTcpAnswer;
    }
    int32_t OnParsedUdp(uint32_t source, uint32_t destination, uint32_t, uint32_t) override {
        m_Parsed.push_back("udp " + std::to_string(source) + ">" + std::to_string(destination));
        return 1;
    }
    int32_t OnParsedRpc(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) override {
        return 1;
    }
    int32_t OnReassembledIp(uint32_t, uint32_t) override { return 1; }
    int32_t OnUserDefined(uint32_t, uint32_t) override { return 0; }
    void OnMacReporting(const uint8_t* source, const uint8_t*) override {
        m_Parsed.push_back("mac " + std::to_string(source[5]));
    }

    int32_t m_nIpAnswer = 1;
    int32_t m_nTcpAnswer = 1;
    std::vector<std::string> m_Parsed;
    std::vector<SeenMatch> m_Matches;
    std::vector<SeenConsolidated> m_Consolidated;
};

}  // namespace zamtest
