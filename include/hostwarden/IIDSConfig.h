#pragma once
// The process-wide IDS configuration as a host sees it.  The class factory
// hands out the one configuration under CLSID_IDSConfig; the host hands in
// the block responses of its common policy through it, before start-up and
// whenever they change.

#include <cstdint>
#include <map>
#include <string>

class RuleContainer;

// A block response of the host's common policy.
struct BlockResponseInfo {
    // "a.b.c.d[/n],..."
    std::string addresses;
    // 1: the addresses are the ones let through, every other intruder is
    // blocked; 0: the addresses are the ones blocked.
    uint16_t allow = 0;

    bool operator==(const BlockResponseInfo& other) const = default;
};

// Block choice name to its response.
using BlockResponseMap = std::map<std::string, BlockResponseInfo>;

class IIDSConfig {
public:
    // Builds the tables from the engine's rules; a second call before Reset
    // changes nothing.  Answers 0.
    virtual int32_t Configure(RuleContainer* pRules) = 0;
    // Back to unconfigured, with empty tables.  Answers 0.
    virtual int32_t Reset() = 0;
    // Takes the host's block responses; the answer carries no meaning.
    virtual int32_t SetBlockResponseMap(const BlockResponseMap& blockMap) = 0;
    // The network-monitoring switch; on when the configuration is made.
    virtual bool SetIDSEnabled(bool bEnabled) = 0;
    virtual bool IsIDSEnabled() = 0;
    virtual bool GetAllowAllAcknowledgementPackets() = 0;
    // True while block address lists are being replaced.
    virtual bool IsUpdatingBlockInfo() = 0;
    virtual ~IIDSConfig() = default;
};
